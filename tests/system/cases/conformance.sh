# The LVM stand-in that the integration suites run against
# (tests/support/lvm) held to real LVM: the same command against both must
# end with the same exit status and print the same lines on the same stream.

FAKE_VG=qsysfake

# fake_lvm ARGS...: the stand-in's admin script, on its world in $scratch/lvm.
fake_lvm() {
    QOR_FAKE_LVM_DIR=$scratch/lvm "$PROJECT/tests/support/fake-lvm" "$@" ||
        { fail "fake-lvm $* failed"; exit 1; }
}

# conform WHAT COMMAND...: runs COMMAND, "@VG@" in its words standing for the
# volume group, once against real LVM and once against the stand-in. Before
# they are compared, the stand-in's group reads as the real one, trailing
# blanks go, and device numbers other than "-1" read as MAJ|MIN.
conform() {
    local what=$1 side vg lvm_path rc
    shift
    # udev's probes of a device just let go hold it open for a moment.
    udevadm settle
    for side in real fake; do
        vg=$VG lvm_path=''
        [ "$side" = fake ] && vg=$FAKE_VG lvm_path=$PROJECT/tests/support/lvm:
        PATH=$lvm_path$PATH QOR_FAKE_LVM_DIR=$scratch/lvm LVM_SUPPRESS_FD_WARNINGS=1 \
            "${@//@VG@/$vg}" >"$scratch/$side.out" 2>"$scratch/$side.err"
        rc=$?
        { printf 'exit %s\n' "$rc"; sed 's/^/out: /' "$scratch/$side.out"; sed 's/^/err: /' "$scratch/$side.err"; } |
            sed -E "s/$FAKE_VG/$VG/g; s/[[:space:]]+\$//; s/\\|[0-9]+\\|[0-9]+\$/|MAJ|MIN/" >"$scratch/$side"
    done
    if cmp -s "$scratch/real" "$scratch/fake"; then
        note "$what: $(paste -sd ' ' "$scratch/real")"
    else
        fail "$what: the stand-in answers otherwise than LVM (- LVM, + stand-in)"
        diff -u "$scratch/real" "$scratch/fake" | tail -n +3 | sed 's/^/    /'
    fi
}

# Both worlds: a group of 4 MiB extents with a 32 MiB origin and a thick
# snapshot of it with 8 MiB of COW space and two tags, the stand-in's built
# as the integration suites build theirs.
conformance_worlds() {
    make_vg
    must lvcreate -y -n home -L 32m "$VG"
    must lvcreate -y -s -n home_snap -L 8m --addtag qor_agent --addtag daily "$VG/home"
    fake_lvm vg-create "$FAKE_VG" --loop
    fake_lvm lv-add "$FAKE_VG" home --size 33554432 --attr owi-a-s---
    fake_lvm lv-add "$FAKE_VG" home_snap --size 33554432 --attr swi-a-s--- --origin home \
        --tags qor_agent,daily --cow 8388608
}

ROW_QUERY=(lvs --noheadings --separator '|' --units b --nosuffix
    -o vg_name,lv_name,lv_attr,lv_size,segtype,origin,lv_kernel_major,lv_kernel_minor)

t_conformance_queries() {
    conformance_worlds
    conform "lvcreate rounding up to whole extents" lvcreate -y -n odd -L 1001K @VG@
    conform "lvcreate without rounding" lvcreate -y -n even -L 8192K @VG@
    conform "row of a thick snapshot (lv_size: its COW space)" "${ROW_QUERY[@]}" @VG@/home_snap
    conform "tags of the snapshot" lvs --noheadings -o lv_tags @VG@/home_snap
    conform "tags of an LV without any" lvs --noheadings -o lv_tags @VG@/home
    must lvchange -an "$VG/odd"
    fake_lvm lv-set "$FAKE_VG" odd attr -wi-------
    conform "row of an inactive LV" "${ROW_QUERY[@]}" @VG@/odd
    conform "row of a missing LV" "${ROW_QUERY[@]}" @VG@/nothing
    conform "tags of a missing LV" lvs --noheadings -o lv_tags @VG@/nothing
    conform "row in a missing group" "${ROW_QUERY[@]}" no@VG@/home
    conform "lvcreate in a missing group" lvcreate -y -n x -L 4096K no@VG@
    conform "lvremove in a missing group" lvremove -f -y no@VG@/home
    conform "lvremove of a missing LV" lvremove -f -y @VG@/nothing
}
system_case conformance-queries t_conformance_queries

# An LV that is mounted, or open through a loop device over it (as the
# verifier's partition-scanning loop device holds the scratch LV), is not
# removed; once let go it is.
t_conformance_removal() {
    local vg dev loop
    conformance_worlds
    conform "lvcreate of the LV to remove" lvcreate -y -n busy -L 8192K @VG@
    mkdir -p "$scratch/mnt-real" "$scratch/mnt-fake"
    for vg in "$VG" "$FAKE_VG"; do
        must mkfs.ext4 -q "/dev/$vg/busy"
    done
    must mount "/dev/$VG/busy" "$scratch/mnt-real"
    must mount "/dev/$FAKE_VG/busy" "$scratch/mnt-fake"
    conform "lvremove of a mounted LV" lvremove -f -y @VG@/busy
    must umount "$scratch/mnt-real"
    must umount "$scratch/mnt-fake"
    for vg in "$VG" "$FAKE_VG"; do
        loop=$(losetup -P -r -f --show "/dev/$vg/busy") || { fail "losetup over $vg/busy"; exit 1; }
        printf '%s\n' "$loop" >>"$scratch/loops"
    done
    conform "lvremove of an LV under a loop device" lvremove -f -y @VG@/busy
    for dev in $(cat "$scratch/loops"); do must losetup -d "$dev"; done
    conform "lvremove of an LV let go" lvremove -f -y @VG@/busy
    conform "lvremove of an unused snapshot" lvremove -f -y @VG@/home_snap
}
system_case conformance-removal t_conformance_removal
