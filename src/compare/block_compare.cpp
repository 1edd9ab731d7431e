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
#include "common/text_escape.h"
#include "common/unique_fd.h"

namespace qor {
namespace {

// Room for an escaped path in a message; the rest of the message is short.
constexpr std::size_t MESSAGE_PATH_BYTES = 300;

// Writes "cannot open" with the escaped path and the system's reason.
void compare_report_open(const char* path, int errnum, char* err, std::size_t err_size) {
    char shown[MESSAGE_PATH_BYTES];
    text_escape(shown, sizeof shown, path);
    text_format(err, err_size, "cannot open %s: %s", shown, std::strerror(errnum));
}

// Opens path read-only into *fd, or writes "cannot open" and returns -1.
int compare_open(const char* path, UniqueFd* fd, char* err, std::size_t err_size) {
    if (file_open_read(path, fd) == 0) {
        // Read once from start to end: a cold device gains from the larger read-ahead
        // window. Only advice, so a failure changes nothing.
        ::posix_fadvise(fd->get(), 0, 0, POSIX_FADV_SEQUENTIAL);
        return 0;
    }
    compare_report_open(path, errno, err, err_size);
    return -1;
}

// One read buffer per side, never larger than COMPARE_PIECE_MAX whatever the
// chunk size: a chunk is read and hashed piece by piece.
struct PieceBuffers {
    std::unique_ptr<std::uint8_t[]> snapshot;
    std::unique_ptr<std::uint8_t[]> target;
    std::size_t size = 0;
};

// Both allocations are attempted before either is looked at, so a failure
// always reports the same thing whichever side ran out.
bool compare_alloc(PieceBuffers* buffers, std::uint32_t chunk) {
    buffers->size = std::min<std::size_t>(chunk, COMPARE_PIECE_MAX);
    buffers->snapshot.reset(new (std::nothrow) std::uint8_t[buffers->size]);
    buffers->target.reset(new (std::nothrow) std::uint8_t[buffers->size]);
    return buffers->snapshot != nullptr && buffers->target != nullptr;
}

// The two descriptors are borrowed; offsets are where the compared range starts.
struct CompareSides {
    BlockSide snapshot;
    BlockSide target;
};

// Whether the snapshot holds all of [from, end): when the target ends inside
// a chunk, the snapshot is still the side named if it ends inside it too.
bool snapshot_reaches(const CompareSides& sides, const PieceBuffers& buffers, std::uint64_t from,
                      std::uint64_t end) {
    while (from < end) {
        const auto length =
            static_cast<std::size_t>(std::min<std::uint64_t>(end - from, buffers.size));
        if (read_full_at(sides.snapshot.fd, buffers.snapshot.get(), length,
                         sides.snapshot.offset + from) != static_cast<std::int64_t>(length)) {
            return false;
        }
        from += length;
    }
    return true;
}

// Reads and hashes the chunk of `length` bytes at `offset` on both sides.
// Returns 1 when the digests differ, 0 when they match, -1 with the sentence
// in err when a side ended early or could not be read.
int compare_chunk(const CompareSides& sides, const PieceBuffers& buffers, Sha256* hashes,
                  std::uint64_t offset, std::size_t length, char* err, std::size_t err_size) {
    for (std::size_t done = 0; done < length;) {
        // A signal stops the walk between pieces, so even a huge chunk stops soon.
        if (interrupt_should_abort()) {
            text_copy(err, err_size, "interrupted");
            return -1;
        }
        const std::size_t piece = std::min(length - done, buffers.size);
        const std::int64_t got_snapshot =
            read_full_at(sides.snapshot.fd, buffers.snapshot.get(), piece,
                         sides.snapshot.offset + offset + done);
        const std::int64_t got_target = read_full_at(sides.target.fd, buffers.target.get(), piece,
                                                     sides.target.offset + offset + done);
        const char* short_side = nullptr;
        if (got_snapshot != static_cast<std::int64_t>(piece)) {
            short_side = sides.snapshot.name;
        } else if (got_target != static_cast<std::int64_t>(piece)) {
            const bool snapshot_whole =
                snapshot_reaches(sides, buffers, offset + done + piece, offset + length);
            short_side = snapshot_whole ? sides.target.name : sides.snapshot.name;
        }
        if (short_side != nullptr) {
            char shown[MESSAGE_PATH_BYTES];
            text_escape(shown, sizeof shown, short_side);
            text_format(err, err_size, "short read from %s at offset %llu", shown,
                        static_cast<unsigned long long>(offset));
            return -1;
        }
        hashes[0].update(buffers.snapshot.get(), piece);
        hashes[1].update(buffers.target.get(), piece);
        done += piece;
        // Per piece, so that a request is answered soon even inside a huge chunk.
        progress_add_bytes(piece);
        progress_report_if_asked();
    }
    std::uint8_t snapshot_digest[SHA256_DIGEST_BYTES];
    std::uint8_t target_digest[SHA256_DIGEST_BYTES];
    hashes[0].finish(snapshot_digest);
    hashes[1].finish(target_digest);
    return std::memcmp(snapshot_digest, target_digest, SHA256_DIGEST_BYTES) != 0 ? 1 : 0;
}

// Walks total_size bytes chunk by chunk; a difference never stops the walk.
int compare_chunks(const CompareSides& sides, const PieceBuffers& buffers, std::uint32_t chunk,
                   std::uint64_t total_size, CompareStats* stats, char* err, std::size_t err_size) {
    Sha256 hashes[2];
    std::uint64_t offset = 0;
    while (offset < total_size) {
        const std::uint64_t remaining = total_size - offset;
        const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, chunk));
        const int differs = compare_chunk(sides, buffers, hashes, offset, length, err, err_size);
        if (differs < 0) return -1;
        if (differs != 0) {
            if (stats->first_mismatch_offset == NO_MISMATCH) stats->first_mismatch_offset = offset;
            ++stats->mismatched_chunks;
        }
        stats->bytes_compared += length;
        // The last chunk ends the walk here, so the offset never wraps near 2^64.
        if (remaining <= chunk) break;
        offset += chunk;
    }
    return stats->mismatched_chunks != 0 ? 1 : 0;
}

}  // namespace

int compare_block_range(const BlockSide& snapshot, const BlockSide& target,
                        std::uint32_t chunk_size, std::uint64_t length, CompareStats* stats,
                        char* err, std::size_t err_size) {
    text_clear(err, err_size);
    CompareStats scratch;
    if (stats == nullptr) stats = &scratch;
    compare_stats_reset(stats);
    const std::uint32_t chunk = chunk_size != 0 ? chunk_size : DEFAULT_CHUNK_SIZE;
    CompareSides sides{snapshot, target};
    if (sides.snapshot.name == nullptr) sides.snapshot.name = "";
    if (sides.target.name == nullptr) sides.target.name = "";

    PieceBuffers buffers;
    if (!compare_alloc(&buffers, chunk)) {
        text_format(err, err_size, "out of memory (chunk size %u)", chunk);
        return -1;
    }
    if (length == 0) return 0;
    return compare_chunks(sides, buffers, chunk, length, stats, err, err_size);
}

int compare_blocks(const char* snapshot_path, const char* target_path, std::uint32_t chunk_size,
                   std::uint64_t total_size, CompareStats* stats, char* err, std::size_t err_size) {
    text_clear(err, err_size);
    if (snapshot_path == nullptr) snapshot_path = "";
    if (target_path == nullptr) target_path = "";
    if (stats != nullptr) compare_stats_reset(stats);
    // Declared in this order so the snapshot closes before the target.
    UniqueFd target_fd;
    UniqueFd snapshot_fd;
    if (compare_open(snapshot_path, &snapshot_fd, err, err_size) != 0) return -1;
    if (compare_open(target_path, &target_fd, err, err_size) != 0) return -1;
    return compare_block_range(BlockSide{snapshot_fd.get(), 0, snapshot_path},
                               BlockSide{target_fd.get(), 0, target_path}, chunk_size, total_size,
                               stats, err, err_size);
}

}  // namespace qor
