#!/usr/bin/env bash
# Progress on request: SIGUSR1 makes a running verification write one line
# saying where it stands, and changes nothing else. The restore is not
# disturbed, the run ends with the same verdict, nothing is left behind.
. "$(dirname "$0")/lib.sh"

lock_mounts_exclusively

# Sends SIGUSR1 to the running verifier and waits for its end.
ask_and_wait() {
    kill -0 "$vpid" 2>/dev/null || { fail "the run ended before the signal"; return 1; }
    kill -s USR1 "$vpid"
    wait "$vpid"
    status=$?
}

# Exactly one progress line, and it matches the extended regex.
assert_one_progress_line() { # regex of the text after "progress: "
    assert_eq 1 "$(count_lines_with "$err" "] INFO  progress: ")" "progress lines"
    if ! grep -qE -- "$QT_TS_RE\[qor_verifier\] INFO  progress: $1\$" "$err"; then
        fail "no progress line matching: $1"
        show_run
    fi
}

# A large sparse volume keeps the block comparison busy for seconds.
t_during_byte_compare() {
    local size=$((2 * 1024 * 1024 * 1024))
    truncate -s "$size" "$scratch/big.img"
    printf 'start of the volume' | dd of="$scratch/big.img" conv=notrunc status=none
    world_from_images "$scratch/big.img"
    start_verifier --meta "$meta"
    wait_for "[ -e /dev/$VG/home_qorverify ]" || return
    wait_for "! restore_running" || return
    sleep 0.5
    ask_and_wait || return
    assert_verdict_identical "$size"
    assert_one_progress_line \
        "comparing, [1-9][0-9]* of $size bytes \([0-9.]+%\), [0-9.]+ MiB/s, about [0-9]+ s left"
    assert_world_clean
}

# The restore runs in a process group of its own: the request is the
# verifier's alone, and the restore carries on to its end.
t_during_restore() {
    world_setup
    export QOR_FAKE_RESTORE_SLEEP=2
    start_verifier --meta "$meta"
    wait_for restore_running || return
    ask_and_wait || return
    assert_verdict_identical 8388608
    assert_one_progress_line "restoring, for [0-9] s"
    assert_restore_calls "qor_restore --meta $meta --search-dir $backup_dir --target /dev/$VG/home_qorverify --assume-zeroed"
    assert_world_clean
}

# Mode fs names the partition pair it compares; a diff that takes its time
# keeps the first pair busy.
t_fs_partition_pair() {
    mkdir -p "$scratch/tree"
    printf 'alpha\n' >"$scratch/tree/a.txt"
    make_image ext4 "$scratch/p1.img" 16 "$scratch/tree"
    make_image ext2 "$scratch/p2.img" 16 "$scratch/tree"
    make_image disk "$scratch/disk.img" dos "$scratch/p1.img" "$scratch/p2.img"
    world_from_images "$scratch/disk.img"
    mkdir -p "$scratch/slowbin"
    printf '#!/bin/sh\nsleep 2\nexec /usr/bin/diff "$@"\n' >"$scratch/slowbin/diff"
    chmod +x "$scratch/slowbin/diff"
    PATH="$scratch/slowbin:$QOR_SUPPORT_SRC/losetup-partx:$PATH" start_verifier --meta "$meta" --mode fs
    wait_for "[ \$(grep -c ' /var/tmp/qor_verifier\.' /proc/mounts) -ge 4 ]" || return
    sleep 0.5
    ask_and_wait || return
    assert_status 0
    assert_console_line INFO "verified identical: no differing files found"
    assert_one_progress_line "comparing, partition pair 1 of 2, for [0-9] s"
    assert_world_clean
}

run_case "SIGUSR1 during a byte comparison prints one line and the run ends identical" t_during_byte_compare
run_case "SIGUSR1 during the restore leaves the restore alone" t_during_restore
run_case "SIGUSR1 during a file comparison names the partition pair" t_fs_partition_pair
finish
