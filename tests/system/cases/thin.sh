# Thin snapshots: created inactive and flagged to be skipped at activation,
# so they have no device node until activated with -K.

t_thin() {
    make_vg
    must lvcreate -y -L 256m -T "$VG/pool"
    must lvcreate -y -V 128m -T "$VG/pool" -n home
    must mkfs.ext4 -q "/dev/$VG/home"
    mkdir -p "$scratch/mnt"
    must mount "/dev/$VG/home" "$scratch/mnt"
    populate_tree "$scratch/mnt"
    must umount "$scratch/mnt"
    quote lvcreate -y -s -n home_snap --addtag qor_agent "$VG/home"
    show_lvs
    # As created: the run stops before it creates a scratch LV and restores;
    # lvcreate runs through a wrapper that logs its calls.
    must lvchange -ay -K "$VG/home_snap"
    make_backup_of 1048576
    must lvchange -an "$VG/home_snap"
    mkdir -p "$scratch/bin"
    printf '#!/bin/sh\necho "lvcreate $*" >>%s/calls\nexec %s "$@"\n' "$scratch" "$(command -v lvcreate)" \
        >"$scratch/bin/lvcreate"
    chmod +x "$scratch/bin/lvcreate"
    PATH=$scratch/bin:$PATH QOR_FAKE_RESTORE_LOG=$scratch/calls run_verifier --meta "$meta"
    assert_failed "the kept snapshot $VG/home_snap is not active (it has no device node) -- activate it with 'lvchange -ay -K $VG/home_snap'"
    assert_eq "" "$(cat "$scratch/calls" 2>/dev/null)" "lvcreate and qor_restore calls"
    assert_left_only home home_snap pool

    must lvchange -ay -K "$VG/home_snap"
    write_to_origin
    show_lvs
    run_verifier --meta "$meta"
    assert_identical_bytes 134217728
    run_verifier --meta "$meta" --mode fs
    assert_identical_files
    assert_left_only home home_snap pool
}
system_case thin-snapshot t_thin
