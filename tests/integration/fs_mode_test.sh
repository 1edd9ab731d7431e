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

# The unit tests that mount take the same lock: each side would otherwise see
# the other's temporary mount directories as leftovers.
exec 9>/tmp/qor_verifier_fs_tests.lock
flock 9

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

make_ext() { # image fs dir [MiB]
    truncate -s "${4:-16}M" "$1" && mkfs."$2" -q -F -d "$3" "$1" >/dev/null ||
        { fail "mkfs.$2 $1"; exit 1; }
}

make_ntfs() { # image dir
    local mnt="$scratch/ntfs-mnt"
    mkdir -p "$mnt"
    truncate -s 16M "$1" && mkfs.ntfs -Q -F -q "$1" >/dev/null 2>&1 ||
        { fail "mkfs.ntfs $1"; exit 1; }
    mount -t ntfs-3g "$1" "$mnt" || { fail "mount ntfs $1"; exit 1; }
    cp -a "$2/." "$mnt/"
    umount "$mnt" || { fail "umount $mnt"; exit 1; }
}

# A disk image with a "dos" or "gpt" label, one partition per file-system
# image (16 MiB each, from 1 MiB on) and 1 MiB to spare at the end.
make_disk() { # image label fs-image...
    local disk=$1 label=$2 mib=1 fs
    shift 2
    truncate -s $(($# * 16 + 2))M "$disk"
    {
        printf 'label: %s\n' "$label"
        for fs in "$@"; do printf 'start=%d, size=%d\n' $((mib * 2048)) $((16 * 2048)); mib=$((mib + 16)); done
    } | sfdisk -q "$disk" || { fail "sfdisk $disk"; exit 1; }
    mib=1
    for fs in "$@"; do
        dd if="$fs" of="$disk" bs=1M seek=$mib conv=notrunc,sparse status=none
        mib=$((mib + 16))
    done
}

# ---- the world -----------------------------------------------------------

# fs_world SNAPSHOT_IMAGE BACKUP_IMAGE [--loop]: the snapshot LV holds the
# first image, the backup (restored into the scratch LV) the second.
fs_world() {
    local snap=$1 backup=$2 loop=${3:-} size
    size=$(stat -c %s "$snap")
    image=$snap
    # shellcheck disable=SC2086
    fake-lvm vg-create "$VG" $loop || { fail "fake-lvm vg-create"; exit 1; }
    # shellcheck disable=SC2086
    fake-lvm lv-add "$VG" home --size "$size" --data "$snap" --attr owi-aos--- $loop ||
        { fail "fake-lvm lv-add home"; exit 1; }
    # shellcheck disable=SC2086
    fake-lvm lv-add "$VG" home_snap --size "$size" --data "$snap" --attr swi-a-s--- \
        --tags qor_agent --origin home $loop || { fail "fake-lvm lv-add home_snap"; exit 1; }
    backup_dir="$scratch/backup"
    mkdir -p "$backup_dir"
    make_backup --image "$backup" --out "$backup_dir/home" --ref "lvm:$VG/home=home_snap" ||
        { fail "make_backup"; exit 1; }
    meta="$backup_dir/home.meta"
    snap_dev="/dev/$VG/home_snap"
    calls="$QOR_FAKE_LVM_DIR/calls.log"
    roots_before=$(ls -d /var/tmp/qor_verifier.* 2>/dev/null)
}

# The two trees: "snap" as made, and "backup" as a copy the case may change.
make_trees() {
    make_tree "$scratch/snap"
    cp -a "$scratch/snap" "$scratch/backup-tree"
}

# Whole ext images of both trees.
ext_world() { # fs
    make_ext "$scratch/snap.img" "$1" "$scratch/snap"
    make_ext "$scratch/backup.img" "$1" "$scratch/backup-tree"
    fs_world "$scratch/snap.img" "$scratch/backup.img"
}

run_fs() {
    run_verifier --meta "$meta" --mode fs
}

# ---- checks --------------------------------------------------------------

# Loop devices over this case's files, or over the world's own loop devices,
# other than the world's own.
stray_loops() {
    local own="" name back
    [ -f "$QOR_FAKE_LVM_DIR/loops" ] && own=$(cat "$QOR_FAKE_LVM_DIR/loops")
    while read -r name back; do
        if grep -qxF -- "$name" <<<"$own"; then continue; fi
        case $back in
            "$scratch"/*) printf '%s ' "$name" ;;
            *) if [ -n "$own" ] && grep -qxF -- "$back" <<<"$own"; then printf '%s ' "$name"; fi ;;
        esac
    done < <(losetup -n -O NAME,BACK-FILE)
}

# What every fs case must leave: only the origin and snapshot LVs, the
# snapshot untouched, nothing mounted or attached, no temporary directory.
assert_fs_clean() {
    assert_world_clean
    if grep -qF ' /var/tmp/qor_verifier.' /proc/self/mountinfo; then
        fail "a mount under /var/tmp/qor_verifier.* is left: $(grep -F ' /var/tmp/qor_verifier.' /proc/self/mountinfo)"
    fi
    assert_eq "$roots_before" "$(ls -d /var/tmp/qor_verifier.* 2>/dev/null)" \
        "temporary mount directories"
    local loops
    loops=$(stray_loops)
    [ -z "$loops" ] || fail "loop devices left: $loops"
}

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
    assert_fs_clean
}

t_file_differs() {
    make_trees
    printf 'alpha, changed\n' >"$scratch/backup-tree/docs/a.txt"
    ext_world ext4
    run_fs
    assert_verdict_failed "$DIFFERS"
    assert_difference_logged whole "Files $ROOT_RE/whole/docs/a.txt and $ROOT_RE/whole/docs/a.txt differ"
    assert_eq 1 "$(grep -cE " differ\$" "$err")" "differing files logged"
    assert_fs_clean
}

t_file_on_one_side() {
    make_trees
    printf 'new\n' >"$scratch/backup-tree/docs/deeper/new.txt"
    ext_world ext4
    run_fs
    assert_verdict_failed "$DIFFERS"
    assert_difference_logged whole "Only in $ROOT_RE/whole/docs/deeper: new.txt"
    assert_fs_clean
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
    assert_fs_clean
}

# ext4 and ext2 partitions, on LVs that are real block devices.
t_mbr_identical() {
    make_trees
    make_ext "$scratch/p1.img" ext4 "$scratch/snap"
    make_ext "$scratch/p2.img" ext2 "$scratch/snap"
    make_disk "$scratch/disk.img" dos "$scratch/p1.img" "$scratch/p2.img"
    fs_world "$scratch/disk.img" "$scratch/disk.img" --loop
    with_partition_nodes
    run_fs
    assert_fs_identical
    assert_fs_clean
}

t_mbr_second_partition_differs() {
    make_trees
    printf 'beta, changed\n' >"$scratch/backup-tree/docs/deeper/b.txt"
    make_ext "$scratch/p1.img" ext4 "$scratch/snap"
    make_ext "$scratch/p2.img" ext2 "$scratch/snap"
    make_ext "$scratch/p2-changed.img" ext2 "$scratch/backup-tree"
    make_disk "$scratch/snap-disk.img" dos "$scratch/p1.img" "$scratch/p2.img"
    make_disk "$scratch/backup-disk.img" dos "$scratch/p1.img" "$scratch/p2-changed.img"
    fs_world "$scratch/snap-disk.img" "$scratch/backup-disk.img"
    with_partition_nodes
    run_fs
    assert_verdict_failed "$DIFFERS"
    assert_difference_logged p1 "Files $ROOT_RE/p1/docs/deeper/b.txt and $ROOT_RE/p1/docs/deeper/b.txt differ"
    assert_eq 1 "$(count_lines_with "$err" "differences found")" "differing pairs logged"
    assert_fs_clean
}

t_gpt_identical() {
    make_trees
    make_ext "$scratch/p1.img" ext4 "$scratch/snap"
    make_ext "$scratch/p2.img" ext4 "$scratch/snap"
    make_disk "$scratch/disk.img" gpt "$scratch/p1.img" "$scratch/p2.img"
    fs_world "$scratch/disk.img" "$scratch/disk.img"
    with_partition_nodes
    run_fs
    assert_fs_identical
    assert_fs_clean
}

t_ntfs_identical() {
    make_trees
    make_ntfs "$scratch/snap.img" "$scratch/snap"
    fs_world "$scratch/snap.img" "$scratch/snap.img"
    run_fs
    assert_fs_identical
    assert_fs_clean
}

t_layout_mismatch() {
    make_trees
    make_ext "$scratch/p1.img" ext4 "$scratch/snap"
    make_disk "$scratch/disk.img" dos "$scratch/p1.img"
    make_ext "$scratch/whole.img" ext4 "$scratch/snap" 18
    fs_world "$scratch/disk.img" "$scratch/whole.img"
    with_partition_nodes
    run_fs
    assert_verdict_failed "comparison failed: the snapshot and the restored target have a different partition layout -- cannot compare file by file"
    assert_fs_clean
}

t_target_unmountable() {
    make_trees
    make_ext "$scratch/snap.img" ext4 "$scratch/snap"
    yes garbage | head -c 16M >"$scratch/garbage.img"
    fs_world "$scratch/snap.img" "$scratch/garbage.img"
    run_fs
    assert_failed_starting "cannot mount the restored target: cannot mount /dev/$VG/$SCRATCH_LV at $ROOT_RE/whole: mount: "
    assert_fs_clean
}

t_snapshot_unmountable() {
    make_trees
    yes garbage | head -c 16M >"$scratch/garbage.img"
    make_ext "$scratch/backup.img" ext4 "$scratch/snap"
    fs_world "$scratch/garbage.img" "$scratch/backup.img"
    run_fs
    assert_failed_starting "cannot mount the snapshot: cannot mount /dev/$VG/home_snap at $ROOT_RE/whole: mount: "
    assert_fs_clean
}

# Without the wrapper no partition node ever shows up: the wait gives up
# after about 5 seconds and the loop device is detached again.
t_partition_nodes_missing() {
    make_trees
    make_ext "$scratch/p1.img" ext4 "$scratch/snap"
    make_disk "$scratch/disk.img" dos "$scratch/p1.img"
    fs_world "$scratch/disk.img" "$scratch/disk.img"
    local started=$SECONDS
    run_fs
    local took=$((SECONDS - started))
    assert_failed_starting 'cannot mount the snapshot: partition device /dev/loop[0-9]+p1 did not appear$'
    [ "$took" -ge 4 ] && [ "$took" -le 12 ] || fail "gave up after ${took}s, expected about 5"
    assert_fs_clean
}

t_diff_fails() {
    make_trees
    ext_world ext4
    mkdir -p "$scratch/fake-diff"
    printf '#!/bin/sh\necho "diff: simulated failure"\nexit 2\n' >"$scratch/fake-diff/diff"
    chmod +x "$scratch/fake-diff/diff"
    PATH="$scratch/fake-diff:$PATH" run_fs
    assert_failed_starting "comparison failed: could not run diff between $ROOT_RE/whole and $ROOT_RE/whole: diff: simulated failure\$"
    assert_fs_clean
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
