#pragma once

#include <cstdint>

namespace qor {

inline constexpr std::uint64_t NO_MISMATCH = ~std::uint64_t{0};

// The result of one comparison, owned by main and filled by the engines.
struct CompareStats {
    std::uint64_t bytes_compared;         // bytes compared block by block
    std::uint64_t mismatched_chunks;      // chunks whose digests differed
    std::uint64_t first_mismatch_offset;  // offset of the first such chunk, or NO_MISMATCH
    std::int32_t files_differ;            // 1 when a diff run reported differences
};

// All zero except first_mismatch_offset, which is NO_MISMATCH.
inline void compare_stats_reset(CompareStats* stats) {
    stats->bytes_compared = 0;
    stats->mismatched_chunks = 0;
    stats->first_mismatch_offset = NO_MISMATCH;
    stats->files_differ = 0;
}

}  // namespace qor
