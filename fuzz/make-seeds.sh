#!/usr/bin/env bash
# Writes the seed corpora of the fuzz targets: fuzz/make-seeds.sh [CORPUS_DIR].
# Seeds are small, valid or near-valid inputs; the fuzzer mutates from there.
# The filesystem seeds need mkfs.ext2/ext3/ext4 and mkntfs (regenerating them
# changes their UUIDs and times, nothing else).
set -euo pipefail

out=${1:-"$(cd "$(dirname "$0")" && pwd)/corpus"}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# --- byte helpers -------------------------------------------------------------

# Little-endian hex of value in n bytes: le 4 4096 -> 00100000.
le() {
    local n=$1 hex i out=""
    hex=$(printf '%016x' "$2")
    for ((i = 0; i < n; i++)); do out+=${hex:$((14 - 2 * i)):2}; done
    printf '%s' "$out"
}

# Writes hex bytes into file at offset, growing the file if needed.
put() {
    local file=$1 offset=$2 hex=$3
    printf '%b' "$(printf '%s' "$hex" | sed 's/../\\x&/g')" |
        dd of="$file" bs=1 seek="$offset" conv=notrunc status=none
}

put_text() {
    printf '%s' "$3" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

zeros() {
    rm -f "$1"
    truncate -s "$2" "$1"
}

# GUID text to its on-disk bytes: the first three groups little-endian.
guid() {
    local g=${1//-/}
    printf '%s%s%s%s' "$(le 4 $((16#${g:0:8})))" "$(le 2 $((16#${g:8:4})))" \
        "$(le 2 $((16#${g:12:4})))" "${g:16:16}"
}

# IEEE CRC-32 of count bytes at offset, taken from the gzip trailer.
crc32() {
    local bytes
    bytes=$(dd if="$1" bs=1 skip="$2" count="$3" status=none | gzip -c | tail -c 8 | head -c 4 |
        od -An -tx1 | tr -d ' \n')
    printf '%s' "$bytes"
}

# Prefixes file with the byte that picks the sector size (0: default, 1: 512,
# 2: 4096); 3 more also has the target fix the GPT header CRC.
with_sector_byte() {
    local selector=$1 src=$2 dst=$3
    { printf '%b' "\\x0$selector"; cat "$src"; } >"$dst"
}

# --- backup header ------------------------------------------------------------

header() {  # file size version header_length chunk_size source_size [ref]
    zeros "$1" "$2"
    put_text "$1" 0 QORM
    put "$1" 4 "$(le 2 "$3")"
    put "$1" 8 "$(le 4 "$4")"
    put "$1" 12 "$(le 4 "$5")"
    put "$1" 76 "$(le 8 "$6")"
    if [ $# -ge 7 ]; then put_text "$1" 25157 "$7"; fi
}

seeds_backup_header() {
    local d=$out/backup_header
    mkdir -p "$d"
    header "$d/valid-4k" 4096 1 4096 0 10737418240
    header "$d/valid-with-ref" 25188 1 4096 1048576 10737418240 "lvm:vg0/home=home_snap"
    # The reference runs to the end of a short file: the reader's zero fill ends it.
    header "$d/ref-at-end-of-file" 25180 1 4096 0 4096 "lvm:vg0/home=home_snap"
    header "$d/version-2" 4096 2 4096 0 4096
    header "$d/length-past-end" 4096 1 8192 0 4096
    header "$d/short" 64 1 4096 0 4096
}

# --- snapshot reference -------------------------------------------------------

seeds_snapshot_ref() {
    local d=$out/snapshot_ref n127 n128
    mkdir -p "$d"
    n127=$(printf 'a%.0s' $(seq 127))
    n128=${n127}a
    printf '%s' "lvm:vg0/home=home_snap" >"$d/valid"
    printf '%s' "lvm:vg0/home=snap=with/separators" >"$d/valid-separators-in-snapshot"
    printf '%s' "lvm:$n127/home=snap" >"$d/valid-127-char-group"
    printf '%s' "lvm:$n128/home=snap" >"$d/group-too-long"
    printf '%s' "lvm:vg0/-home=snap" >"$d/origin-like-option"
    printf '%s' "lvm:vg0/home=" >"$d/empty-snapshot"
    printf '%s' "lvm:/home=snap" >"$d/empty-group"
    printf '%s' "lvm:vg0home=snap" >"$d/no-slash"
    printf '%s' "zfs:pool/home@snap" >"$d/other-kind"
    printf 'lvm:vg0/home=sn\0ap' >"$d/zero-byte-inside"
}

# --- lvs rows -----------------------------------------------------------------

seeds_lv_parse_row() {
    local d=$out/lv_parse_row
    mkdir -p "$d"
    printf '%s' "  vg0|home_snap|swi-a-s---|10737418240|linear|home|253|7" >"$d/snapshot"
    printf '%s' "  vg0|home|owi-aos---|10737418240|linear||253|3" >"$d/origin"
    printf '%s' "  vg0|old_snap|swi-I-s---|10737418240|linear|home|253|9" >"$d/invalid-snapshot"
    printf '%s' "  vg0|scratch|-wi-------|1073741824|linear|||" >"$d/inactive-no-device"
    printf '%s' "  vg0|home|owi-aos---|10737418240" >"$d/too-few-columns"
    printf '%s' "  vg0|home|owi-aos---|10737418240|linear||253|3|extra" >"$d/extra-column"
    printf '%s' "  vg0|home|owi-aos---|big|linear||253|3" >"$d/size-not-a-number"
    printf '%s' "  WARNING: Not using device /dev/sdb for PV abc." >"$d/warning-line"
}

# --- partition tables ---------------------------------------------------------

mbr_entry() {  # file record_offset index type first_lba sectors
    local file=$1 base=$2 index=$3 type=$4 lba=$5 sectors=$6
    local at=$((base + 446 + 16 * index))
    put "$file" $((at + 4)) "$(printf '%02x' "$type")"
    put "$file" $((at + 8)) "$(le 4 "$lba")$(le 4 "$sectors")"
}

signed_record() {  # file base: marks the 512-byte record at base with 55 AA
    put "$1" $(($2 + 510)) 55aa
}

gpt_image() {  # file sector_size entry_count total_sectors; entries are added by the caller
    local f=$1 ss=$2 count=$3 total=$4
    zeros "$f" $((ss * total))
    signed_record "$f" 0
    mbr_entry "$f" 0 0 0xEE 1 $((total - 1))
    put_text "$f" "$ss" "EFI PART"
    put "$f" $((ss + 8)) 00000100                       # revision 1.0
    put "$f" $((ss + 12)) "$(le 4 92)"                  # header size
    put "$f" $((ss + 24)) "$(le 8 1)$(le 8 $((total - 1)))"
    # First usable LBA: just past the entry array.
    put "$f" $((ss + 40)) "$(le 8 $((2 + (128 * count + ss - 1) / ss)))$(le 8 $((total - 2)))"
    put "$f" $((ss + 56)) "$(guid 5B1E3F6A-2C4D-4E8F-9A0B-1C2D3E4F5A6B)"
    put "$f" $((ss + 72)) "$(le 8 2)$(le 4 "$count")$(le 4 128)"
}

gpt_entry() {  # file sector_size slot type_guid first_lba last_lba
    local at=$(($2 * 2 + 128 * $3))
    put "$1" "$at" "$(guid "$4")$(guid "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F$3")"
    put "$1" $((at + 32)) "$(le 8 "$5")$(le 8 "$6")"
}

# Entry-array CRC first, then the header CRC over the header with its CRC zeroed.
gpt_seal() {  # file sector_size entry_count
    local f=$1 ss=$2
    put "$f" $((ss + 88)) "$(crc32 "$f" $((ss * 2)) $((128 * $3)))"
    put "$f" $((ss + 16)) "$(crc32 "$f" "$ss" 92)"
}

readonly GUID_ESP=C12A7328-F81F-11D2-BA4B-00A0C93EC93B
readonly GUID_LINUX=0FC63DAF-8483-4772-8E79-3D69D8477DE4
readonly GUID_LVM=E6D6D379-F507-44C2-A23C-238F2A3DF928

seeds_partition_table() {
    local d=$out/partition_table f=$work/image
    mkdir -p "$d"

    zeros "$f" 512
    signed_record "$f" 0
    mbr_entry "$f" 0 0 0x83 2048 204800
    mbr_entry "$f" 0 1 0x07 206848 409600
    with_sector_byte 0 "$f" "$d/mbr-primaries"

    # An extended partition at LBA 2 whose chain has two records, at 2 and 4.
    zeros "$f" $((512 * 5))
    signed_record "$f" 0
    mbr_entry "$f" 0 0 0x83 2048 4096
    mbr_entry "$f" 0 1 0x05 2 20000
    signed_record "$f" 1024
    mbr_entry "$f" 1024 0 0x83 2048 8192
    mbr_entry "$f" 1024 1 0x05 2 10000
    signed_record "$f" 2048
    mbr_entry "$f" 2048 0 0x07 2048 4096
    with_sector_byte 1 "$f" "$d/mbr-extended-chain"

    # A chain that loops between its records at LBA 3 and 4: 2 -> 4 -> 3 -> 4 ...
    zeros "$f" $((512 * 5))
    signed_record "$f" 0
    mbr_entry "$f" 0 0 0x83 2048 4096
    mbr_entry "$f" 0 1 0x0F 2 20000
    for lba in 2 3 4; do signed_record "$f" $((512 * lba)); done
    mbr_entry "$f" 1024 0 0x83 2048 8192
    mbr_entry "$f" 1024 1 0x85 2 10
    mbr_entry "$f" 1536 0 0x83 100 100
    mbr_entry "$f" 1536 1 0x05 2 10
    mbr_entry "$f" 2048 0 0x07 2048 4096
    mbr_entry "$f" 2048 1 0x05 1 10
    with_sector_byte 0 "$f" "$d/mbr-chain-loop"

    gpt_image "$f" 512 128 34
    gpt_entry "$f" 512 0 $GUID_ESP 2048 1050623
    gpt_entry "$f" 512 1 $GUID_LINUX 1050624 3147775
    gpt_entry "$f" 512 2 $GUID_LVM 3147776 20969471
    gpt_seal "$f" 512 128
    with_sector_byte 1 "$f" "$d/gpt-512"
    # The same with one header byte changed after sealing: the CRC no longer holds.
    put "$f" $((512 + 40)) 23
    head -c $((512 * 3)) "$f" >"$work/bad"
    with_sector_byte 1 "$work/bad" "$d/gpt-header-crc-wrong"

    gpt_image "$f" 4096 4 3
    gpt_entry "$f" 4096 0 $GUID_LINUX 256 262399
    gpt_seal "$f" 4096 4
    with_sector_byte 2 "$f" "$d/gpt-4096"

    # Entries whose byte ranges cannot be addressed in 64 bits.
    gpt_image "$f" 512 4 3
    gpt_entry "$f" 512 0 $GUID_LINUX 72057594037927936 72057594037928959
    gpt_entry "$f" 512 1 $GUID_LINUX 0 -1
    gpt_entry "$f" 512 2 $GUID_LINUX 36028797018963967 36028797018963967
    gpt_entry "$f" 512 3 $GUID_LINUX 2048 4095
    gpt_seal "$f" 512 4
    with_sector_byte 1 "$f" "$d/gpt-hostile-lbas"

    # Selector bytes 3 to 5 have the fuzz target fix the header CRC itself, so
    # these headers go unsealed and their geometry is what gets exercised.
    gpt_image "$f" 512 4 3
    put "$f" $((512 + 72)) "$(le 8 36028797018963967)$(le 4 4096)$(le 4 512)"
    with_sector_byte 4 "$f" "$d/gpt-unsealed-array-at-end-of-space"
    gpt_image "$f" 512 5 5
    put "$f" $((512 + 84)) "$(le 4 200)"
    for slot in 0 1 2 3 4; do
        put "$f" $((1024 + 200 * slot)) "$(guid $GUID_LINUX)"
        put "$f" $((1024 + 200 * slot + 32)) "$(le 8 $((2048 * (slot + 1))))$(le 8 $((2048 * (slot + 1) + 2047)))"
    done
    with_sector_byte 4 "$f" "$d/gpt-unsealed-200-byte-entries"
    gpt_image "$f" 4096 4 3
    put "$f" $((4096 + 12)) "$(le 4 512)"
    gpt_entry "$f" 4096 0 $GUID_LVM 256 511
    with_sector_byte 5 "$f" "$d/gpt-unsealed-4096-long-header"

    zeros "$f" 512
    with_sector_byte 0 "$f" "$d/no-table"
}

# --- filesystem superblocks ---------------------------------------------------

seeds_probe_filesystem() {
    local d=$out/probe_filesystem f=$work/fs
    mkdir -p "$d"
    for fs in ext2 ext3 ext4; do
        zeros "$f" 64M
        "mkfs.$fs" -q -F "$f"
        head -c 4096 "$f" >"$d/$fs"
    done
    zeros "$f" 16M
    mkntfs -q -F -Q "$f" >/dev/null 2>&1
    head -c 4096 "$f" >"$d/ntfs"
    # An ext4 superblock one sector into the file, as in a partition at 512.
    { head -c 512 /dev/zero; head -c 3584 "$d/ext4"; } >"$d/ext4-at-512"
}

# --- command lines ------------------------------------------------------------

seeds_options() {
    local d=$out/options
    mkdir -p "$d"
    printf -- '--meta\0/srv/backup/home.meta\0--mode\0tree' >"$d/meta-mode"
    printf -- '-m\0home.meta\0--target-lv=vg0/scratch\0--keep-restored' >"$d/short-and-inline"
    printf -- '-d\0/srv/backup\0--target-file\0/var/tmp/r.img\0--no-progress' >"$d/search-dir-file"
    printf -- '--mode=byte\0--bogus\0value\0--\0qor_restore\0--flag' >"$d/unknown-and-forwarded"
    printf -- '--keep-restored=yes\0extra\0-\0--remove-snapshot-after' >"$d/flag-with-value"
    printf -- '--log-path\0/var/log/qor\0--no-syslog\0--help' >"$d/logging-and-help"
    printf -- '--meta' >"$d/value-missing"
}

seeds_backup_header
seeds_snapshot_ref
seeds_lv_parse_row
seeds_partition_table
seeds_probe_filesystem
seeds_options
