#pragma once

#include <cstddef>
#include <cstdint>

#include "compare/fs_identify.h"
#include "compare/partition_table.h"

namespace qor {

// How the file comparison treats one entry of an image.
enum class LayoutHandling : std::int32_t {
    mounted,         // holds a file system qor_verifier mounts: compared file by file
    block_compared,  // anything else: compared block by block over its byte range
    skipped,         // a partition holding swap: scratch memory, not compared
    refused,         // a whole image holding swap or nothing recognised: cannot be compared
};

// One partition of an image, or the whole image, with what it holds.
struct LayoutEntry {
    std::uint32_t number;    // the kernel's partition number; 0 for the whole image
    std::uint64_t start;     // byte offset of the partition; 0 for the whole image
    std::uint64_t size;      // bytes; 0 for the whole image (up to its end)
    std::uint32_t mbr_type;  // as in PartitionEntry; 0 for the whole image
    char type_guid[37];      // as in PartitionEntry; empty for the whole image
    FsIdentity fs;           // what a probe found there
    LayoutHandling handling;
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
// (or, without a table, the whole image) holds and how it is compared. 0, or -1 with one sentence
// in err ("cannot read the partition table of ...", or a table with partitions numbered past what
// is compared).
int layout_read(const char* device_path, ImageLayout* layout, char* err, std::size_t err_size);

// How the entry is compared, from what it holds alone: only ext2/3/4, NTFS,
// vfat and squashfs are ever mounted; swap (found, or by the partition type
// when nothing was found) is left out; everything else is compared block by
// block, except a whole image of swap or of nothing recognisable.
LayoutHandling layout_entry_handling(const LayoutEntry& entry, bool whole);

// As layout_read, reading read_path with the given logical sector size (0:
// the device's own) and naming the image `name` in err.
int layout_read_as(const char* read_path, const char* name, std::uint32_t sector_size,
                   ImageLayout* layout, char* err, std::size_t err_size);

// What the entry holds, for messages: the probe's name (escaped), else a name
// for its partition type ("swap (by its partition type)"), else "no
// recognised file system".
void layout_entry_describe(const LayoutEntry& entry, char* text, std::size_t size);

// 0 when the target holds the same partitions (number and partition type)
// as the snapshot, each mounted or skipped one with the same file system or
// other content, each one compared block by block at the same offset and of
// the same size; otherwise 1 with one sentence in err saying what differs.
// The snapshot decides how each entry is compared: on 0 the target's entries
// take the snapshot's handling, so what the snapshot holds as data is never
// mounted on the target's side.
int layout_compare(const ImageLayout& snapshot, ImageLayout* target, char* err,
                   std::size_t err_size);

}  // namespace qor
