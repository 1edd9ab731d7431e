#include "common/codec.h"

#include <lz4.h>
#include <zstd.h>

#include <climits>
#include <cstring>

#include "common/error.h"

namespace qor {
namespace {

// liblz4 counts in int; larger sizes would wrap.
bool lz4_size_fits(std::size_t size) {
    return size <= static_cast<std::size_t>(INT_MAX);
}

int lz4_capacity(std::size_t capacity) {
    return static_cast<int>(lz4_size_fits(capacity) ? capacity : INT_MAX);
}

std::size_t zstd_compress(int level, const void* src, std::size_t src_size, void* dst,
                          std::size_t dst_capacity) {
    std::size_t n = ZSTD_compress(dst, dst_capacity, src, src_size, level);
    if (ZSTD_isError(n) || n >= src_size) return 0;
    return n;
}

std::size_t lz4_compress(const void* src, std::size_t src_size, void* dst,
                         std::size_t dst_capacity) {
    if (src_size > static_cast<std::size_t>(LZ4_MAX_INPUT_SIZE)) return 0;
    int n = LZ4_compress_default(static_cast<const char*>(src), static_cast<char*>(dst),
                                 static_cast<int>(src_size), lz4_capacity(dst_capacity));
    if (n <= 0 || static_cast<std::size_t>(n) >= src_size) return 0;
    return static_cast<std::size_t>(n);
}

}  // namespace

std::size_t codec_bound(int codec, std::size_t size) {
    switch (codec) {
        case CODEC_ZSTD:
            return ZSTD_compressBound(size);
        case CODEC_LZ4:
            if (size > static_cast<std::size_t>(LZ4_MAX_INPUT_SIZE)) return 0;
            return static_cast<std::size_t>(LZ4_compressBound(static_cast<int>(size)));
        default:
            return size;
    }
}

std::size_t codec_compress(int codec, int level, const void* src, std::size_t src_size, void* dst,
                           std::size_t dst_capacity) {
    switch (codec) {
        case CODEC_ZSTD:
            return zstd_compress(level, src, src_size, dst, dst_capacity);
        case CODEC_LZ4:
            return lz4_compress(src, src_size, dst, dst_capacity);
        default:
            return 0;
    }
}

int codec_decompress(int codec, const void* src, std::size_t src_size, void* dst,
                     std::size_t dst_capacity, std::size_t* produced) {
    std::size_t n = 0;
    if (codec == CODEC_NONE) {
        if (dst_capacity < src_size) return ERR_INVALID;
        if (src_size > 0) std::memcpy(dst, src, src_size);
        n = src_size;
    } else if (codec == CODEC_ZSTD) {
        n = ZSTD_decompress(dst, dst_capacity, src, src_size);
        if (ZSTD_isError(n)) return ERR_FORMAT;
    } else if (codec == CODEC_LZ4) {
        if (!lz4_size_fits(src_size)) return ERR_FORMAT;
        int got = LZ4_decompress_safe(static_cast<const char*>(src), static_cast<char*>(dst),
                                      static_cast<int>(src_size), lz4_capacity(dst_capacity));
        if (got < 0) return ERR_FORMAT;
        n = static_cast<std::size_t>(got);
    } else {
        return ERR_INVALID;
    }
    if (produced != nullptr) *produced = n;
    return 0;
}

}  // namespace qor
