# Thick snapshots tagged by the backup program: identical in both modes while
# the origin keeps changing, a corrupted restore found at its chunk, and the
# kept snapshot removed on request.

# An ext4 origin of 64 MiB, a thick snapshot with 32 MiB of COW space, a
# backup read from the snapshot with 1 MiB chunks, then new writes to the
# origin.
thick_world() {
    make_vg
    make_origin_ext4 64m
    make_snapshot 32m
    make_backup_of 1048576
    write_to_origin
}

t_thick_identical() {
    thick_world
    show_lvs
    run_verifier --meta "$meta"
    assert_identical_bytes 67108864
    assert_left_only home home_snap
    run_verifier --meta "$meta" --mode fs
    assert_identical_files
    assert_left_only home home_snap
}
system_case thick-identical-byte-and-fs t_thick_identical

# One inverted byte at 3,000,000 lies in the chunk that starts at 2 MiB.
t_thick_corrupt_byte() {
    thick_world
    QOR_FAKE_RESTORE_CORRUPT=3000000 run_verifier --meta "$meta"
    assert_failed "the restored target differs from the snapshot: 1 of the compared chunks mismatched, first at byte offset 2097152"
    assert_left_only home home_snap
}
system_case thick-corrupt-byte t_thick_corrupt_byte

t_remove_snapshot_after() {
    thick_world
    run_verifier --meta "$meta" --remove-snapshot-after
    assert_identical_bytes 67108864
    assert_left_only home
}
system_case remove-snapshot-after t_remove_snapshot_after

# A header whose size is not the snapshot device's is refused before a
# scratch LV is made: lvs's lv_size (the COW size here) is not what counts.
t_header_size_mismatch() {
    make_vg
    make_origin_ext4 64m
    make_snapshot 32m
    meta="$scratch/backup/short.meta"
    must "$MAKE_BACKUP" --image "/dev/$VG/home_snap" --out "$scratch/backup/short" \
        --ref "lvm:$VG/home=home_snap" --chunk-size 1048576 --source-size 33554432
    show_lvs
    run_verifier --meta "$meta"
    assert_failed "the snapshot $VG/home_snap holds 67108864 bytes but the backup records a volume of 33554432 bytes -- it was not made from this snapshot"
    assert_left_only home home_snap
}
system_case header-size-differs-from-snapshot t_header_size_mismatch

# A plain LV that carries the recorded name and the tag is never removed.
t_remove_only_a_snapshot() {
    make_vg
    make_origin_ext4 64m
    must lvcreate -y -n home_snap -L 64m --addtag qor_agent "$VG"
    must dd if="/dev/$VG/home" of="/dev/$VG/home_snap" bs=1M status=none
    make_backup_of 1048576
    show_lvs
    run_verifier --meta "$meta" --remove-snapshot-after
    assert_identical_bytes 67108864
    grep -q "WARN  verified OK but did not remove $VG/home_snap: it is not a snapshot of $VG/home made by qor_agent" "$err" ||
        fail "no warning about the plain LV"
    assert_left_only home home_snap
}
system_case remove-snapshot-after-only-a-snapshot t_remove_only_a_snapshot
