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
    # Writing 4 GiB of holes through a loop device can take half a minute on a
    # busy machine; only what follows the restore is under test here.
    wait_for "! restore_running" 120 || return
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

# A signal ignored when the verifier started (nohup; SIGINT in a background
# job of a non-interactive shell; SIGUSR1 by a caller's choice) stays ignored,
# in the restore too: sent to both, it changes nothing, nor asks for progress.
t_ignored_at_start() { # SIG
    world_setup
    export QOR_FAKE_RESTORE_SLEEP=2
    out="$scratch/run/stdout"
    err="$scratch/run/stderr"
    if [ "$1" != INT ]; then
        (trap '' "$1"; exec env --default-signal=INT "$QOR_VERIFIER" --no-syslog \
            --log-path "$scratch/log" --meta "$meta" >"$out" 2>"$err") &
    else
        "$QOR_VERIFIER" --no-syslog --log-path "$scratch/log" --meta "$meta" >"$out" 2>"$err" &
    fi
    vpid=$!
    wait_for restore_running || return
    local rpid mask bit
    rpid=$(pgrep -f -- "qor_restore --meta $meta" | head -n 1)
    mask=$(sed -n 's/^SigIgn:[[:space:]]*//p' "/proc/$rpid/status")
    bit=$(( $(kill -l "$1") - 1 ))
    (( (16#$mask >> bit) & 1 )) || fail "SIG$1 is not ignored in the restore (SigIgn $mask)"
    kill -s "$1" "$vpid" "$rpid"
    wait "$vpid"
    status=$?
    assert_verdict_identical 8388608
    assert_stderr_lacks "progress:"
    assert_world_clean
}

# lvcreate that has made the scratch LV but not yet ended is not killed by a
# signal: the run waits for it, then removes the LV it made.
t_during_lvcreate() {
    world_setup
    fake-lvm hang-after lvcreate 2 >/dev/null
    start_verifier --meta "$meta"
    wait_for "[ -e /dev/$VG/home_qorverify ]" || return
    interrupt_and_check TERM
    assert_no_restore
    assert_eq "lvremove -f -y $VG/home_qorverify" "$(tail -n 1 "$calls")" "last LVM call"
    assert_world_clean
}

# An lvs stopped by a signal has not said that the scratch LV is absent: no
# lvcreate follows.
t_during_scratch_lookup() {
    world_setup
    fake-lvm hang lvs 1 >/dev/null
    start_verifier --meta "$meta"
    wait_for "[ \$(grep -c '^lvs ' '$calls') -ge 3 ]" || return
    interrupt_and_check TERM
    assert_calls "$LVS_ROW $VG/home_snap" "$LVS_TAGS $VG/home_snap" "$LVS_ROW $VG/home_qorverify"
    assert_world_clean
}

for sig in INT TERM HUP; do
    run_case "SIG$sig during the restore" t_during_restore "$sig"
done
run_case "SIGTERM during a byte comparison of a large volume" t_during_byte_compare TERM
run_case "SIGINT while both images are mounted" t_while_mounted INT
run_case "SIGHUP while both images are mounted" t_while_mounted HUP
run_case "a second signal does not cut the clean-up short" t_second_signal_during_cleanup
run_case "SIGHUP ignored at start (nohup) stays ignored" t_ignored_at_start HUP
run_case "SIGINT ignored at start (background job) stays ignored" t_ignored_at_start INT
run_case "SIGUSR1 ignored at start stays ignored" t_ignored_at_start USR1
run_case "SIGTERM while lvcreate is still running" t_during_lvcreate
run_case "SIGTERM during the scratch LV look-up" t_during_scratch_lookup
finish
