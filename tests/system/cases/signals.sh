# SIGTERM while the restore runs and while blocks are compared: the run ends
# with the interrupted verdict and leaves nothing on real LVM.

restore_running() {
    pgrep -f -- "qor_restore --meta $meta" >/dev/null
}

interrupted_check() {
    kill -TERM "$vpid"
    wait "$vpid"
    status=$?
    assert_failed "interrupted by SIGTERM"
    assert_left_only home home_snap
    if restore_running; then fail "the restore is still running"; fi
}

# 512 MiB keep the comparison busy for a while under emulation; the second
# signal comes once the restore has ended and the verifier reads the snapshot.
t_sigterm() {
    make_vg
    must lvcreate -y -n home -L 512m "$VG"
    must dd if=/dev/urandom of="/dev/$VG/home" bs=1M count=8 status=none
    make_snapshot 32m
    make_backup_of 1048576

    QOR_FAKE_RESTORE_SLEEP=120 start_verifier --meta "$meta"
    wait_for restore_running || return
    wait_for "[ -e /dev/$VG/home_qorverify ]" || return
    interrupted_check

    start_verifier --meta "$meta"
    wait_for "[ -e /dev/$VG/home_qorverify ]" || return
    wait_for "! restore_running" 120 || return
    wait_for "ls -l /proc/$vpid/fd 2>/dev/null | grep -q /dev/dm-" 30 || return
    interrupted_check
}
system_case sigterm-during-restore-and-compare t_sigterm
