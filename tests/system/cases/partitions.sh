# Partitioned LVs: the kernel and udev make the partition nodes of the loop
# devices; nothing in the guest runs partx.

# partition_origin SIZE LABEL SFDISK-SCRIPT FS...: an origin LV with that
# partition table and one file system of the given type per partition, each
# holding a populated tree.
partition_origin() {
    local size=$1 label=$2 script=$3 loop i fs
    shift 3
    must lvcreate -y -n home -L "$size" "$VG"
    printf 'label: %s\n%s\n' "$label" "$script" | must sfdisk -q "/dev/$VG/home"
    loop=$(losetup -P -f --show "/dev/$VG/home") || { fail "losetup -P"; exit 1; }
    mkdir -p "$scratch/mnt"
    i=1
    for fs in "$@"; do
        wait_for "[ -b ${loop}p$i ]" 10 || exit 1
        case $fs in
            ntfs)
                must mkntfs -q -Q -F "${loop}p$i"
                must mount -t ntfs-3g "${loop}p$i" "$scratch/mnt"
                mkdir -p "$scratch/mnt/Users/docs"
                head -c 1000000 /dev/urandom >"$scratch/mnt/Users/docs/report.bin"
                printf 'ntfs text\n' >"$scratch/mnt/readme.txt"
                ;;
            *)
                must "mkfs.$fs" -q "${loop}p$i"
                must mount "${loop}p$i" "$scratch/mnt"
                populate_tree "$scratch/mnt"
                ;;
        esac
        must umount "$scratch/mnt"
        i=$((i + 1))
    done
    must losetup -d "$loop"
}

partition_case() { # LABEL SFDISK-SCRIPT FS...
    make_vg
    partition_origin 128m "$@"
    make_snapshot 32m
    make_backup_of 1048576
    write_to_partition_one
    run_verifier --meta "$meta" --mode fs
    assert_identical_files
    assert_left_only home home_snap
    QOR_FAKE_RESTORE_CORRUPT=$((70 * 1048576 + 1536)) run_verifier --meta "$meta"
    assert_failed_like "the restored target differs from the snapshot: 1 of the compared chunks mismatched, first at byte offset 73400320$"
    assert_left_only home home_snap
}

# New data in the origin's first partition after the snapshot was taken.
write_to_partition_one() {
    local loop
    loop=$(losetup -P -f --show "/dev/$VG/home") || { fail "losetup -P"; exit 1; }
    wait_for "[ -b ${loop}p1 ]" 10 || exit 1
    must mount "${loop}p1" "$scratch/mnt"
    printf 'after the snapshot\n' >"$scratch/mnt/new-file"
    must umount "$scratch/mnt"
    must losetup -d "$loop"
}

t_mbr_ext4_ntfs() {
    partition_case dos $',60MiB,83\n,,7' ext4 ntfs
}
system_case partitions-mbr-ext4-ntfs t_mbr_ext4_ntfs

t_gpt_ext2_ext4() {
    partition_case gpt $',50MiB,L\n,,L' ext2 ext4
}
system_case partitions-gpt-ext2-ext4 t_gpt_ext2_ext4
