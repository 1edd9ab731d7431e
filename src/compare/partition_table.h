#pragma once

#include <cstdint>

namespace qor {

inline constexpr int PARTITION_TABLE_MAX = 128;

struct PartitionEntry {
    std::uint64_t start;     // byte offset of the first byte
    std::uint64_t size;      // bytes
    std::uint32_t mbr_type;  // MBR type byte; 0 for GPT entries
    char type_guid[37];      // GPT type GUID in upper case; empty for MBR entries
    std::int32_t is_gpt;
};

struct PartitionTable {
    PartitionEntry entries[PARTITION_TABLE_MAX];
    std::uint64_t count;
    std::uint32_t sector_size;
};

// Lists the partitions of the MBR (with extended chains) or GPT at path.
// 0 (also when there is no table: count 0), the error code of a failed open or
// first read, or ERR_UNSUPPORTED for an announced GPT whose header is unusable.
int read_partition_table(const char* path, std::uint32_t sector_size, PartitionTable* table);

}  // namespace qor
