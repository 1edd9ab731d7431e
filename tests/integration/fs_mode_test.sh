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

# A mount first on PATH that appends, for each mount it makes, the kernel's
# mountinfo line of it to $scratch/mounts.
with_recorded_mounts() {
    local dir="$scratch/mount-wrapper"
    mkdir -p "$dir"
    cat >"$dir/mount" <<EOF
#!/bin/bash
point=\${*: -1}
/usr/bin/mount "\$@" || exit
awk -v p="\$point" '\$5 == p' /proc/self/mountinfo >>"$scratch/mounts"
EOF
    chmod +x "$dir/mount"
    : >"$scratch/mounts"
    export PATH="$dir:$PATH"
}

# The kernel mounts file systems of TYPE, loading their module if need be.
kernel_has_fs() { # TYPE
    grep -qw "$1" /proc/filesystems ||
        { modprobe -q "$1" 2>/dev/null && grep -qw "$1" /proc/filesystems; }
}

# Debian's layout: ext4 p1, extended p2 holding swap p5 and ext4 p6, the
# file systems holding the trees snap (p1) and TREE (p6).
make_debian_disk() { # disk tree
    make_image ext4 "$scratch/deb-p1.img" 16 "$scratch/snap"
    make_image ext4 "$1.p6" 16 "$2"
    make_image swap "$scratch/deb-swap.img" 4
    make_image disk "$1" dos "1:83:$scratch/deb-p1.img" 2:E "5:S:$scratch/deb-swap.img" "6:L:$1.p6"
}

# ---- checks --------------------------------------------------------------

assert_stderr_matches() { # extended regex
    if ! grep -qE -- "$1" "$err"; then
        fail "stderr has no line matching: $1"
        show_run
    fi
}

# A logged difference: the WARN line for mount points ending in MP, then
# within the next lines the diff line given as a regex, indented.
assert_difference_logged() { # mount-point-name diff-line-regex
    local warn="\\[qor_verifier\\] WARN  qor_verifier: differences found \\(($ROOT_RE)/$1 vs ($ROOT_RE)/$1\\):\$"
    assert_stderr_matches "$warn"
    assert_stderr_matches "^    $2\$"
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
    assert_eq 1 "$(grep -c '^    ' "$err")" "lines logged (its new time is no second one)"
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

# An ext4 image whose group descriptors are gone: the probe knows its type,
# the kernel refuses it.
t_target_unmountable() {
    make_trees
    make_image ext4 "$scratch/snap.img" 16 "$scratch/snap"
    make_image ext4 "$scratch/broken.img" 16 "$scratch/snap"
    dd if=/dev/zero of="$scratch/broken.img" bs=1024 seek=2 count=1 conv=notrunc status=none
    world_from_images "$scratch/snap.img" "$scratch/broken.img"
    run_fs
    assert_failed_starting "cannot mount the restored target: cannot mount /dev/$VG/$SCRATCH_LV at $ROOT_RE/whole: mount: .*Structure needs cleaning"
    assert_world_clean
}

t_snapshot_unmountable() {
    make_trees
    yes garbage | head -c 16M >"$scratch/garbage.img"
    make_image ext4 "$scratch/backup.img" 16 "$scratch/snap"
    world_from_images "$scratch/garbage.img" "$scratch/backup.img"
    run_fs
    assert_verdict_failed "cannot mount the snapshot: cannot mount /dev/$VG/home_snap: it holds no recognised file system"
    assert_world_clean
}

# A restored squashfs where the snapshot holds ext4 never reaches the kernel:
# only the snapshot is mounted.
t_target_of_another_type() {
    make_trees
    make_image ext4 "$scratch/snap.img" 16 "$scratch/snap"
    make_image squashfs "$scratch/backup.img" "$scratch/snap"
    truncate -s 16M "$scratch/backup.img" # the snapshot's size, as a restore writes it
    world_from_images "$scratch/snap.img" "$scratch/backup.img"
    with_recorded_mounts
    run_fs
    assert_verdict_failed "comparison failed: the restored target holds squashfs where the snapshot holds ext4 -- cannot compare file by file"
    assert_eq 1 "$(grep -c ' - ext4 ' "$scratch/mounts")" "mounts made (the snapshot's only)"
    assert_eq 1 "$(wc -l <"$scratch/mounts")" "mounts made"
    assert_world_clean
}

# Both images ask for a kernel panic on an error; every mount is read-only,
# nosuid, nodev and noexec, and its error policy is remount-ro, which the
# kernel lists because it overrides the image's own.
t_mounts_hardened() {
    make_trees
    make_image ext4 "$scratch/snap.img" 16 "$scratch/snap"
    make_image ext4 "$scratch/backup.img" 16 "$scratch/snap"
    tune2fs -e panic "$scratch/snap.img" >/dev/null
    tune2fs -e panic "$scratch/backup.img" >/dev/null
    world_from_images "$scratch/snap.img" "$scratch/backup.img"
    with_recorded_mounts
    run_fs
    assert_fs_identical
    assert_eq 2 "$(wc -l <"$scratch/mounts")" "mounts made"
    local line
    while read -r line; do
        [[ $(awk '{ print $6 }' <<<"$line") =~ ^ro,nosuid,nodev,noexec, ]] ||
            fail "mount options of: $line"
        [[ $line =~ " - ext4 ".*errors=remount-ro ]] || fail "error policy of: $line"
    done <"$scratch/mounts"
    assert_world_clean
}

# Debian's MBR: p1, p6 mounted from their own nodes and compared; swap in p5
# left out with one line for each image; a difference in p6 is found.
t_debian_mbr_layout() {
    make_trees
    make_debian_disk "$scratch/snap-disk.img" "$scratch/snap"
    printf 'alpha, changed\n' >"$scratch/backup-tree/docs/a.txt"
    make_debian_disk "$scratch/backup-disk.img" "$scratch/backup-tree"
    world_from_images "$scratch/snap-disk.img" "$scratch/snap-disk.img" "" --loop
    with_partition_nodes
    with_recorded_mounts
    run_fs
    assert_fs_identical
    assert_console_line INFO "not mounting partition 5 of /dev/$VG/home_snap: it holds swap, not a file system"
    assert_console_line INFO "not mounting partition 5 of /dev/$VG/$SCRATCH_LV: it holds swap, not a file system"
    assert_eq 4 "$(grep -cE 'loop[0-9]+p[16] ' "$scratch/mounts")" "partitions 1 and 6 mounted on both sides"
    assert_world_clean

    make_world_backup changed --image "$scratch/backup-disk.img" --ref "lvm:$VG/home=home_snap"
    run_verifier --meta "$backup_dir/changed.meta" --mode fs
    assert_verdict_failed "$DIFFERS"
    assert_difference_logged p1 "Files $ROOT_RE/p1/docs/a.txt and $ROOT_RE/p1/docs/a.txt differ"
    assert_eq 1 "$(count_lines_with "$err" "differences found")" "differing pairs logged"
    assert_world_clean
}

# A UEFI disk: the EFI system partition (vfat) in slot 1, a hole in slot 2,
# ext4 in 3, swap in 4.
t_uefi_gpt_layout() {
    kernel_has_fs vfat ||
        skip "this kernel has no vfat: the UEFI layout (EFI system partition and ext4 root) was not compared"
    make_trees
    make_image vfat "$scratch/esp.img" 8
    make_image ext4 "$scratch/root.img" 16 "$scratch/snap"
    make_image swap "$scratch/swap.img" 4
    make_image disk "$scratch/disk.img" gpt "1:U:$scratch/esp.img" "3:L:$scratch/root.img" \
        "4:S:$scratch/swap.img"
    world_from_images "$scratch/disk.img"
    with_partition_nodes
    with_recorded_mounts
    run_fs
    assert_fs_identical
    assert_console_line INFO "not mounting partition 4 of /dev/$VG/home_snap: it holds swap, not a file system"
    assert_console_line INFO "not mounting partition 4 of /dev/$VG/$SCRATCH_LV: it holds swap, not a file system"
    assert_eq 2 "$(grep -cE ' - vfat /dev/loop[0-9]+p1 ' "$scratch/mounts")" "ESP mounts"
    assert_eq 2 "$(grep -cE ' - ext4 /dev/loop[0-9]+p3 ' "$scratch/mounts")" "root mounts"
    assert_world_clean
}

# Partitions 1, 5, 6 against 1, 2: refused before the target is mounted.
t_partition_numbers_differ() {
    make_trees
    make_debian_disk "$scratch/snap-disk.img" "$scratch/snap"
    make_image ext4 "$scratch/p.img" 16 "$scratch/snap"
    make_image disk "$scratch/two.img" dos "$scratch/p.img" "$scratch/p.img"
    truncate -s "$(stat -c %s "$scratch/snap-disk.img")" "$scratch/two.img"
    world_from_images "$scratch/snap-disk.img" "$scratch/two.img"
    with_partition_nodes
    with_recorded_mounts
    run_fs
    assert_verdict_failed "comparison failed: the snapshot and the restored target have a different partition layout -- cannot compare file by file"
    assert_eq 2 "$(wc -l <"$scratch/mounts")" "mounts made (the snapshot's two)"
    assert_world_clean
}

# An ext4 image whose unused boot area ends in 0x55 0xAA with boot code
# before it: no partition table, so it is mounted whole at once.
t_boot_code_is_no_table() {
    make_trees
    make_image ext4 "$scratch/snap.img" 16 "$scratch/snap"
    # Read as a table, slot 1 would be type 0x83 from LBA 2048 for 4096 sectors.
    printf '\x33\xfa\xeb\x05\x83\x90\x90\x90\x00\x08\x00\x00\x00\x10\x00\x00' |
        dd of="$scratch/snap.img" bs=1 seek=446 conv=notrunc status=none
    printf '\x55\xaa' | dd of="$scratch/snap.img" bs=1 seek=510 conv=notrunc status=none
    world_from_images "$scratch/snap.img"
    local started=$SECONDS
    run_fs
    assert_fs_identical
    [ $((SECONDS - started)) -lt 4 ] || fail "took $((SECONDS - started))s"
    assert_world_clean
}

t_gpt_numbered_past_128() {
    make_trees
    make_image ext4 "$scratch/p.img" 16 "$scratch/snap"
    make_image disk "$scratch/disk.img" gpt "$scratch/p.img" "200:L:$scratch/p.img"
    world_from_images "$scratch/disk.img"
    run_fs
    assert_verdict_failed "cannot mount the snapshot: the partition table of /dev/$VG/home_snap has partitions numbered past 128, more than qor_verifier compares"
    assert_world_clean
}

# Writes one changed byte into FILE at byte OFFSET.
poke_byte() { # file offset
    printf '\x5a' | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

# What a partition or image of KIND holds, as the log names it.
BLOCK_HOLDS_pv="LVM2_member"
BLOCK_HOLDS_minix="minix, a file system qor_verifier does not mount"
BLOCK_HOLDS_cramfs="cramfs, a file system qor_verifier does not mount"

make_block_volume() { # kind image
    case $1 in
        cramfs) make_image cramfs "$2" "$scratch/snap" ;;
        *) make_image "$1" "$2" 4 ;;
    esac
}

# /boot (ext4) in p1, a data partition of sfdisk TYPE holding KIND in p2,
# swap in p3. Only /boot is mounted; p2 and the bytes before p1 are compared
# block by block. A restore whose swap differs verifies identical, one whose
# p2 differs in one byte does not.
t_data_partition() { # type kind
    make_trees
    make_image ext4 "$scratch/boot.img" 16 "$scratch/snap"
    make_block_volume "$2" "$scratch/data.img"
    make_image swap "$scratch/swap.img" 4
    make_image disk "$scratch/snap-disk.img" dos "1:83:$scratch/boot.img" \
        "2:$1:$scratch/data.img" "3:S:$scratch/swap.img"
    local data_start swap_start holds_var="BLOCK_HOLDS_$2"
    data_start=$(partx -g -o START -n 2 "$scratch/snap-disk.img")
    swap_start=$(partx -g -o START -n 3 "$scratch/snap-disk.img")
    cp "$scratch/snap-disk.img" "$scratch/swap-changed.img"
    poke_byte "$scratch/swap-changed.img" $((swap_start * 512 + 65536 + 17))
    cp "$scratch/snap-disk.img" "$scratch/data-changed.img"
    poke_byte "$scratch/data-changed.img" $((data_start * 512 + 65536 + 17))
    world_from_images "$scratch/snap-disk.img" "$scratch/swap-changed.img" 65536
    with_partition_nodes
    with_recorded_mounts
    run_fs
    assert_fs_identical
    assert_console_line INFO "partition 2 (${!holds_var}): compared block by block, identical"
    assert_console_line INFO "the bytes before the first partition (boot code and partition table): compared block by block, identical"
    assert_console_line INFO "not mounting partition 3 of /dev/$VG/$SCRATCH_LV: it holds swap, not a file system"
    assert_eq 2 "$(grep -cE ' - ext4 /dev/loop[0-9]+p1 ' "$scratch/mounts")" "mounts of /boot"
    assert_eq 2 "$(wc -l <"$scratch/mounts")" "mounts made"
    assert_world_clean

    make_world_backup changed --image "$scratch/data-changed.img" --ref "lvm:$VG/home=home_snap" \
        --chunk-size 65536
    run_verifier --meta "$backup_dir/changed.meta" --mode fs
    assert_verdict_failed "$DIFFERS"
    assert_console_line WARN "partition 2 (${!holds_var}): differs in 1 of its chunks, the first at byte offset 65536 within it (compared block by block)"
    assert_world_clean
}

# A volume of KIND without a partition table: nothing is mounted or attached,
# the whole image is compared block by block.
t_whole_block_volume() { # kind
    make_trees
    make_block_volume "$1" "$scratch/snap.img"
    cp "$scratch/snap.img" "$scratch/changed.img"
    poke_byte "$scratch/changed.img" $((3 * 1048576 + 1))
    world_from_images "$scratch/snap.img" "$scratch/snap.img" 65536
    with_recorded_mounts
    local holds_var="BLOCK_HOLDS_$1"
    run_fs
    assert_fs_identical
    assert_console_line INFO "the whole image (${!holds_var}): compared block by block, identical"
    assert_eq 0 "$(wc -l <"$scratch/mounts")" "mounts made"
    assert_world_clean

    make_world_backup changed --image "$scratch/changed.img" --ref "lvm:$VG/home=home_snap" \
        --chunk-size 65536
    run_verifier --meta "$backup_dir/changed.meta" --mode fs
    assert_verdict_failed "$DIFFERS"
    assert_console_line WARN "the whole image (${!holds_var}): differs in 1 of its chunks, the first at byte offset 3145728 within it (compared block by block)"
    assert_world_clean
}

# A FIFO, a socket and device nodes in a tree, as a local user or a server
# leaves them; DEV_MINOR is the character device's minor number.
make_special_files() { # dir dev_minor
    mkfifo "$1/pipe"
    perl -MSocket -e 'socket(my $s, PF_UNIX, SOCK_STREAM, 0) or die; bind($s, pack_sockaddr_un($ARGV[0])) or die' "$1/socket"
    mknod "$1/console" c 5 "$2"
    mknod "$1/disk" b 7 200
}

# Equal special files are no difference; a device node with other numbers
# is one, and is the only one logged.
t_special_files() {
    make_tree "$scratch/snap"
    make_special_files "$scratch/snap" 1
    cp -a "$scratch/snap" "$scratch/backup-tree"
    ext_world ext4
    run_fs
    assert_fs_identical
    assert_world_clean

    rm "$scratch/backup-tree/console"
    mknod "$scratch/backup-tree/console" c 5 2
    touch -r "$scratch/snap/console" "$scratch/backup-tree/console"
    touch -r "$scratch/snap" "$scratch/backup-tree"
    make_image ext4 "$scratch/backup2.img" 16 "$scratch/backup-tree"
    make_world_backup other-minor --image "$scratch/backup2.img" --ref "lvm:$VG/home=home_snap"
    run_verifier --meta "$backup_dir/other-minor.meta" --mode fs
    assert_verdict_failed "$DIFFERS"
    assert_difference_logged whole "File $ROOT_RE/whole/console is a character special file while file $ROOT_RE/whole/console is a character special file"
    assert_eq 1 "$(grep -c '^    ' "$err")" "differences logged"
    assert_world_clean
}

# A file named with a line end and a forged verdict differs, and a FIFO of
# that name exists in the snapshot only: both are logged on one indented line
# each, escaped, and no line of the run reads as a verdict it did not give.
t_forged_names() {
    make_trees
    local forged=$'x\n2026-12-08T00:00:00Z [qor_verifier] INFO  verified identical: no differing files found'
    printf 'one\n' >"$scratch/snap/$forged"
    printf 'two\n' >"$scratch/backup-tree/$forged"
    mkfifo "$scratch/snap/fifo $forged"
    ext_world ext4
    run_fs
    assert_status 1
    assert_console_line ERROR "verification failed: $DIFFERS"
    local shown='x\\n2026-12-08T00:00:00Z \[qor_verifier\] INFO  verified identical: no differing files found'
    assert_stderr_matches "^    Files $ROOT_RE/whole/$shown and $ROOT_RE/whole/$shown differ\$"
    assert_stderr_matches "^    Only in $ROOT_RE/whole: fifo $shown\$"
    local line
    while IFS= read -r line; do
        [[ $line =~ $QT_TS_RE\[qor_verifier\]\ (INFO |WARN |ERROR) ]] || [[ $line == "    "* ]] ||
            fail "a line that is neither a log line nor indented: $line"
    done <"$err"
    assert_eq 0 "$(grep -cE "${QT_TS_RE}\\[qor_verifier\\] INFO  verified identical" "$err")" "verdicts of identity"
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

# The restored tree differs from the snapshot in one attribute of one file,
# contents equal: the metadata walk finds it and logs one line in diff's
# block. Each row: the change, run in the restored tree, and the line.
t_metadata_differs() {
    make_trees
    make_image ext4 "$scratch/snap.img" 16 "$scratch/snap"
    world_from_images "$scratch/snap.img"
    local change line n=0 file="$ROOT_RE/whole/docs/a.txt"
    while IFS='|' read -r change line; do
        n=$((n + 1))
        rm -rf "$scratch/row-tree"
        cp -a "$scratch/snap" "$scratch/row-tree"
        (cd "$scratch/row-tree" && eval "$change") || fail "row $n: $change"
        make_image ext4 "$scratch/row.img" 16 "$scratch/row-tree"
        make_world_backup "row$n" --image "$scratch/row.img" --ref "lvm:$VG/home=home_snap"
        run_verifier --meta "$backup_dir/row$n.meta" --mode fs
        assert_verdict_failed "$DIFFERS"
        assert_difference_logged whole "${line//FILE/$file}"
        assert_eq 1 "$(grep -c '^    ' "$err")" "row $n: differences logged"
        assert_world_clean
    done <<'EOF'
chown 1000 docs/a.txt|owner of FILE is 0, of FILE 1000
chmod g+s docs/a.txt|mode of FILE is 0644, of FILE 2644
touch -m -d @1700000000 docs/a.txt|modification time of FILE is 20[0-9-]+T[0-9:]+Z, of FILE 2023-11-14T22:13:20Z
setfattr -n user.origin -v restored docs/a.txt|extended attribute user.origin of FILE is missing, of FILE "restored"
EOF
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
run_case "snapshot that holds no file system" t_snapshot_unmountable
run_case "restored squashfs where the snapshot holds ext4" t_target_of_another_type
run_case "mounts hardened, ext error policy overridden" t_mounts_hardened
run_case "Debian MBR: ext4, swap in a logical partition, ext4" t_debian_mbr_layout
run_case "UEFI GPT: EFI system partition, a hole, ext4, swap" t_uefi_gpt_layout
run_case "partition numbers that differ" t_partition_numbers_differ
run_case "ext4 whose boot area ends in 0x55 0xAA" t_boot_code_is_no_table
run_case "GPT with a partition numbered past 128" t_gpt_numbered_past_128
run_case "/boot, a PV in a type-8e partition, swap" t_data_partition 8e pv
run_case "/boot, a PV in a type-0x83 partition, swap" t_data_partition 83 pv
run_case "/boot, a minix partition, swap" t_data_partition 83 minix
run_case "/boot, a cramfs partition, swap" t_data_partition 83 cramfs
run_case "a bare minix image" t_whole_block_volume minix
run_case "a bare PV" t_whole_block_volume pv
run_case "FIFOs, sockets and device nodes" t_special_files
run_case "file names with a line end and a forged verdict" t_forged_names
run_case "partition nodes that never appear" t_partition_nodes_missing
run_case "diff that fails" t_diff_fails
run_case "ext4 trees that differ in one attribute of one file" t_metadata_differs
printf 'fs suite took %.1fs\n' "$(awk -v a="$suite_started" -v b="$EPOCHREALTIME" 'BEGIN { print b - a }')"
finish
