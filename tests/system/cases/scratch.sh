# The scratch LV as real LVM makes it: rounded up to whole extents, never
# reused when it already exists, refused when the group has no room.

# A 61 MiB origin in a group of 1 MiB extents, restored into a group of 4 MiB
# extents: the scratch LV is 3 MiB larger than the source, and only the
# source's bytes are compared.
t_rounded_up() {
    make_vg "$VG" "$DISK1" 1m
    make_vg "$VG2" "$DISK2" 4m
    make_origin_ext4 61m
    make_snapshot 16m
    make_backup_of 1048576
    quote lvcreate -y -n odd -L 1001K "$VG2"
    must lvremove -f -y "$VG2/odd"
    run_verifier --meta "$meta" --target-lv "$VG2/scratch"
    assert_identical_bytes 63963136
    assert_left_only home home_snap
    assert_eq "" "$(lv_names "$VG2")" "LVs of $VG2"
}
system_case scratch-rounded-up-to-extents t_rounded_up

t_scratch_exists_or_no_room() {
    make_vg
    make_origin_ext4 32m
    make_snapshot 16m
    make_backup_of 1048576
    must lvcreate -y -n home_qorverify -L 32m "$VG"
    run_verifier --meta "$meta"
    assert_failed "cannot create the restore target: $VG/home_qorverify already exists; refusing to overwrite it"
    assert_left_only home home_qorverify home_snap

    must lvremove -f -y "$VG/home_qorverify"
    must lvcreate -y -l 100%FREE -n filler "$VG"
    quote lvcreate -y -n home_qorverify -L 32768K "$VG"
    run_verifier --meta "$meta"
    assert_failed_like "cannot create the restore target: could not create LV $VG/home_qorverify: .*insufficient free space"
    assert_left_only filler home home_snap
}
system_case scratch-exists-or-no-room t_scratch_exists_or_no_room

# An umount of the restored target's partition that fails (as for a busy
# mount) leaves it mounted through its loop device, which holds the scratch
# LV open: LVM refuses to remove it, and the verifier says so. Once
# unmounted, the loop device goes by itself and the LV can be removed.
# The origin is made by partition_origin (partitions.sh).
t_umount_fails() {
    local mp
    make_vg
    partition_origin 64m dos ',,L' 1:ext4
    make_snapshot 16m
    make_backup_of 1048576
    mkdir -p "$scratch/bin"
    # The first umount, the target's, fails; the snapshot's is the real one.
    cat >"$scratch/bin/umount" <<EOS
#!/bin/sh
if mkdir "$scratch/bin/umount.failed" 2>/dev/null; then
    echo "umount: \$1: target is busy." >&2
    exit 32
fi
exec $(command -v umount) "\$@"
EOS
    chmod +x "$scratch/bin/umount"
    PATH=$scratch/bin:$PATH run_verifier --meta "$meta" --mode fs
    assert_identical_files
    grep -qF "WARN  could not remove the restore-target LV $VG/home_qorverify: could not remove LV $VG/home_qorverify:   Logical volume $VG/home_qorverify in use. (remove it manually)" "$err" ||
        { fail "no warning that LVM refused to remove the mounted scratch LV"; show_run; }
    assert_eq "home home_qorverify home_snap" "$(lv_names | paste -sd ' ')" "LVs of $VG"
    mp=$(awk '$2 ~ /^\/var\/tmp\/qor_verifier\./ { print $2 }' /proc/mounts)
    [ -n "$mp" ] || { fail "the target's mount is gone"; return; }
    must umount "$mp"
    udevadm settle
    must lvremove -f -y "$VG/home_qorverify"
    rmdir "$mp" "$(dirname "$mp")"
    assert_left_only home home_snap
}
system_case scratch-umount-fails t_umount_fails
