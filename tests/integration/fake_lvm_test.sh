#!/bin/bash
# Checks the LVM stand-in that the other integration tests build their world
# from: rows and tags from lvs, lvcreate/lvremove with their /dev links and loop
# devices, the failure switches, and a destroy that leaves nothing behind.
set -u

if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: needs root for /dev/<vg> directories and loop devices"
    exit 77
fi
: "${QOR_SUPPORT_SRC:?QOR_SUPPORT_SRC must name tests/support}"

FAKE=$QOR_SUPPORT_SRC/fake-lvm
export PATH=$QOR_SUPPORT_SRC/lvm:$PATH
export QOR_FAKE_LVM_DIR
QOR_FAKE_LVM_DIR=$(mktemp -d /tmp/qor_fake_lvm_test.XXXXXX)
WORK=$(mktemp -d /tmp/qor_fake_lvm_work.XXXXXX)
VG=qortest$$
LVG=qortestloop$$
trap '"$FAKE" destroy; rm -rf "$WORK"' EXIT

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
expect_eq() {
    [ "$2" = "$3" ] || fail "$1: expected [$3], got [$2]"
}
# Runs a command, keeping its stdout, stderr and status for the checks after it.
run() {
    "$@" >"$WORK/out" 2>"$WORK/err"
    status=$?
    out=$(cat "$WORK/out")
    err=$(cat "$WORK/err")
}
row_query() {
    run lvs --noheadings --separator '|' --units b --nosuffix -o \
        vg_name,lv_name,lv_attr,lv_size,segtype,origin,lv_kernel_major,lv_kernel_minor "$1"
}

# --- a volume group with an origin and a kept snapshot
"$FAKE" vg-create "$VG" || fail "vg-create"
[ -d "/dev/$VG" ] || fail "vg-create made no /dev/$VG"
head -c 5000 /dev/urandom >"$WORK/image"
"$FAKE" lv-add "$VG" home --size 1048576 || fail "lv-add home"
"$FAKE" lv-add "$VG" home_snap --size 8192 --data "$WORK/image" --attr swi-a-s--- \
    --origin home --tags qor_agent,daily || fail "lv-add home_snap"

row_query "$VG/home_snap"
expect_eq "snapshot row status" "$status" 0
expect_eq "snapshot row" "$out" "  $VG|home_snap|swi-a-s---|8192|linear|home||"
run lvs --noheadings -o lv_tags "$VG/home_snap"
expect_eq "tags" "$out" "  qor_agent,daily"
[ -L "/dev/$VG/home_snap" ] || fail "no /dev link for home_snap"
cmp -s -n 5000 "/dev/$VG/home_snap" "$WORK/image" || fail "/dev link does not hold the data"
expect_eq "lv-path" "$("$FAKE" lv-path "$VG" home_snap)" "$QOR_FAKE_LVM_DIR/vgs/$VG/home_snap/data"

"$FAKE" lv-set "$VG" home_snap attr swi-I-s---
row_query "$VG/home_snap"
expect_eq "row after lv-set" "$out" "  $VG|home_snap|swi-I-s---|8192|linear|home||"

row_query "$VG/nothing"
expect_eq "missing LV status" "$status" 5
expect_eq "missing LV message" "$err" "  Failed to find logical volume \"$VG/nothing\""
run lvs -o lv_name "$VG/home"
expect_eq "unknown command line status" "$status" 3

# --- lvcreate and lvremove
run lvcreate -y -n scratch -L 3K "$VG"
expect_eq "lvcreate status" "$status" 0
expect_eq "lvcreate message" "$out" "  Logical volume \"scratch\" created."
row_query "$VG/scratch"
expect_eq "created row" "$out" "  $VG|scratch|-wi-a-----|3072|linear|||"
[ -L "/dev/$VG/scratch" ] || fail "no /dev link for scratch"
run lvcreate -y -n scratch -L 3K "$VG"
expect_eq "duplicate lvcreate status" "$status" 5
expect_eq "duplicate lvcreate message" "$err" \
    "  Logical Volume \"scratch\" already exists in volume group \"$VG\""
run lvcreate -y -n scratch -L 3K "no$VG"
expect_eq "lvcreate in missing VG" "$status:$err" "5:  Volume group \"no$VG\" not found"

run lvremove -f -y "$VG/scratch"
expect_eq "lvremove status" "$status" 0
expect_eq "lvremove message" "$out" "  Logical volume \"scratch\" successfully removed."
[ ! -e "/dev/$VG/scratch" ] && [ ! -L "/dev/$VG/scratch" ] || fail "/dev link of scratch left"
run lvremove -f -y "$VG/scratch"
expect_eq "second lvremove" "$status:$err" "5:  Failed to find logical volume \"$VG/scratch\""

# --- failure switches and the call log
"$FAKE" fail lvcreate 5 "  Insufficient free space"
run lvcreate -y -n other -L 1K "$VG"
expect_eq "failed lvcreate" "$status:$err" "5:  Insufficient free space"
[ ! -e "$QOR_FAKE_LVM_DIR/vgs/$VG/other" ] || fail "a failing lvcreate created its LV"
"$FAKE" warn lvs "  WARNING: something"
row_query "$VG/home"
expect_eq "warned lvs" "$status:$err" "0:  WARNING: something"
expect_eq "row after warning" "$out" "  $VG|home|-wi-a-----|1048576|linear|||"
"$FAKE" clear
run lvcreate -y -n other -L 1K "$VG"
expect_eq "lvcreate after clear" "$status" 0
expect_eq "list" "$("$FAKE" list | sort | tr '\n' ' ')" "$VG/home $VG/home_snap $VG/other "
expect_eq "call log line" "$(grep -c -xF "lvcreate -y -n other -L 1K $VG" "$QOR_FAKE_LVM_DIR/calls.log")" 2
grep -qxF "lvs --noheadings -o lv_tags $VG/home_snap" "$QOR_FAKE_LVM_DIR/calls.log" ||
    fail "lvs call not logged"

# --- LVs backed by loop devices; /dev/<vg> goes with its last LV
"$FAKE" vg-create "$LVG" --loop || fail "vg-create --loop"
run lvcreate -y -n scratch -L 64K "$LVG"
[ -b "/dev/$LVG/scratch" ] || fail "lvcreate in a --loop VG gave no block device"
loopdev=$(cat "$QOR_FAKE_LVM_DIR/vgs/$LVG/scratch/loop")
row_query "$LVG/scratch"
expected_numbers="$(printf '%d|%d' "0x$(stat -c %t "$loopdev")" "0x$(stat -c %T "$loopdev")")"
expect_eq "loop row" "$out" "  $LVG|scratch|-wi-a-----|65536|linear||$expected_numbers"
lvremove -f -y "$LVG/scratch" >/dev/null
losetup "$loopdev" 2>/dev/null | grep -qF "$QOR_FAKE_LVM_DIR" && fail "lvremove left $loopdev attached"
[ ! -e "/dev/$LVG" ] || fail "/dev/$LVG left after its last LV was removed"
lvcreate -y -n again -L 4K "$LVG" >/dev/null || fail "lvcreate after the VG's /dev dir went"
"$FAKE" lv-add "$VG" looped --size 65536 --loop || fail "lv-add --loop"
[ -b "/dev/$VG/looped" ] || fail "lv-add --loop gave no block device"

# --- destroy undoes everything, and can run twice
loops=$(cat "$QOR_FAKE_LVM_DIR/loops")
"$FAKE" destroy || fail "destroy"
for dev in $loops; do
    losetup "$dev" 2>/dev/null | grep -qF "$QOR_FAKE_LVM_DIR" && fail "destroy left $dev attached"
done
[ ! -e "/dev/$VG" ] && [ ! -e "/dev/$LVG" ] || fail "destroy left a /dev/<vg> directory"
[ ! -e "$QOR_FAKE_LVM_DIR" ] || fail "destroy left the state directory"
"$FAKE" destroy || fail "second destroy"

run env -u QOR_FAKE_LVM_DIR lvs --noheadings -o lv_tags "$VG/home"
expect_eq "lvs without state dir" "$status" 5

[ "$failures" -eq 0 ] || exit 1
echo "fake LVM stand-in: all checks passed"
