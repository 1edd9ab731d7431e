#pragma once

#include <cstddef>
#include <cstdint>

#include "compare/fs_identify.h"
#include "compare/partition_table.h"

namespace qor {

// One partition of an image, or the whole image, with what it holds.
struct LayoutEntry {
    std::uint32_t number;    // the kernel's partition number; 0 for the whole image
    std::uint32_t mbr_type;  // as in PartitionEntry; 0 for the whole image
    char type_guid[37];      // as in PartitionEntry; empty for the whole image
    FsIdentity fs;           // what a probe found there
};

// What an image holds, read before anything of it is mounted: the whole image
// (partitioned 0, one entry) or its partitions in the partition reader's order.
struct ImageLayout {
    std::int32_t partitioned;
    std::uint32_t sector_size;  // of the device, for the loop device over it
    std::uint32_t count;
    LayoutEntry entries[PARTITION_TABLE_MAX];
};

// Reads the partition table of device_path and identifies what each partition
// (or, without a table, the whole image) holds. 0, or -1 with one sentence in
// err ("cannot read the partition table of ...", or a table with partitions
// numbered past what is compared).
int layout_read(const char* device_path, ImageLayout* layout, char* err, std::size_t err_size);

// As layout_read, reading read_path with the given logical sector size (0:
// the device's own) and naming the image `name` in err.
int layout_read_as(const char* read_path, const char* name, std::uint32_t sector_size,
                   ImageLayout* layout, char* err, std::size_t err_size);

// Whether the entry is mounted: it holds a file system. Swap, LVM physical
// volumes, RAID members and encrypted volumes are not, whether a probe found
// their signature or, with nothing found, the partition type says so.
bool layout_entry_is_mounted(const LayoutEntry& entry);

// Whether the entry holds nothing to mount that the comparison may leave out;
// false for a file system and for a region where nothing was recognised.
bool layout_entry_is_skipped(const LayoutEntry& entry);

// What the entry holds, for messages: the probe's name, else a name for its
// partition type ("swap", "BIOS boot"), else "no recognised file system".
void layout_entry_describe(const LayoutEntry& entry, char* text, std::size_t size);

// 0 when the target holds the same partitions (number and partition type) as
// the snapshot, each with the same file system or other content; otherwise 1
// with one sentence in err saying what differs.
int layout_compare(const ImageLayout& snapshot, const ImageLayout& target, char* err,
                   std::size_t err_size);

}  // namespace qor
