#pragma once

#include <cstdint>

namespace qor {

// Partitions numbered 1 to 128 are listed; a table with a usable partition
// numbered beyond that is refused rather than compared in part.
inline constexpr int PARTITION_TABLE_MAX = 128;

struct PartitionEntry {
    std::uint32_t number;    // the kernel's partition number: the node is <device>p<number>
    std::uint64_t start;     // byte offset of the first byte
    std::uint64_t size;      // bytes
    std::uint32_t mbr_type;  // MBR type byte; 0 for GPT entries
    char type_guid[37];      // GPT type GUID in upper case; empty for MBR entries
    std::int32_t is_gpt;
};

struct PartitionTable {
    PartitionEntry entries[PARTITION_TABLE_MAX];  // in the order described below
    std::uint64_t count;
    std::uint32_t sector_size;
    std::int32_t too_many;  // 1: a usable partition is numbered past PARTITION_TABLE_MAX
};

// Lists the partitions of the MBR (with extended chains) or GPT at path, each
// with the number the kernel gives it: MBR primaries by slot (1-4), logical
// partitions from 5 in chain order, GPT entries by slot. Listed in the order
// met: primaries by slot with each extended partition's logical partitions in
// its place, GPT entries by slot. sector_size 0 means
// the device's own logical sector size (512 for a regular file). Returns 0
// (also when there is no table: count 0), the error code of a failed open or
// first read, or ERR_UNSUPPORTED for an announced GPT whose header is unusable
// and for a table with too_many set.
int read_partition_table(const char* path, std::uint32_t sector_size, PartitionTable* table);

}  // namespace qor
