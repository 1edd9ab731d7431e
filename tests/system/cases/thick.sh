# Thick snapshots tagged by the backup program, in one world: identical in
# both modes while the origin is being written to, a corrupted restore found at
# its chunk, a header whose size is not the snapshot's, and the kept snapshot
# removed on request.

t_thick_snapshot() {
    # An ext4 origin of 32 MiB, a thick snapshot with 16 MiB of COW space, a
    # backup read from the snapshot with 1 MiB chunks, and writes to the
    # origin during both runs.
    make_vg
    make_origin_ext4 32m
    make_snapshot 16m
    make_backup_of 1048576
    origin_writes_start
    run_verifier_while_writing --meta "$meta"
    assert_identical_bytes 33554432
    run_verifier_while_writing --meta "$meta" --mode fs
    assert_identical_files
    origin_writes_stop
    show_lvs
    assert_left_only home home_snap

    # One inverted byte at 3,000,000 lies in the chunk that starts at 2 MiB.
    QOR_FAKE_RESTORE_CORRUPT=3000000 run_verifier --meta "$meta"
    assert_failed "the restored target differs from the snapshot: 1 of the compared chunks mismatched, first at byte offset 2097152"
    assert_left_only home home_snap

    # The snapshot device's size counts, not lvs's lv_size (the COW size).
    local full=$meta
    meta="$scratch/backup/short.meta"
    must "$MAKE_BACKUP" --image "/dev/$VG/home_snap" --out "$scratch/backup/short" \
        --ref "lvm:$VG/home=home_snap" --chunk-size 1048576 --source-size 16777216
    run_verifier --meta "$meta"
    assert_failed "the snapshot $VG/home_snap holds 33554432 bytes but the backup records a volume of 16777216 bytes -- it was not made from this snapshot"
    assert_left_only home home_snap

    run_verifier --meta "$full" --remove-snapshot-after
    assert_identical_bytes 33554432
    assert_left_only home
}
system_case thick-snapshot t_thick_snapshot

# A plain LV that carries the recorded name and the tag is never removed.
t_remove_only_a_snapshot() {
    make_vg
    make_origin_ext4 32m
    must lvcreate -y -n home_snap -L 32m --addtag qor_agent "$VG"
    must dd if="/dev/$VG/home" of="/dev/$VG/home_snap" bs=1M status=none
    make_backup_of 1048576
    show_lvs
    run_verifier --meta "$meta" --remove-snapshot-after
    assert_identical_bytes 33554432
    grep -q "WARN  verified OK but did not remove $VG/home_snap: it is not a snapshot of $VG/home made by qor_agent" "$err" ||
        fail "no warning about the plain LV"
    assert_left_only home home_snap
}
system_case remove-snapshot-after-only-a-snapshot t_remove_only_a_snapshot
