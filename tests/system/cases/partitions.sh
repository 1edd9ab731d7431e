# Partitioned LVs: the kernel and udev make the partition nodes of the loop
# devices; nothing in the guest runs partx.

# origin_loop [LV]: a partition-scanning loop device of the origin (or of
# LV), with its own sector size. A failure ends the case.
origin_loop() {
    local lv=${1:-home} ss
    ss=$(blockdev --getss "/dev/$VG/$lv") &&
        losetup -P -b "$ss" -f --show "/dev/$VG/$lv" ||
        { echo "  FAIL: losetup -P of $lv" >&2; return 1; }
}

# partition_origin SIZE LABEL SFDISK-SCRIPT N:FS...: an origin LV with that
# partition table, and in each partition N named a file system of type FS
# holding a populated tree, or swap, or (pv) an LVM physical volume of the
# volume group $VG2.
partition_origin() {
    local size=$1 label=$2 script=$3 loop part n fs
    shift 3
    must lvcreate -y -n home -L "$size" "$VG"
    printf 'label: %s\n%s\n' "$label" "$script" | must sfdisk -q "/dev/$VG/home"
    loop=$(origin_loop) || exit 1
    mkdir -p "$scratch/mnt"
    for part in "$@"; do
        n=${part%%:*} fs=${part#*:}
        wait_for "[ -b ${loop}p$n ]" 10 || exit 1
        case $fs in
            swap)
                must mkswap "${loop}p$n"
                continue
                ;;
            ntfs)
                must mkntfs -q -Q -F "${loop}p$n"
                must mount -t ntfs-3g "${loop}p$n" "$scratch/mnt"
                mkdir -p "$scratch/mnt/Users/docs"
                head -c 1000000 /dev/urandom >"$scratch/mnt/Users/docs/report.bin"
                printf 'ntfs text\n' >"$scratch/mnt/readme.txt"
                ;;
            pv)
                # A guest's volume group, inactive again once it is written.
                must pvcreate -ff -y "${loop}p$n"
                must vgcreate "$VG2" "${loop}p$n"
                must lvcreate -y -n data -L 8m "$VG2"
                must dd if=/dev/urandom of="/dev/$VG2/data" bs=1M count=8 status=none
                must vgchange -an "$VG2"
                continue
                ;;
            vfat)
                must mkfs.vfat "${loop}p$n"
                must mount "${loop}p$n" "$scratch/mnt"
                mkdir -p "$scratch/mnt/EFI/debian"
                head -c 200000 /dev/urandom >"$scratch/mnt/EFI/debian/grubx64.efi"
                ;;
            *)
                must "mkfs.$fs" -q "${loop}p$n"
                must mount "${loop}p$n" "$scratch/mnt"
                populate_tree "$scratch/mnt"
                ;;
        esac
        must umount "$scratch/mnt"
    done
    must losetup -d "$loop"
}

# partition_case SWAP-PARTITION LABEL SFDISK-SCRIPT N:FS...: fs mode finds
# the copy identical, leaving the swap partition out on both sides.
partition_case() {
    local swap=$1
    shift
    make_vg
    partition_origin 128m "$@"
    make_snapshot 32m
    make_backup_of 1048576
    write_to_partition_one
    run_verifier --meta "$meta" --mode fs
    assert_identical_files
    assert_eq 2 "$(grep -cE "INFO  not mounting partition $swap of /dev/$VG/[^:]+: it holds swap, not a file system$" "$err")" \
        "lines about the swap partition $swap"
    assert_left_only home home_snap
}

# New data in the origin's first partition after the snapshot was taken.
write_to_partition_one() {
    local loop
    loop=$(origin_loop) || exit 1
    wait_for "[ -b ${loop}p1 ]" 10 || exit 1
    must mount "${loop}p1" "$scratch/mnt"
    printf 'after the snapshot\n' >"$scratch/mnt/new-file"
    must umount "$scratch/mnt"
    must losetup -d "$loop"
}

# Debian's installer on an MBR disk: root in p1, an extended p2 holding swap
# in p5 and another file system (here NTFS) in p6.
t_debian_mbr() {
    partition_case 5 dos $',60MiB,83\n,,E\n,16MiB,S\n,,7' 1:ext4 5:swap 6:ntfs
}
system_case partitions-debian-mbr t_debian_mbr

# A UEFI install: the EFI system partition, a hole in slot 2, root in slot 3
# and swap in slot 4.
t_uefi_gpt() {
    partition_case 4 gpt $'x1 : size=16MiB, type=U\nx3 : size=60MiB, type=L\nx4 : type=S' \
        1:vfat 3:ext4 4:swap
}
system_case partitions-uefi-gpt t_uefi_gpt

# A guest's disk: /boot in p1, a physical volume of its own volume group in
# p2. p2 is compared block by block, never mounted; whatever udev does with the
# PV that appears on the loop devices' partitions, nothing stays attached.
t_boot_and_pv() {
    make_vg
    partition_origin 128m dos $',40MiB,83\n,,8e' 1:ext4 2:pv
    make_snapshot 32m
    make_backup_of 1048576
    run_verifier --meta "$meta" --mode fs
    assert_identical_files
    assert_eq 1 "$(grep -cE 'INFO  partition 2 \(LVM2_member\): compared block by block, identical$' "$err")" \
        "lines about the PV"
    quote vgs
    assert_left_only home home_snap
}
system_case partitions-boot-pv t_boot_and_pv

# A disk of 4096-byte logical sectors: LVM's volumes on it, the GPT (ext2 and
# ext4) written on them and the loop devices of both sides all count in
# 4096-byte sectors.
t_4k_sectors() {
    make_vg "$VG" "$DISK4K"
    partition_origin 64m gpt $'x1 : size=40MiB, type=L\nx2 : type=L' 1:ext2 2:ext4
    note "logical sector size of the origin: $(blockdev --getss "/dev/$VG/home") bytes"
    make_snapshot 32m
    make_backup_of 1048576
    write_to_partition_one
    run_verifier --meta "$meta" --mode fs
    assert_identical_files
    assert_left_only home home_snap

    # A file changed inside the snapshot's second partition: found there (its
    # pair is mounted at p1, the mount points count from p0).
    local loop
    loop=$(origin_loop home_snap) || exit 1
    wait_for "[ -b ${loop}p2 ]" 10 || exit 1
    must mount "${loop}p2" "$scratch/mnt"
    printf 'changed\n' >>"$scratch/mnt/etc/config"
    must umount "$scratch/mnt"
    must losetup -d "$loop"
    run_verifier --meta "$meta" --mode fs
    assert_failed "the restored target differs from the snapshot (see the logged 'diff -rq' output above for which files)"
    grep -qE '^    Files /var/tmp/qor_verifier\.[^/]+/p1/etc/config and /var/tmp/qor_verifier\.[^/]+/p1/etc/config differ$' "$err" ||
        { fail "the changed file in partition 2 is not named"; show_run; }
    assert_left_only home home_snap
}
system_case partitions-4k-sectors t_4k_sectors
