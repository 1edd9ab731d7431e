#!/usr/bin/env bash
# A run stopped by SIGINT, SIGTERM or SIGHUP undoes everything it created
# (scratch LV, mounts, loop devices, temporary directories), stops the restore,
# never touches the snapshot, and ends with exit 1, the "interrupted by" verdict
# and the run log's exit line.
. "$(dirname "$0")/lib.sh"

lock_mounts_exclusively

# Sends SIG to the verifier and checks how it ended, within MAX seconds.
interrupt_and_check() { # SIG [MAX]
    local started=$EPOCHREALTIME max=${2:-12} took
    kill -s "$1" "$vpid"
    wait "$vpid"
    status=$?
    took=$(awk -v a="$started" -v b="$EPOCHREALTIME" 'BEGIN { printf "%d", b - a }')
    assert_verdict_failed "interrupted by SIG$1"
    assert_file_has "$scratch/log/verifier.log" "stopped exit=1"
    if [ "$took" -ge "$max" ]; then
        fail "took $took s to stop"
    fi
}

assert_stopped_clean() {
    assert_world_clean
    if restore_running; then fail "the restore is still running"; pkill -KILL -f -- "--meta $meta"; fi
}

t_during_restore() { # SIG
    world_setup
    export QOR_FAKE_RESTORE_SLEEP=60
    start_verifier --meta "$meta"
    wait_for restore_running || return
    wait_for "[ -e /dev/$VG/home_qorverify ]" || return
    interrupt_and_check "$1"
    assert_stopped_clean
}

# A large sparse volume keeps the block comparison busy long enough to be
# interrupted between chunks.
t_during_byte_compare() { # SIG
    local size=$((4 * 1024 * 1024 * 1024))
    truncate -s "$size" "$scratch/big.img"
    printf 'start of the volume' | dd of="$scratch/big.img" conv=notrunc status=none
    world_from_images "$scratch/big.img" >/dev/null
    start_verifier --meta "$meta"
    wait_for "[ -e /dev/$VG/home_qorverify ]" || return
    sleep 0.3
    wait_for "! restore_running" || return
    sleep 0.5
    kill -0 "$vpid" 2>/dev/null || { fail "the comparison ended before the signal"; return; }
    # Hashing 8 GiB takes several seconds; stopping between chunks takes far less.
    interrupt_and_check "$1" 2
    assert_lvs home home_snap
}

t_while_mounted() { # SIG
    world_setup 16777216
    make_image ext4 "$image" 16
    cp "$image" "$(fake-lvm lv-path "$VG" home_snap)"
    make_backup --image "$image" --out "$backup_dir/home" --ref "lvm:$VG/home=home_snap"
    # A diff that takes its time keeps both images mounted.
    mkdir -p "$scratch/slowbin"
    printf '#!/bin/sh\nsleep 60\n' >"$scratch/slowbin/diff"
    chmod +x "$scratch/slowbin/diff"
    PATH="$scratch/slowbin:$PATH" start_verifier --meta "$meta" --mode fs
    wait_for "[ \$(grep -c ' /var/tmp/qor_verifier\.' /proc/mounts) -ge 2 ]" || return
    interrupt_and_check "$1"
    assert_stopped_clean
}

t_second_signal_during_cleanup() {
    world_setup
    export QOR_FAKE_RESTORE_SLEEP=60
    # lvremove of the scratch LV takes a second: a second signal arrives then.
    start_verifier --meta "$meta"
    wait_for restore_running || return
    fake-lvm hang lvremove 1 >/dev/null
    kill -s TERM "$vpid"
    sleep 0.5
    kill -s INT "$vpid" 2>/dev/null
    wait "$vpid"
    status=$?
    assert_verdict_failed "interrupted by SIGTERM"
    assert_stopped_clean
}

for sig in INT TERM HUP; do
    run_case "SIG$sig during the restore" t_during_restore "$sig"
done
run_case "SIGTERM during a byte comparison of a large volume" t_during_byte_compare TERM
run_case "SIGINT while both images are mounted" t_while_mounted INT
run_case "SIGHUP while both images are mounted" t_while_mounted HUP
run_case "a second signal does not cut the clean-up short" t_second_signal_during_cleanup
finish
