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

# The largest chunk size a header can give does not decide the memory used:
# the whole run's peak resident set stays under 16 MiB, and the answer is the
# same as with chunks the size of the volume.
t_memory_bounded_by_chunk_size() {
    world_setup 67108864 4294967295
    out="$scratch/run/stdout"
    err="$scratch/run/stderr"
    /usr/bin/time -f '%M' -o "$scratch/peak-kib" "$QOR_VERIFIER" --no-syslog \
        --log-path "$scratch/log" --meta "$meta" >"$out" 2>"$err"
    status=$?
    assert_verdict_identical 67108864
    # The sanitizers' runtime adds shadow memory and a quarantine of its own
    # (18 MiB seen under ASan); what matters is that the 4 GiB chunk is
    # nowhere near resident.
    local peak bound=16384
    [ "${QOR_SANITIZED:-0}" = 1 ] && bound=32768
    peak=$(tail -n 1 "$scratch/peak-kib")
    [ "$peak" -lt "$bound" ] || fail "peak resident set ${peak} KiB, expected under $bound"
    printf '  peak resident set: %s KiB\n' "$peak"
    QOR_FAKE_RESTORE_CORRUPT=60000000 run_verifier --meta "$meta"
    assert_verdict_failed "the restored target differs from the snapshot: 1 of the compared chunks mismatched, first at byte offset 0"
    assert_world_clean
}

# The snapshot's device, not the header, says how many bytes there are: a
# header that records fewer (a truncated backup) or more is refused before
# anything is created.
t_header_size_differs_from_snapshot() {
    world_setup
    local size
    for size in 3000000 9437184; do
        make_world_backup "s$size" --image "$image" --ref "lvm:$VG/home=home_snap" \
            --chunk-size 1048576 --source-size "$size"
        : >"$calls"
        run_verifier --meta "$backup_dir/s$size.meta"
        assert_verdict_failed "the snapshot $VG/home_snap holds 8388608 bytes but the backup records a volume of $size bytes -- it was not made from this snapshot"
        assert_calls "$LVS_ROW $VG/home_snap" "$LVS_TAGS $VG/home_snap"
        assert_no_restore
    done
    assert_world_clean
}

t_snapshot_device_missing() {
    world_setup
    rm "$snap_dev"
    run_verifier --meta "$meta"
    assert_verdict_failed "cannot measure the snapshot $VG/home_snap: cannot open $snap_dev: No such file or directory"
    assert_calls "$LVS_ROW $VG/home_snap" "$LVS_TAGS $VG/home_snap"
    assert_lvs home home_snap
}

# A new LV holds old data where the restore skips zero blocks; the verifier
# zeroes it first, so a sparse backup still compares identical.
t_stale_data_in_new_lv() {
    world_setup 16777216 1048576 --loop
    truncate -s 16777216 "$scratch/sparse.img"
    printf 'only data' | dd of="$scratch/sparse.img" conv=notrunc status=none
    fake-lvm lv-add "$VG" sparse_snap --data "$scratch/sparse.img" --attr swi-a-s--- \
        --tags qor_agent --origin sparse --loop
    make_world_backup sparse --image "$scratch/sparse.img" --ref "lvm:$VG/sparse=sparse_snap"
    run_verifier --meta "$backup_dir/sparse.meta"
    assert_verdict_identical 16777216
    assert_lvs home home_snap sparse_snap
}

t_remove_snapshot_after() {
    world_setup
    run_verifier --meta "$meta" --remove-snapshot-after
    assert_verdict_identical 8388608
    assert_calls "$(calls_up_to_target)" "lvremove -f -y $VG/$SCRATCH_LV" \
        "$LVS_ROW $VG/home_snap" "$LVS_TAGS $VG/home_snap" "lvremove -f -y $VG/home_snap"
    assert_lvs home
    assert_stderr_lacks "WARN"
}

# Only a snapshot of the recorded origin is ever removed: not a plain volume
# that carries the recorded name, nor a snapshot of another volume.
t_remove_snapshot_after_only_a_snapshot() {
    local attr origin
    for attr in "-wi-a----- home" "swi-a-s--- other"; do
        world_setup
        read -r attr origin <<<"$attr"
        fake-lvm lv-set "$VG" home_snap attr "$attr"
        printf '%s\n' "$origin" >"$QOR_FAKE_LVM_DIR/vgs/$VG/home_snap/origin"
        run_verifier --meta "$meta" --remove-snapshot-after
        assert_verdict_identical 8388608
        assert_console_line WARN "verified OK but did not remove $VG/home_snap: it is not a snapshot of $VG/home made by qor_agent"
        assert_file_lacks "$calls" "lvremove -f -y $VG/home_snap"
        assert_lvs home home_snap
        fake-lvm destroy
        mkdir -p "$QOR_FAKE_LVM_DIR"
    done
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
    assert_calls "$LVS_ROW $VG/home_snap" "$LVS_TAGS $VG/home_snap" \
        "$LVS_ROW $VG/home_snap" "$LVS_TAGS $VG/home_snap" "lvremove -f -y $VG/home_snap"
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
run_case "memory bounded whatever the header's chunk size" t_memory_bounded_by_chunk_size
run_case "a header size other than the snapshot's is refused" t_header_size_differs_from_snapshot
run_case "a snapshot device node that is gone" t_snapshot_device_missing
run_case "stale data in the new scratch LV" t_stale_data_in_new_lv
run_case "--remove-snapshot-after on a clean result" t_remove_snapshot_after
run_case "--remove-snapshot-after keeps the snapshot on failure" t_remove_snapshot_after_not_on_difference
run_case "--remove-snapshot-after whose lvremove fails" t_remove_snapshot_after_fails
run_case "--remove-snapshot-after removes only a snapshot of the origin" t_remove_snapshot_after_only_a_snapshot
finish
