#!/usr/bin/env bash
# Mode fs end to end against the stand-in world: real ext2/ext4/NTFS images
# in the snapshot LV, a backup of the same or a changed image restored into
# the scratch LV, both mounted read-only through real losetup and mount, and
# compared with the real diff. Every case also checks that no mount, no
# temporary mount directory, no loop device and no scratch LV is left.
. "$(dirname "$0")/lib.sh"

suite_started=$EPOCHREALTIME
PARTX_DIR="$QOR_SUPPORT_SRC/losetup-partx"
ROOT_RE='/var/tmp/qor_verifier\.[A-Za-z0-9]{6}'
SCRATCH_LV=home_qorverify
DIFFERS="the restored target differs from the snapshot (see the logged 'diff -rq' output above for which files)"

lock_mounts_exclusively

# This kernel creates no partition nodes after "losetup -P"; the wrapper's
# "partx -a" does, as udev would.
with_partition_nodes() {
    export PATH="$PARTX_DIR:$PATH"
}

# ---- images --------------------------------------------------------------

# A small tree with a subdirectory, a symbolic link and an empty file.
make_tree() { # dir
    mkdir -p "$1/docs/deeper"
    printf 'alpha\n' >"$1/docs/a.txt"
    printf 'beta\n' >"$1/docs/deeper/b.txt"
    head -c 100000 /dev/urandom >"$1/blob.bin"
    : >"$1/empty"
    ln -s docs/a.txt "$1/link"
}

# ---- the world -----------------------------------------------------------

# The two trees: "snap" as made, and "backup" as a copy the case may change.
make_trees() {
    make_tree "$scratch/snap"
    cp -a "$scratch/snap" "$scratch/backup-tree"
}

# Whole ext images of both trees.
ext_world() { # fs
    make_image "$1" "$scratch/snap.img" 16 "$scratch/snap"
    make_image "$1" "$scratch/backup.img" 16 "$scratch/backup-tree"
    world_from_images "$scratch/snap.img" "$scratch/backup.img"
}

run_fs() {
    run_verifier --meta "$meta" --mode fs
}

# ---- checks --------------------------------------------------------------

assert_stderr_matches() { # extended regex
    if ! grep -qE -- "$1" "$err"; then
        fail "stderr has no line matching: $1"
        _qt_show_run
    fi
}

# A logged difference: the WARN line for mount points ending in MP, then
# within the next lines the diff line given as a regex.
assert_difference_logged() { # mount-point-name diff-line-regex
    local warn="\\[qor_verifier\\] WARN  qor_verifier: differences found \\(($ROOT_RE)/$1 vs ($ROOT_RE)/$1\\):\$"
    assert_stderr_matches "$warn"
    assert_stderr_matches "^$2\$"
}

assert_fs_identical() {
    assert_status 0
    assert_console_line INFO "verified identical: no differing files found"
    assert_stderr_lacks "verification failed"
    assert_stderr_lacks "differences found"
    assert_stdout_empty
}

# The failure verdict line starts with this text (mount's own text may follow
# on more lines), and there is exactly one verdict.
assert_failed_starting() { # prefix regex
    assert_status 1
    assert_stderr_matches "\\[qor_verifier\\] ERROR verification failed: $1"
    assert_eq 1 "$(count_lines_with "$err" "] ERROR verification failed: ")" "verdict lines"
    assert_stdout_empty
}

# ---- cases ---------------------------------------------------------------

t_ext4_identical() {
    make_trees
    ext_world ext4
    run_fs
    assert_fs_identical
    assert_world_clean
}

t_file_differs() {
    make_trees
    printf 'alpha, changed\n' >"$scratch/backup-tree/docs/a.txt"
    ext_world ext4
    run_fs
    assert_verdict_failed "$DIFFERS"
    assert_difference_logged whole "Files $ROOT_RE/whole/docs/a.txt and $ROOT_RE/whole/docs/a.txt differ"
    assert_eq 1 "$(grep -cE " differ\$" "$err")" "differing files logged"
    assert_world_clean
}

t_file_on_one_side() {
    make_trees
    printf 'new\n' >"$scratch/backup-tree/docs/deeper/new.txt"
    ext_world ext4
    run_fs
    assert_verdict_failed "$DIFFERS"
    assert_difference_logged whole "Only in $ROOT_RE/whole/docs/deeper: new.txt"
    assert_world_clean
}

# The link text differs while both targets hold the same bytes: only a
# comparison that does not follow links sees it.
t_symlink_differs() {
    make_trees
    cp "$scratch/snap/docs/a.txt" "$scratch/snap/docs/a-copy.txt"
    cp "$scratch/snap/docs/a.txt" "$scratch/backup-tree/docs/a-copy.txt"
    ln -sfn docs/a-copy.txt "$scratch/backup-tree/link"
    ext_world ext4
    run_fs
    assert_verdict_failed "$DIFFERS"
    assert_difference_logged whole "Symbolic links $ROOT_RE/whole/link and $ROOT_RE/whole/link differ"
    assert_world_clean
}

# ext4 and ext2 partitions, on LVs that are real block devices.
t_mbr_identical() {
    make_trees
    make_image ext4 "$scratch/p1.img" 16 "$scratch/snap"
    make_image ext2 "$scratch/p2.img" 16 "$scratch/snap"
    make_image disk "$scratch/disk.img" dos "$scratch/p1.img" "$scratch/p2.img"
    world_from_images "$scratch/disk.img" "$scratch/disk.img" "" --loop
    with_partition_nodes
    run_fs
    assert_fs_identical
    assert_world_clean
}

t_mbr_second_partition_differs() {
    make_trees
    printf 'beta, changed\n' >"$scratch/backup-tree/docs/deeper/b.txt"
    make_image ext4 "$scratch/p1.img" 16 "$scratch/snap"
    make_image ext2 "$scratch/p2.img" 16 "$scratch/snap"
    make_image ext2 "$scratch/p2-changed.img" 16 "$scratch/backup-tree"
    make_image disk "$scratch/snap-disk.img" dos "$scratch/p1.img" "$scratch/p2.img"
    make_image disk "$scratch/backup-disk.img" dos "$scratch/p1.img" "$scratch/p2-changed.img"
    world_from_images "$scratch/snap-disk.img" "$scratch/backup-disk.img"
    with_partition_nodes
    run_fs
    assert_verdict_failed "$DIFFERS"
    assert_difference_logged p1 "Files $ROOT_RE/p1/docs/deeper/b.txt and $ROOT_RE/p1/docs/deeper/b.txt differ"
    assert_eq 1 "$(count_lines_with "$err" "differences found")" "differing pairs logged"
    assert_world_clean
}

t_gpt_identical() {
    make_trees
    make_image ext4 "$scratch/p1.img" 16 "$scratch/snap"
    make_image ext4 "$scratch/p2.img" 16 "$scratch/snap"
    make_image disk "$scratch/disk.img" gpt "$scratch/p1.img" "$scratch/p2.img"
    world_from_images "$scratch/disk.img" "$scratch/disk.img"
    with_partition_nodes
    run_fs
    assert_fs_identical
    assert_world_clean
}

t_ntfs_identical() {
    make_trees
    make_image ntfs "$scratch/snap.img" 16 "$scratch/snap"
    world_from_images "$scratch/snap.img" "$scratch/snap.img"
    run_fs
    assert_fs_identical
    assert_world_clean
}

t_layout_mismatch() {
    make_trees
    make_image ext4 "$scratch/p1.img" 16 "$scratch/snap"
    make_image disk "$scratch/disk.img" dos "$scratch/p1.img"
    make_image ext4 "$scratch/whole.img" 18 "$scratch/snap"
    world_from_images "$scratch/disk.img" "$scratch/whole.img"
    with_partition_nodes
    run_fs
    assert_verdict_failed "comparison failed: the snapshot and the restored target have a different partition layout -- cannot compare file by file"
    assert_world_clean
}

t_target_unmountable() {
    make_trees
    make_image ext4 "$scratch/snap.img" 16 "$scratch/snap"
    yes garbage | head -c 16M >"$scratch/garbage.img"
    world_from_images "$scratch/snap.img" "$scratch/garbage.img"
    run_fs
    assert_failed_starting "cannot mount the restored target: cannot mount /dev/$VG/$SCRATCH_LV at $ROOT_RE/whole: mount: "
    assert_world_clean
}

t_snapshot_unmountable() {
    make_trees
    yes garbage | head -c 16M >"$scratch/garbage.img"
    make_image ext4 "$scratch/backup.img" 16 "$scratch/snap"
    world_from_images "$scratch/garbage.img" "$scratch/backup.img"
    run_fs
    assert_failed_starting "cannot mount the snapshot: cannot mount /dev/$VG/home_snap at $ROOT_RE/whole: mount: "
    assert_world_clean
}

# Without the wrapper no partition node ever shows up: the wait gives up
# after about 5 seconds and the loop device is detached again.
t_partition_nodes_missing() {
    make_trees
    make_image ext4 "$scratch/p1.img" 16 "$scratch/snap"
    make_image disk "$scratch/disk.img" dos "$scratch/p1.img"
    world_from_images "$scratch/disk.img" "$scratch/disk.img"
    local started=$SECONDS
    run_fs
    local took=$((SECONDS - started))
    assert_failed_starting 'cannot mount the snapshot: partition device /dev/loop[0-9]+p1 did not appear$'
    [ "$took" -ge 4 ] && [ "$took" -le 12 ] || fail "gave up after ${took}s, expected about 5"
    assert_world_clean
}

t_diff_fails() {
    make_trees
    ext_world ext4
    mkdir -p "$scratch/fake-diff"
    printf '#!/bin/sh\necho "diff: simulated failure"\nexit 2\n' >"$scratch/fake-diff/diff"
    chmod +x "$scratch/fake-diff/diff"
    PATH="$scratch/fake-diff:$PATH" run_fs
    assert_failed_starting "comparison failed: could not run diff between $ROOT_RE/whole and $ROOT_RE/whole: diff: simulated failure\$"
    assert_world_clean
}

run_case "ext4 whole image, identical" t_ext4_identical
run_case "ext4 whole image, a file differs" t_file_differs
run_case "ext4 whole image, a file on one side only" t_file_on_one_side
run_case "ext4 whole image, a symlink whose target differs" t_symlink_differs
run_case "MBR ext4 + ext2 on block devices, identical" t_mbr_identical
run_case "MBR, a difference in the second partition only" t_mbr_second_partition_differs
run_case "GPT with two partitions, identical" t_gpt_identical
run_case "NTFS whole image, identical" t_ntfs_identical
run_case "partitioned snapshot, whole target" t_layout_mismatch
run_case "restored target that cannot be mounted" t_target_unmountable
run_case "snapshot that cannot be mounted" t_snapshot_unmountable
run_case "partition nodes that never appear" t_partition_nodes_missing
run_case "diff that fails" t_diff_fails
printf 'fs suite took %.1fs\n' "$(awk -v a="$suite_started" -v b="$EPOCHREALTIME" 'BEGIN { print b - a }')"
finish
