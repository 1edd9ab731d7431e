#pragma once

#include <cstddef>

namespace qor {

inline constexpr int CODEC_NONE = 0;
inline constexpr int CODEC_ZSTD = 1;
inline constexpr int CODEC_LZ4 = 2;

// Worst-case compressed size of size bytes (size itself for CODEC_NONE/unknown).
std::size_t codec_bound(int codec, std::size_t size);

// Compressed size, or 0 on any failure, including data that does not shrink.
std::size_t codec_compress(int codec, int level, const void* src, std::size_t src_size, void* dst,
                           std::size_t dst_capacity);

// 0 with the produced size in *produced (when not null), ERR_INVALID for an
// unknown codec or a too small destination of CODEC_NONE, ERR_FORMAT for data
// that cannot be expanded.
int codec_decompress(int codec, const void* src, std::size_t src_size, void* dst,
                     std::size_t dst_capacity, std::size_t* produced);

}  // namespace qor
