# A thick snapshot whose COW space ran full is invalid: refused by name.

t_overflowed() {
    make_vg
    make_origin_ext4 64m
    make_snapshot 4m
    make_backup_of 1048576
    # 16 MiB of new data through the origin cannot fit in 4 MiB of COW space.
    must dd if=/dev/urandom of="/dev/$VG/home" bs=1M count=16 oflag=direct status=none
    show_lvs
    run_verifier --meta "$meta"
    assert_failed "the snapshot $VG/home_snap is invalid (its COW space overflowed) -- it is no longer a consistent point in time"
    assert_left_only home home_snap
}
system_case overflowed-snapshot t_overflowed
