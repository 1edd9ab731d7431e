#include "compare/block_compare.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "common/file_io.h"
#include "common/interrupt.h"
#include "common/progress.h"
#include "common/sha256.h"
#include "common/text.h"
#include "common/unique_fd.h"

namespace qor {
namespace {

// Opens path read-only into *fd, or writes "cannot open" and returns -1.
int compare_open(const char* path, UniqueFd* fd, char* err, std::size_t err_size) {
    if (file_open_read(path, fd) == 0) {
        // Read once from start to end: a cold device gains from the larger read-ahead
        // window. Only advice, so a failure changes nothing.
        ::posix_fadvise(fd->get(), 0, 0, POSIX_FADV_SEQUENTIAL);
        return 0;
    }
    int saved = errno;
    text_format(err, err_size, "cannot open %s: %s", path, std::strerror(saved));
    return -1;
}

struct ChunkPair {
    std::unique_ptr<std::uint8_t[]> snapshot;
    std::unique_ptr<std::uint8_t[]> target;
};

// Both allocations are attempted before either is looked at, so a failure
// always reports the same thing whichever side ran out.
bool compare_alloc(ChunkPair* buffers, std::uint32_t chunk) {
    buffers->snapshot.reset(new (std::nothrow) std::uint8_t[chunk]);
    buffers->target.reset(new (std::nothrow) std::uint8_t[chunk]);
    return buffers->snapshot != nullptr && buffers->target != nullptr;
}

bool chunk_digests_differ(const ChunkPair& buffers, std::size_t length) {
    std::uint8_t snapshot_digest[SHA256_DIGEST_BYTES];
    std::uint8_t target_digest[SHA256_DIGEST_BYTES];
    sha256_oneshot(buffers.snapshot.get(), length, snapshot_digest);
    sha256_oneshot(buffers.target.get(), length, target_digest);
    return std::memcmp(snapshot_digest, target_digest, SHA256_DIGEST_BYTES) != 0;
}

// Members are destroyed in reverse order: the snapshot closes before the target.
struct CompareSides {
    const char* snapshot_path;
    const char* target_path;
    UniqueFd target;
    UniqueFd snapshot;
};

// Walks total_size bytes chunk by chunk; a difference never stops the walk.
int compare_chunks(CompareSides& sides, const ChunkPair& buffers, std::uint32_t chunk,
                   std::uint64_t total_size, CompareStats* stats, char* err, std::size_t err_size) {
    std::uint64_t offset = 0;
    while (offset < total_size) {
        // Between chunks is where an interrupted run stops comparing.
        if (interrupt_should_abort()) {
            text_copy(err, err_size, "interrupted");
            return -1;
        }
        const std::uint64_t remaining = total_size - offset;
        const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, chunk));
        const std::int64_t got_snapshot =
            read_full_at(sides.snapshot.get(), buffers.snapshot.get(), length, offset);
        const std::int64_t got_target =
            read_full_at(sides.target.get(), buffers.target.get(), length, offset);
        const char* short_side = nullptr;
        if (got_snapshot != static_cast<std::int64_t>(length)) {
            short_side = sides.snapshot_path;
        } else if (got_target != static_cast<std::int64_t>(length)) {
            short_side = sides.target_path;
        }
        if (short_side != nullptr) {
            text_format(err, err_size, "short read from %s at offset %llu", short_side,
                        static_cast<unsigned long long>(offset));
            return -1;
        }
        if (chunk_digests_differ(buffers, length)) {
            if (stats->first_mismatch_offset == NO_MISMATCH) stats->first_mismatch_offset = offset;
            ++stats->mismatched_chunks;
        }
        stats->bytes_compared += length;
        progress_add_bytes(length);
        progress_report_if_asked();
        // The last chunk ends the walk here, so the offset never wraps near 2^64.
        if (remaining <= chunk) break;
        offset += chunk;
    }
    return stats->mismatched_chunks != 0 ? 1 : 0;
}

}  // namespace

int compare_blocks(const char* snapshot_path, const char* target_path, std::uint32_t chunk_size,
                   std::uint64_t total_size, CompareStats* stats, char* err, std::size_t err_size) {
    text_clear(err, err_size);
    CompareStats scratch;
    if (stats == nullptr) stats = &scratch;
    compare_stats_reset(stats);
    const std::uint32_t chunk = chunk_size != 0 ? chunk_size : DEFAULT_CHUNK_SIZE;

    CompareSides sides{snapshot_path != nullptr ? snapshot_path : "",
                       target_path != nullptr ? target_path : "", UniqueFd(), UniqueFd()};
    if (compare_open(sides.snapshot_path, &sides.snapshot, err, err_size) != 0) return -1;
    if (compare_open(sides.target_path, &sides.target, err, err_size) != 0) return -1;

    ChunkPair buffers;
    if (!compare_alloc(&buffers, chunk)) {
        text_format(err, err_size, "out of memory (chunk size %u)", chunk);
        return -1;
    }
    if (total_size == 0) return 0;
    return compare_chunks(sides, buffers, chunk, total_size, stats, err, err_size);
}

}  // namespace qor
