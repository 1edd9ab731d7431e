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
