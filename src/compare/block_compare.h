#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "compare/compare_stats.h"

namespace qor {

inline constexpr std::uint32_t DEFAULT_CHUNK_SIZE = 2097152;  // used when the header says 0
// The bytes read from each side at once, whatever the chunk size: small
// chunks are hashed many to a read, a larger chunk piece by piece, so memory
// stays bounded whatever the header says and a small chunk costs no read
// of its own.
inline constexpr std::size_t COMPARE_PIECE_MAX = 2097152;

// Reads snapshot_path and target_path side by side in chunks over total_size
// bytes and compares the SHA-256 of each chunk pair (paths are escaped in
// messages). Holds one buffer of COMPARE_PIECE_MAX bytes per side and drops
// from the page cache what lies behind the walk. 0: identical; 1:
// at least one chunk differed (counted in *stats); -1: failed, one sentence
// in err.
int compare_blocks(const char* snapshot_path, const char* target_path, std::uint32_t chunk_size,
                   std::uint64_t total_size, CompareStats* stats, char* err, std::size_t err_size);

// One side of a range comparison: an open descriptor (borrowed, not closed),
// the byte offset the range starts at, and the name used in messages.
struct BlockSide {
    int fd;
    std::uint64_t offset;
    const char* name;
};

// Compares `length` bytes from snapshot.offset and target.offset chunk by
// chunk, as compare_blocks does. Offsets in *stats and in the short-read
// sentence count from the start of the range. Same answers as compare_blocks.
int compare_block_range(const BlockSide& snapshot, const BlockSide& target,
                        std::uint32_t chunk_size, std::uint64_t length, CompareStats* stats,
                        char* err, std::size_t err_size);

}  // namespace qor
