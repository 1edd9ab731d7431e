#!/usr/bin/env bash
# Byte mode end to end against the stand-in world: the comparison verdicts,
# what decides which bytes are compared, and the optional removal of the
# source snapshot. Every case also checks what the run left behind.
# shellcheck source=tests/integration/lib.sh
. "$(dirname "$0")/lib.sh"

SCRATCH_LV=home_qorverify

# The LVM calls of a default run that got as far as the restore target.
calls_up_to_target() {
    printf '%s\n' "$LVS_ROW $VG/home_snap" "$LVS_TAGS $VG/home_snap" \
        "$LVS_ROW $VG/$SCRATCH_LV" "lvcreate -y -n $SCRATCH_LV -L 8192K $VG"
}

default_restore_call() {
    printf 'qor_restore --meta %s --search-dir %s --target /dev/%s/%s --assume-zeroed' \
        "$meta" "$backup_dir" "$VG" "$SCRATCH_LV"
}

t_identical() {
    world_setup
    run_verifier --meta "$meta"
    assert_verdict_identical 8388608
    assert_calls "$(calls_up_to_target)" "lvremove -f -y $VG/$SCRATCH_LV"
    assert_restore_calls "$(default_restore_call)"
    assert_world_clean
    assert_missing "/dev/$VG/$SCRATCH_LV"
    assert_file_has "$scratch/log/verifier.log" "pid=$vpid stopped exit=0"
}

# Real block devices on both sides: the LVs are loop devices over the data.
t_identical_on_loop_devices() {
    world_setup 8388608 1048576 --loop
    [ -b "$(readlink -f "$snap_dev")" ] || fail "the snapshot is not a loop device"
    run_verifier --meta "$meta"
    assert_verdict_identical 8388608
    assert_world_clean
    QOR_FAKE_RESTORE_CORRUPT=7340032 run_verifier --meta "$meta"
    assert_verdict_failed "the restored target differs from the snapshot: 1 of the compared chunks mismatched, first at byte offset 7340032"
    assert_world_clean
}

t_differences() {
    world_setup
    # Two bytes in one chunk count once; the offset is the chunk's start.
    QOR_FAKE_RESTORE_CORRUPT=1500000,1500001,5000000 run_verifier --meta "$meta"
    assert_verdict_failed "the restored target differs from the snapshot: 2 of the compared chunks mismatched, first at byte offset 1048576"
    # The scratch LV was removed before the verdict, and nothing else was.
    assert_calls "$(calls_up_to_target)" "lvremove -f -y $VG/$SCRATCH_LV"
    assert_world_clean
    assert_file_has "$scratch/log/verifier.log" "pid=$vpid stopped exit=1"

    QOR_FAKE_RESTORE_CORRUPT=0,8388607 run_verifier --meta "$meta"
    assert_verdict_failed "the restored target differs from the snapshot: 2 of the compared chunks mismatched, first at byte offset 0"
    assert_world_clean
}

# A size that is no multiple of the chunk size: the last chunk is shorter,
# and the scratch LV is rounded up to whole KiB.
t_partial_last_chunk() {
    world_setup 5000000
    run_verifier --meta "$meta"
    assert_verdict_identical 5000000
    assert_file_has "$calls" "lvcreate -y -n $SCRATCH_LV -L 4883K $VG"
    assert_world_clean
    QOR_FAKE_RESTORE_CORRUPT=4999999 run_verifier --meta "$meta"
    assert_verdict_failed "the restored target differs from the snapshot: 1 of the compared chunks mismatched, first at byte offset 4194304"
    assert_world_clean
}

# The chunk size comes from the header; 0 there means 2 MiB.
t_chunk_size_from_header() {
    world_setup
    make_world_backup zero --image "$image" --ref "lvm:$VG/home=home_snap" --chunk-size 0
    QOR_FAKE_RESTORE_CORRUPT=3000000 run_verifier --meta "$backup_dir/zero.meta"
    assert_verdict_failed "the restored target differs from the snapshot: 1 of the compared chunks mismatched, first at byte offset 2097152"
    assert_world_clean
    make_world_backup big --image "$image" --ref "lvm:$VG/home=home_snap" --chunk-size 16777216
    QOR_FAKE_RESTORE_CORRUPT=8388607 run_verifier --meta "$backup_dir/big.meta"
    assert_verdict_failed "the restored target differs from the snapshot: 1 of the compared chunks mismatched, first at byte offset 0"
    make_world_backup odd --image "$image" --ref "lvm:$VG/home=home_snap" --chunk-size 65537
    run_verifier --meta "$backup_dir/odd.meta"
    assert_verdict_identical 8388608
    assert_world_clean
}

# Only source_size bytes are compared, and the scratch LV is sized by it.
t_source_size_from_header() {
    world_setup
    make_world_backup part --image "$image" --ref "lvm:$VG/home=home_snap" \
        --chunk-size 1048576 --source-size 3000000
    QOR_FAKE_RESTORE_CORRUPT=3000000 run_verifier --meta "$backup_dir/part.meta"
    assert_verdict_identical 3000000
    assert_file_has "$calls" "lvcreate -y -n $SCRATCH_LV -L 2930K $VG"
    assert_world_clean
}

t_snapshot_shorter_than_backup() {
    world_setup
    make_world_backup long --image "$image" --ref "lvm:$VG/home=home_snap" \
        --chunk-size 1048576 --source-size 9437184
    run_verifier --meta "$backup_dir/long.meta"
    assert_verdict_failed "comparison failed: short read from $snap_dev at offset 8388608"
    assert_world_clean
}

t_snapshot_device_missing() {
    world_setup
    rm "$snap_dev"
    run_verifier --meta "$meta"
    assert_verdict_failed "comparison failed: cannot open $snap_dev: No such file or directory"
    assert_lvs home home_snap
}

t_remove_snapshot_after() {
    world_setup
    run_verifier --meta "$meta" --remove-snapshot-after
    assert_verdict_identical 8388608
    assert_calls "$(calls_up_to_target)" "lvremove -f -y $VG/$SCRATCH_LV" "lvremove -f -y $VG/home_snap"
    assert_lvs home
    assert_stderr_lacks "WARN"
}

t_remove_snapshot_after_not_on_difference() {
    world_setup
    QOR_FAKE_RESTORE_CORRUPT=10 run_verifier --meta "$meta" --remove-snapshot-after
    assert_verdict_failed "the restored target differs from the snapshot: 1 of the compared chunks mismatched, first at byte offset 0"
    assert_file_lacks "$calls" "lvremove -f -y $VG/home_snap"
    assert_world_clean
    QOR_FAKE_RESTORE_EXIT=3 run_verifier --meta "$meta" --remove-snapshot-after
    assert_verdict_failed "restore into /dev/$VG/$SCRATCH_LV failed: qor_restore exited with code 3"
    assert_file_lacks "$calls" "lvremove -f -y $VG/home_snap"
    assert_world_clean
}

# A snapshot that cannot be removed does not change the verdict.
t_remove_snapshot_after_fails() {
    world_setup
    local target="$scratch/restored.img"
    fake-lvm fail lvremove 5 "  Logical volume $VG/home_snap contains a filesystem in use."
    run_verifier --meta "$meta" --target-file "$target" --remove-snapshot-after
    assert_verdict_identical 8388608
    assert_console_line WARN "verified OK but could not remove the snapshot $VG/home_snap: remove it manually"
    assert_stderr_lacks "in use"
    assert_calls "$LVS_ROW $VG/home_snap" "$LVS_TAGS $VG/home_snap" "lvremove -f -y $VG/home_snap"
    assert_file_has "$scratch/log/verifier.log" "pid=$vpid stopped exit=0"
    assert_missing "$target"
    assert_world_clean

    fake-lvm clear
    PATH=$(path_without lvremove) run_verifier --meta "$meta" --target-file "$target" --remove-snapshot-after
    assert_verdict_identical 8388608
    assert_console_line WARN "verified OK but could not remove the snapshot $VG/home_snap: remove it manually"
    assert_missing "$target"
    assert_world_clean
}

run_case "identical restore" t_identical
run_case "identical and different on loop devices" t_identical_on_loop_devices
run_case "corrupted chunks are counted" t_differences
run_case "a shorter last chunk" t_partial_last_chunk
run_case "the header's chunk size, 0 meaning 2 MiB" t_chunk_size_from_header
run_case "only the header's source size is compared" t_source_size_from_header
run_case "a snapshot shorter than the backup" t_snapshot_shorter_than_backup
run_case "a snapshot device node that is gone" t_snapshot_device_missing
run_case "--remove-snapshot-after on a clean result" t_remove_snapshot_after
run_case "--remove-snapshot-after keeps the snapshot on failure" t_remove_snapshot_after_not_on_difference
run_case "--remove-snapshot-after whose lvremove fails" t_remove_snapshot_after_fails
finish
