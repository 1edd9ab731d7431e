#!/usr/bin/env bash
# The scratch restore target in byte mode: the default LV, a named LV or a
# file; never anything that existed before; removed afterwards unless
# --keep-restored.
# shellcheck source=tests/integration/lib.sh
. "$(dirname "$0")/lib.sh"

SCRATCH_LV=home_qorverify
CANNOT="cannot create the restore target:"

# A target that was refused: nothing restored, nothing created or removed.
assert_refused() { # sentence
    assert_verdict_failed "$CANNOT $1"
    assert_no_restore
    assert_file_lacks "$calls" "lvcreate"
    assert_file_lacks "$calls" "lvremove"
    assert_world_clean
}

t_default_lv_exists() {
    world_setup
    head -c 1048576 /dev/urandom >"$scratch/keep.img"
    fake-lvm lv-add "$VG" "$SCRATCH_LV" --size 1048576 --data "$scratch/keep.img"
    run_verifier --meta "$meta"
    assert_verdict_failed "$CANNOT $VG/$SCRATCH_LV already exists; refusing to overwrite it"
    assert_calls "$LVS_ROW $VG/home_snap" "$LVS_TAGS $VG/home_snap" "$LVS_ROW $VG/$SCRATCH_LV"
    assert_no_restore
    assert_lvs home home_snap "$SCRATCH_LV"
    cmp -s "$scratch/keep.img" "/dev/$VG/$SCRATCH_LV" || fail "the existing LV was written to"
    # --keep-restored does not change that.
    run_verifier --meta "$meta" --keep-restored
    assert_verdict_failed "$CANNOT $VG/$SCRATCH_LV already exists; refusing to overwrite it"
    assert_lvs home home_snap "$SCRATCH_LV"
}

# The default name takes at most 100 characters of the origin's name.
t_default_name_from_long_origin() {
    world_setup
    local origin name
    origin=$(printf 'o%.0s' $(seq 1 120))
    name="$(printf 'o%.0s' $(seq 1 100))_qorverify"
    make_world_backup long --image "$image" --ref "lvm:$VG/$origin=home_snap" --chunk-size 1048576
    run_verifier --meta "$backup_dir/long.meta"
    assert_verdict_identical 8388608
    assert_calls "$LVS_ROW $VG/home_snap" "$LVS_TAGS $VG/home_snap" "$LVS_ROW $VG/$name" \
        "lvcreate -y -n $name -L 8192K $VG" "lvremove -f -y $VG/$name"
    assert_world_clean
}

t_named_lv() {
    world_setup
    run_verifier --meta "$meta" --target-lv "$VG/scratch1"
    assert_verdict_identical 8388608
    assert_calls "$LVS_ROW $VG/home_snap" "$LVS_TAGS $VG/home_snap" "$LVS_ROW $VG/scratch1" \
        "lvcreate -y -n scratch1 -L 8192K $VG" "lvremove -f -y $VG/scratch1"
    assert_restore_calls "qor_restore --meta $meta --search-dir $backup_dir --target /dev/$VG/scratch1 --assume-zeroed"
    assert_world_clean
    # In a volume group of its own.
    fake-lvm vg-create "o$VG"
    run_verifier --meta "$meta" --target-lv="o$VG/scratch2"
    assert_verdict_identical 8388608
    assert_file_has "$calls" "lvcreate -y -n scratch2 -L 8192K o$VG"
    assert_file_has "$calls" "lvremove -f -y o$VG/scratch2"
    assert_world_clean
}

t_named_lv_malformed() {
    world_setup
    local t
    for t in novg "/lv" "$VG/" "/" ""; do
        : >"$calls"
        run_verifier --meta "$meta" --target-lv "$t"
        assert_refused "--target-lv must be <vg>/<lv>"
    done
    run_verifier --meta "$meta" --target-lv=
    assert_refused "--target-lv must be <vg>/<lv>"
}

t_named_lv_lengths() {
    world_setup
    local n127 n128
    n127=$(printf 'v%.0s' $(seq 1 127))
    n128="${n127}v"
    run_verifier --meta "$meta" --target-lv "$n128/scratch"
    assert_refused "volume group name too long"
    run_verifier --meta "$meta" --target-lv "$VG/$n128"
    assert_refused "logical volume name too long"
    # 127 passes the length check but is no valid LVM name; a name LVM would
    # refuse never reaches lvs either.
    : >"$calls"
    run_verifier --meta "$meta" --target-lv "$n127/scratch"
    assert_refused "invalid volume group or logical volume name"
    assert_file_lacks "$calls" "$n127/scratch"
    # A second "/" stays in the LV name, which LVM does not accept.
    run_verifier --meta "$meta" --target-lv "$VG/a/b"
    assert_refused "invalid volume group or logical volume name"
    run_verifier --meta "$meta" --target-lv "$VG/-dash"
    assert_refused "invalid volume group or logical volume name"
}

# Existing LVs are never targets, the kept snapshot least of all.
t_named_lv_exists() {
    world_setup
    local lv
    for lv in home home_snap; do
        run_verifier --meta "$meta" --target-lv "$VG/$lv"
        assert_refused "$VG/$lv already exists; refusing to overwrite it"
        cmp -s "$image" "/dev/$VG/home" || fail "the origin LV was written to"
    done
}

t_lvcreate_fails() {
    world_setup
    local msg="  Volume group \"$VG\" has insufficient free space (10 extents): 2048 required."
    fake-lvm fail lvcreate 5 "$msg"
    run_verifier --meta "$meta"
    assert_status 1
    assert_stderr_has "] ERROR verification failed: $CANNOT could not create LV $VG/$SCRATCH_LV: $msg"
    assert_file_has "$calls" "lvcreate -y -n $SCRATCH_LV -L 8192K $VG"
    assert_file_lacks "$calls" "lvremove"
    assert_no_restore
    assert_world_clean
    # Nothing printed: the sentence says so.
    fake-lvm fail lvcreate 5
    run_verifier --meta "$meta"
    assert_verdict_failed "$CANNOT could not create LV $VG/$SCRATCH_LV: lvcreate failed"
    fake-lvm clear
    PATH=$(path_without lvcreate) run_verifier --meta "$meta"
    assert_verdict_failed "$CANNOT could not create LV $VG/$SCRATCH_LV: lvcreate failed"
    assert_world_clean
    # A volume group that does not exist: lvcreate's own words.
    run_verifier --meta "$meta" --target-lv "no$VG/scratch"
    assert_status 1
    assert_stderr_has "] ERROR verification failed: $CANNOT could not create LV no$VG/scratch:   Volume group \"no$VG\" not found"
    assert_no_restore
    assert_world_clean
}

t_target_file_new() {
    world_setup
    local t="$scratch/targets/restored.img"
    mkdir -p "$scratch/targets"
    run_verifier --meta "$meta" --target-file "$t"
    assert_verdict_identical 8388608
    assert_calls "$LVS_ROW $VG/home_snap" "$LVS_TAGS $VG/home_snap"
    assert_restore_calls "qor_restore --meta $meta --search-dir $backup_dir --target $t --assume-zeroed"
    assert_missing "$t"
    assert_eq "" "$(ls -A "$scratch/targets")" "files left in the target directory"
    assert_world_clean
    # A difference removes it as well.
    QOR_FAKE_RESTORE_CORRUPT=4000000 run_verifier --meta "$meta" --target-file "$t"
    assert_verdict_failed "the restored target differs from the snapshot: 1 of the compared chunks mismatched, first at byte offset 3145728"
    assert_missing "$t"
}

t_target_file_exists() {
    world_setup
    local f="$scratch/existing.img"
    echo "precious" >"$f"
    run_verifier --meta "$meta" --target-file "$f"
    assert_refused "$f already exists; refusing to overwrite it"
    assert_eq precious "$(cat "$f")" "the existing file"
    mkdir "$scratch/dir"
    run_verifier --meta "$meta" --target-file "$scratch/dir"
    assert_refused "$scratch/dir already exists; refusing to overwrite it"
    assert_exists "$scratch/dir"
    # The snapshot's own device node.
    run_verifier --meta "$meta" --target-file "$snap_dev"
    assert_refused "$snap_dev already exists; refusing to overwrite it"
    # A dangling link would be written through and then left behind.
    ln -s "$scratch/nowhere.img" "$scratch/dangling"
    run_verifier --meta "$meta" --target-file "$scratch/dangling"
    assert_refused "$scratch/dangling already exists; refusing to overwrite it"
    assert_missing "$scratch/nowhere.img"
    # A block device.
    local loopdev
    loopdev=$(losetup -f --show "$f" 2>"$scratch/losetup.err") ||
        skip "no loop device ($(tr '\n' ' ' <"$scratch/losetup.err")): the refusal of a block device was not checked"
    run_verifier --meta "$meta" --target-file "$loopdev"
    losetup -d "$loopdev"
    assert_refused "$loopdev already exists; refusing to overwrite it"
}

# A missing parent directory is accepted; the restore then fails.
t_target_file_without_parent() {
    world_setup
    local t="$scratch/no/such/dir/restored.img"
    run_verifier --meta "$meta" --target-file "$t"
    assert_verdict_failed "restore into $t failed: qor_restore exited with code 1"
    assert_missing "$scratch/no"
    assert_world_clean
}

# A target that ends before source_size bytes.
t_short_target() {
    world_setup
    local t="$scratch/restored.img"
    head -c 4194304 "$image" >"$scratch/short.img"
    make_world_backup short --image "$scratch/short.img" --ref "lvm:$VG/home=home_snap" \
        --chunk-size 1048576 --source-size 8388608
    run_verifier --meta "$backup_dir/short.meta" --target-file "$t"
    assert_verdict_failed "comparison failed: short read from $t at offset 4194304"
    assert_missing "$t"
    assert_world_clean
}

t_keep_restored() {
    world_setup
    run_verifier --meta "$meta" --keep-restored
    assert_verdict_identical 8388608
    assert_lvs home home_snap "$SCRATCH_LV"
    assert_file_lacks "$calls" "lvremove"
    cmp -s -n 8388608 "$image" "/dev/$VG/$SCRATCH_LV" || fail "the kept LV does not hold the backup"
    # A second run finds it and refuses.
    run_verifier --meta "$meta"
    assert_verdict_failed "$CANNOT $VG/$SCRATCH_LV already exists; refusing to overwrite it"
    assert_lvs home home_snap "$SCRATCH_LV"

    local t="$scratch/restored.img"
    run_verifier --meta "$meta" --target-file "$t" --keep-restored
    assert_verdict_identical 8388608
    cmp -s "$image" "$t" || fail "the kept file does not hold the backup"
}

t_keep_restored_on_failure() {
    world_setup
    QOR_FAKE_RESTORE_EXIT=3 QOR_FAKE_RESTORE_PARTIAL=1 run_verifier --meta "$meta" --keep-restored
    assert_verdict_failed "restore into /dev/$VG/$SCRATCH_LV failed: qor_restore exited with code 3"
    assert_lvs home home_snap "$SCRATCH_LV"
    assert_file_lacks "$calls" "lvremove"

    local t="$scratch/partial.img"
    QOR_FAKE_RESTORE_EXIT=4 QOR_FAKE_RESTORE_PARTIAL=1 \
        run_verifier --meta "$meta" --target-file "$t" --keep-restored
    assert_verdict_failed "restore into $t failed: qor_restore exited with code 4"
    assert_eq 4096 "$(stat -c %s "$t" 2>/dev/null)" "size of the kept partial file"

    local d="$scratch/different.img"
    QOR_FAKE_RESTORE_CORRUPT=42 run_verifier --meta "$meta" --target-file "$d" --keep-restored
    assert_verdict_failed "the restored target differs from the snapshot: 1 of the compared chunks mismatched, first at byte offset 0"
    assert_exists "$d"
    assert_snapshot_intact
}

# Without --keep-restored a partial file of a failed restore is removed too.
t_partial_file_removed() {
    world_setup
    local t="$scratch/partial.img"
    QOR_FAKE_RESTORE_EXIT=2 QOR_FAKE_RESTORE_PARTIAL=1 run_verifier --meta "$meta" --target-file "$t"
    assert_verdict_failed "restore into $t failed: qor_restore exited with code 2"
    assert_missing "$t"
    assert_world_clean
}

# A scratch LV that cannot be removed is reported, but the verdict stands.
t_scratch_lv_not_removed() {
    world_setup
    local msg="  Logical volume $VG/$SCRATCH_LV in use."
    fake-lvm fail lvremove 5 "$msg"
    run_verifier --meta "$meta"
    assert_verdict_identical 8388608
    assert_stderr_has "] WARN  could not remove the restore-target LV $VG/$SCRATCH_LV: could not remove LV $VG/$SCRATCH_LV: $msg"
    assert_stderr_has "(remove it manually)"
    assert_file_has "$scratch/log/verifier.log" "pid=$vpid stopped exit=0"
    assert_lvs home home_snap "$SCRATCH_LV"
    fake-lvm clear
    # With differences the verdict is still the difference.
    run_verifier --meta "$meta" --target-lv "$VG/scratch3"
    assert_verdict_identical 8388608
    fake-lvm fail lvremove 5
    QOR_FAKE_RESTORE_CORRUPT=0 run_verifier --meta "$meta" --target-lv "$VG/scratch4"
    assert_verdict_failed "the restored target differs from the snapshot: 1 of the compared chunks mismatched, first at byte offset 0"
    assert_console_line WARN "could not remove the restore-target LV $VG/scratch4: could not remove LV $VG/scratch4: lvremove failed (remove it manually)"
}

run_case "an existing default scratch LV is refused" t_default_lv_exists
run_case "the default LV name from a long origin name" t_default_name_from_long_origin
run_case "--target-lv creates and removes the named LV" t_named_lv
run_case "malformed --target-lv values" t_named_lv_malformed
run_case "--target-lv name lengths and LVM name rules" t_named_lv_lengths
run_case "--target-lv naming an existing LV" t_named_lv_exists
run_case "lvcreate failing or missing" t_lvcreate_fails
run_case "--target-file to a new file" t_target_file_new
run_case "--target-file naming something that exists" t_target_file_exists
run_case "--target-file in a missing directory" t_target_file_without_parent
run_case "a target shorter than the backup" t_short_target
run_case "--keep-restored keeps the target" t_keep_restored
run_case "--keep-restored keeps it on failures too" t_keep_restored_on_failure
run_case "a partial file of a failed restore is removed" t_partial_file_removed
run_case "a scratch LV that cannot be removed" t_scratch_lv_not_removed
finish
