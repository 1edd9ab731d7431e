#!/usr/bin/env bash
# Checks the LVM stand-in that the other integration tests build their world
# from: rows and tags from lvs, lvcreate/lvremove with their /dev links and loop
# devices, the failure switches, and a destroy that leaves nothing behind.
# shellcheck source=tests/integration/lib.sh
. "$(dirname "$0")/lib.sh"

FAKE=$QOR_SUPPORT_SRC/fake-lvm

row_query() {
    run_tool lvs --noheadings --separator '|' --units b --nosuffix -o \
        vg_name,lv_name,lv_attr,lv_size,segtype,origin,lv_kernel_major,lv_kernel_minor "$1"
}

# A volume group with an origin and a kept snapshot of 5000 random bytes,
# with 4 MiB of COW space.
snapshot_world() {
    "$FAKE" vg-create "$VG" || fail "vg-create"
    [ -d "/dev/$VG" ] || fail "vg-create made no /dev/$VG"
    head -c 5000 /dev/urandom >"$scratch/image"
    "$FAKE" lv-add "$VG" home --size 1048576 || fail "lv-add home"
    "$FAKE" lv-add "$VG" home_snap --size 8192 --data "$scratch/image" --attr swi-a-s--- \
        --origin home --tags qor_agent,daily --cow 4194304 || fail "lv-add home_snap"
}

# The device numbers lvs prints for an LV whose /dev link is a plain file.
dm_numbers() {
    printf '253|%d' $(( $(stat -c %i "$QOR_FAKE_LVM_DIR/vgs/$1/$2/data") % 1000 ))
}

t_rows_and_tags() {
    snapshot_world
    row_query "$VG/home_snap"
    assert_eq 0 "$status" "snapshot row status"
    # As LVM reports a thick snapshot: its lv_size is the COW space's.
    assert_eq "  $VG|home_snap|swi-a-s---|4194304|linear|home|$(dm_numbers "$VG" home_snap)" \
        "$(<"$out")" "snapshot row"
    run_tool lvs --noheadings -o lv_tags "$VG/home_snap"
    assert_eq "  daily,qor_agent" "$(<"$out")" "tags, sorted as LVM prints them"
    [ -L "/dev/$VG/home_snap" ] || fail "no /dev link for home_snap"
    cmp -s -n 5000 "/dev/$VG/home_snap" "$scratch/image" || fail "/dev link does not hold the data"
    assert_eq "$QOR_FAKE_LVM_DIR/vgs/$VG/home_snap/data" "$("$FAKE" lv-path "$VG" home_snap)" \
        "lv-path"

    "$FAKE" lv-set "$VG" home_snap attr swi-I-s---
    row_query "$VG/home_snap"
    assert_eq "  $VG|home_snap|swi-I-s---|4194304|linear|home|$(dm_numbers "$VG" home_snap)" \
        "$(<"$out")" "row after lv-set"
    # An inactive LV: "-1" device numbers and no device node, until activated.
    "$FAKE" lv-set "$VG" home_snap attr Vwi---tz-k
    row_query "$VG/home_snap"
    assert_eq "  $VG|home_snap|Vwi---tz-k|4194304|linear|home|-1|-1" "$(<"$out")" "inactive row"
    assert_missing "/dev/$VG/home_snap"
    "$FAKE" lv-set "$VG" home_snap attr Vwi-a-tz-k
    [ -L "/dev/$VG/home_snap" ] || fail "no /dev link after activation"

    row_query "$VG/nothing"
    assert_eq 5 "$status" "missing LV status"
    assert_eq "  Failed to find logical volume \"$VG/nothing\"" "$(<"$err")" "missing LV message"
    row_query "no$VG/home"
    assert_eq "5:  Volume group \"no$VG\" not found
  Cannot process volume group no$VG" "$status:$(<"$err")" "missing VG message"
    run_tool lvs -o lv_name "$VG/home"
    assert_eq 3 "$status" "unknown command line status"
}

t_create_and_remove() {
    snapshot_world
    # Rounded up to a whole extent, with LVM's notice first on standard output.
    run_tool lvcreate -y -n scratch -L 1001K "$VG"
    assert_eq 0 "$status" "lvcreate status"
    assert_eq "  Rounding up size to full physical extent 4.00 MiB
  Logical volume \"scratch\" created." "$(<"$out")" "lvcreate message"
    row_query "$VG/scratch"
    assert_eq "  $VG|scratch|-wi-a-----|4194304|linear||$(dm_numbers "$VG" scratch)" "$(<"$out")" \
        "created row"
    # The new LV is not zeroed past its first 4 KiB.
    cmp -s -n 4096 "/dev/$VG/scratch" /dev/zero || fail "the first 4 KiB are not zero"
    cmp -s -n 4194304 "/dev/$VG/scratch" /dev/zero && fail "the new LV reads as zeros"
    [ -L "/dev/$VG/scratch" ] || fail "no /dev link for scratch"
    run_tool lvcreate -y -n scratch -L 4096K "$VG"
    assert_eq 5 "$status" "duplicate lvcreate status"
    assert_eq "  Logical Volume \"scratch\" already exists in volume group \"$VG\"" "$(<"$err")" \
        "duplicate lvcreate message"
    run_tool lvcreate -y -n scratch -L 4096K "no$VG"
    assert_eq "5:  Volume group \"no$VG\" not found
  Cannot process volume group no$VG" "$status:$(<"$err")" "lvcreate in missing VG"
    run_tool lvcreate -y -n a/b -L 4096K "$VG"
    assert_eq "3:  Inconsistent volume group names given" "$status:$(<"$err")" "a name with /"
    "$FAKE" vg-create "s$VG" --capacity 16777216 --extent 1048576 || fail "vg-create --capacity"
    run_tool lvcreate -y -n big -L 16384K "s$VG"
    assert_eq 0 "$status" "lvcreate filling the group"
    run_tool lvcreate -y -n more -L 1K "s$VG"
    assert_eq "5:  Volume group \"s$VG\" has insufficient free space (0 extents): 1 required." \
        "$status:$(<"$err")" "lvcreate in a full group"

    run_tool lvremove -f -y "$VG/scratch"
    assert_eq 0 "$status" "lvremove status"
    assert_eq "  Logical volume \"scratch\" successfully removed." "$(<"$out")" "lvremove message"
    assert_missing "/dev/$VG/scratch"
    run_tool lvremove -f -y "$VG/scratch"
    assert_eq "5:  Failed to find logical volume \"$VG/scratch\"" "$status:$(<"$err")" \
        "second lvremove"
}

t_switches_and_call_log() {
    snapshot_world
    run_tool lvs --noheadings -o lv_tags "$VG/home_snap"
    "$FAKE" fail lvcreate 5 "  Insufficient free space"
    run_tool lvcreate -y -n other -L 1K "$VG"
    assert_eq "5:  Insufficient free space" "$status:$(<"$err")" "failed lvcreate"
    assert_missing "$QOR_FAKE_LVM_DIR/vgs/$VG/other"
    "$FAKE" warn lvs "  WARNING: something"
    row_query "$VG/home"
    assert_eq "0:  WARNING: something" "$status:$(<"$err")" "warned lvs"
    assert_eq "  $VG|home|-wi-a-----|1048576|linear||$(dm_numbers "$VG" home)" "$(<"$out")" \
        "row after warning"
    "$FAKE" clear
    run_tool lvcreate -y -n other -L 1K "$VG"
    assert_eq 0 "$status" "lvcreate after clear"
    assert_eq "$VG/home $VG/home_snap $VG/other " "$("$FAKE" list | sort | tr '\n' ' ')" "list"
    assert_eq 2 "$(grep -c -xF "lvcreate -y -n other -L 1K $VG" "$QOR_FAKE_LVM_DIR/calls.log")" \
        "call log lines"
    grep -qxF "lvs --noheadings -o lv_tags $VG/home_snap" "$QOR_FAKE_LVM_DIR/calls.log" ||
        fail "lvs call not logged"
}

# LVs backed by loop devices; /dev/<vg> goes with its last LV. Then destroy
# undoes everything, and can run twice.
t_loop_devices_and_destroy() {
    local lvg="l$VG" loopdev expected_numbers loops dev
    snapshot_world
    "$FAKE" vg-create "$lvg" --loop || fail "vg-create --loop"
    run_tool lvcreate -y -n scratch -L 4096K "$lvg"
    [ -b "/dev/$lvg/scratch" ] || fail "lvcreate in a --loop VG gave no block device"
    loopdev=$(cat "$QOR_FAKE_LVM_DIR/vgs/$lvg/scratch/loop")
    row_query "$lvg/scratch"
    expected_numbers="$(printf '%d|%d' "0x$(stat -c %t "$loopdev")" "0x$(stat -c %T "$loopdev")")"
    assert_eq "  $lvg|scratch|-wi-a-----|4194304|linear||$expected_numbers" "$(<"$out")" "loop row"
    lvremove -f -y "$lvg/scratch" >/dev/null
    losetup "$loopdev" 2>/dev/null | grep -qF "$QOR_FAKE_LVM_DIR" &&
        fail "lvremove left $loopdev attached"
    assert_missing "/dev/$lvg"
    lvcreate -y -n again -L 4K "$lvg" >/dev/null || fail "lvcreate after the VG's /dev dir went"
    "$FAKE" lv-add "$VG" looped --size 65536 --loop || fail "lv-add --loop"
    [ -b "/dev/$VG/looped" ] || fail "lv-add --loop gave no block device"

    loops=$(cat "$QOR_FAKE_LVM_DIR/loops")
    "$FAKE" destroy || fail "destroy"
    for dev in $loops; do
        losetup "$dev" 2>/dev/null | grep -qF "$QOR_FAKE_LVM_DIR" && fail "destroy left $dev attached"
    done
    assert_missing "/dev/$VG"
    assert_missing "/dev/$lvg"
    assert_missing "$QOR_FAKE_LVM_DIR"
    "$FAKE" destroy || fail "second destroy"
}

t_lvs_without_state_dir() {
    snapshot_world
    run_tool env -u QOR_FAKE_LVM_DIR lvs --noheadings -o lv_tags "$VG/home"
    assert_eq 5 "$status" "lvs without state dir"
}

# A case whose own checks pass still fails when its end finds /dev/<vg> left
# or the stand-in's world cannot be destroyed.
t_cleanup_failures_fail_the_case() {
    local out=$scratch/inner rc
    (
        leaves_dev_dir() { mkdir "/dev/$VG"; }
        blocks_destroy() { "$FAKE" vg-create "$VG" && : >"/dev/$VG/not-a-link"; }
        # shellcheck disable=SC2034  # read by run_case and finish
        case_passed=0 case_failed_count=0 case_failed_names=() case_skipped_names=()
        run_case "leaves /dev/<vg>" leaves_dev_dir
        run_case "blocks destroy" blocks_destroy
        finish
    ) >"$out" 2>&1
    rc=$?
    assert_eq "1:0 passed, 2 failed, 0 skipped" "$rc:$(tail -n 1 "$out")" "the inner suite"
    assert_file_has "$out" "FAIL: /dev/qortest"
    assert_file_has "$out" "FAIL: fake-lvm destroy failed: "
    assert_file_has "$out" "holds more than LV links; left in place"
}

run_case "rows and tags of an origin and its snapshot" t_rows_and_tags
run_case "lvcreate and lvremove" t_create_and_remove
run_case "failure switches and the call log" t_switches_and_call_log
run_case "loop-device LVs, and destroy" t_loop_devices_and_destroy
run_case "lvs without a state directory" t_lvs_without_state_dir
run_case "a case that leaves /dev/<vg> behind fails" t_cleanup_failures_fail_the_case
finish
