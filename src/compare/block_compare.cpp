#include "compare/block_compare.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>

#include "common/file_io.h"
#include "common/interrupt.h"
#include "common/progress.h"
#include "common/sha256_pair.h"
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
    if (file_open_read(path, fd) == 0) return 0;
    compare_report_open(path, errno, err, err_size);
    return -1;
}

// Unmaps a piece buffer.
struct PieceUnmap {
    void operator()(std::uint8_t* p) const { ::munmap(p, COMPARE_PIECE_MAX); }
};
using PieceBuffer = std::unique_ptr<std::uint8_t[], PieceUnmap>;

// One read buffer per side of COMPARE_PIECE_MAX bytes whatever the chunk
// size: small chunks are hashed many to a read, large ones piece by piece.
struct PieceBuffers {
    PieceBuffer snapshot;
    PieceBuffer target;
    std::size_t size = COMPARE_PIECE_MAX;
};

// Anonymous memory aligned to, and asked to be backed by, one huge page where
// the system offers them: the kernel copies every byte read into the buffer,
// and with small pages that copy missed the TLB so often that it cost more
// than half as much as the hashing (measured: 0.9 s against 0.3 s of system
// time per 2 GiB). A mapping of its own, not the heap, so the memory is
// returned when the comparison ends. Null when out of memory.
PieceBuffer compare_alloc_piece() {
    constexpr std::size_t SIZE = COMPARE_PIECE_MAX;
    void* area =
        ::mmap(nullptr, 2 * SIZE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED) return PieceBuffer();
    auto* start = static_cast<std::uint8_t*>(area);
    const std::size_t head = (SIZE - reinterpret_cast<std::uintptr_t>(start) % SIZE) % SIZE;
    if (head != 0) ::munmap(start, head);
    ::munmap(start + head + SIZE, SIZE - head);
    ::madvise(start + head, SIZE, MADV_HUGEPAGE);  // only advice
    return PieceBuffer(start + head);
}

// Both allocations are attempted before either is looked at, so a failure
// always reports the same thing whichever side ran out.
bool compare_alloc(PieceBuffers* buffers) {
    buffers->snapshot = compare_alloc_piece();
    buffers->target = compare_alloc_piece();
    return buffers->snapshot != nullptr && buffers->target != nullptr;
}

// The two descriptors are borrowed; offsets are where the compared range starts.
struct CompareSides {
    BlockSide snapshot;
    BlockSide target;
};

// Pages read behind the walk are let go in batches of this many bytes.
constexpr std::uint64_t DROP_STEP_BYTES = COMPARE_PIECE_MAX;

// The comparison's footprint in the page cache of both sides: what lies
// behind the walk is let go, so a run over a whole volume does not push the
// server's working set out of memory with pages nobody reads again. The next
// bytes come from the kernel's own read-ahead, whose window is doubled for
// these reads. Asking for them with POSIX_FADV_WILLNEED as well was measured
// slower on every device tried, with small and large windows alike: the
// kernel fills pages it is asked for one small page at a time, while its own
// read-ahead fills large folios (measured: 0.5 s of system time more per GiB).
// Positions count from the start of the range; the advice goes to the
// absolute file offsets. Advice cannot drop pages still dirty from the
// restore: the kernel starts their write-back and they stay cached, clean,
// until reclaimed. That is a target file the restore wrote and nobody synced;
// an LV target was written back and dropped when the restore closed it, as a
// block device is on its last close.
class CompareCache {
  public:
    explicit CompareCache(const CompareSides& sides) : sides_(sides), page_(page_bytes()) {
        // Only advice.
        ::posix_fadvise(sides_.snapshot.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        ::posix_fadvise(sides_.target.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    }
    ~CompareCache() { drop_to(seen_, true); }
    CompareCache(const CompareCache&) = delete;
    CompareCache& operator=(const CompareCache&) = delete;

    // Bytes up to `end` are about to be read.
    void seen(std::uint64_t end) { seen_ = std::max(seen_, end); }

    // Everything before `pos` is hashed: its whole pages can go. `last`
    // drops the page holding pos too, which the walk will not read again.
    void drop_to(std::uint64_t pos, bool last = false) {
        if (!last && pos - dropped_ < DROP_STEP_BYTES) return;
        drop(sides_.snapshot, dropped_, pos, last);
        drop(sides_.target, dropped_, pos, last);
        dropped_ = pos;
    }

  private:
    static std::uint64_t page_bytes() {
        const long size = ::sysconf(_SC_PAGESIZE);
        return size > 0 ? static_cast<std::uint64_t>(size) : 4096;
    }

    // Only advice: a failure, or an offset past what off_t holds, changes no
    // result. The kernel keeps a page (or larger folio) the range covers only
    // in part.
    void drop(const BlockSide& side, std::uint64_t from, std::uint64_t to, bool round_up) const {
        std::uint64_t start = side.offset + from;
        std::uint64_t end = side.offset + to;
        start -= start % page_;
        end = round_up ? end + (page_ - end % page_) % page_ : end - end % page_;
        if (end <= start || end > static_cast<std::uint64_t>(INT64_MAX)) return;
        ::posix_fadvise(side.fd, static_cast<off_t>(start), static_cast<off_t>(end - start),
                        POSIX_FADV_DONTNEED);
    }

    CompareSides sides_;
    std::uint64_t page_;
    std::uint64_t dropped_ = 0;
    std::uint64_t seen_ = 0;
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

// Finishes both digests of the chunk just hashed: 1 when they differ, else 0.
int compare_digests(Sha256Pair* hashes) {
    std::uint8_t snapshot_digest[SHA256_DIGEST_BYTES];
    std::uint8_t target_digest[SHA256_DIGEST_BYTES];
    hashes->finish(snapshot_digest, target_digest);
    return std::memcmp(snapshot_digest, target_digest, SHA256_DIGEST_BYTES) != 0 ? 1 : 0;
}

// Reads and hashes the chunk of `length` bytes at `offset` on both sides, one
// read per side at a time, from byte `from` of the chunk on (the hashes hold
// the bytes before it). Returns 1 when the digests differ, 0 when they match,
// -1 with the sentence in err when a side ended early or could not be read.
int compare_chunk(const CompareSides& sides, const PieceBuffers& buffers, Sha256Pair* hashes,
                  std::uint64_t offset, std::size_t length, std::size_t from, char* err,
                  std::size_t err_size) {
    for (std::size_t done = from; done < length;) {
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
        hashes->update(buffers.snapshot.get(), buffers.target.get(), piece);
        done += piece;
        // Per piece, so that a request is answered soon even inside a huge chunk.
        progress_add_bytes(piece);
        progress_report_if_asked();
    }
    return compare_digests(hashes);
}

// Where the walk stands: the next read starts at pos, and the hashes hold the
// bytes of the chunk at chunk_start that lie before it.
struct CompareWalk {
    std::uint32_t chunk;
    std::uint64_t length;
    std::uint64_t pos = 0;
    std::uint64_t chunk_start = 0;

    std::uint64_t chunk_length() const {
        return std::min<std::uint64_t>(length - chunk_start, chunk);
    }
};

// Counts the chunk the walk has just finished and moves on to the next.
void compare_count(CompareWalk* walk, int differs, CompareStats* stats) {
    if (differs != 0) {
        if (stats->first_mismatch_offset == NO_MISMATCH) {
            stats->first_mismatch_offset = walk->chunk_start;
        }
        ++stats->mismatched_chunks;
    }
    stats->bytes_compared += walk->chunk_length();
    walk->chunk_start += walk->chunk_length();
}

// Hashes a piece of `size` bytes that both sides held whole, finishing every
// chunk whose last byte it holds, as if each chunk had been read on its own.
void compare_piece(CompareWalk* walk, const PieceBuffers& buffers, Sha256Pair* hashes,
                   std::size_t size, CompareStats* stats) {
    for (std::size_t at = 0; at < size;) {
        const std::uint64_t chunk_left = walk->chunk_start + walk->chunk_length() - walk->pos - at;
        const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(size - at, chunk_left));
        hashes->update(buffers.snapshot.get() + at, buffers.target.get() + at, take);
        at += take;
        if (take == chunk_left) compare_count(walk, compare_digests(hashes), stats);
    }
    walk->pos += size;
}

// One chunk at a time, as a plain chunk-by-chunk comparison reads them, from
// where the walk stands through the chunk holding byte until - 1. Used when a
// piece could not be read whole on both sides, so that a failure names the
// side and the chunk exactly as reading chunk by chunk would. 0 or -1.
int compare_plainly(const CompareSides& sides, const PieceBuffers& buffers, Sha256Pair* hashes,
                    CompareWalk* walk, CompareCache* cache, std::uint64_t until,
                    CompareStats* stats, char* err, std::size_t err_size) {
    while (walk->chunk_start < until) {
        cache->seen(walk->chunk_start + walk->chunk_length());
        const int differs =
            compare_chunk(sides, buffers, hashes, walk->chunk_start,
                          static_cast<std::size_t>(walk->chunk_length()),
                          static_cast<std::size_t>(walk->pos - walk->chunk_start), err, err_size);
        if (differs < 0) return -1;
        compare_count(walk, differs, stats);
        walk->pos = walk->chunk_start;
    }
    return 0;
}

// Walks total_size bytes a piece per side at a time; a difference never
// stops the walk.
int compare_chunks(const CompareSides& sides, const PieceBuffers& buffers, std::uint32_t chunk,
                   std::uint64_t total_size, CompareStats* stats, char* err, std::size_t err_size) {
    Sha256Pair hashes;
    CompareWalk walk{chunk, total_size};
    CompareCache cache(sides);
    while (walk.pos < total_size) {
        // A signal stops the walk between pieces.
        if (interrupt_should_abort()) {
            text_copy(err, err_size, "interrupted");
            return -1;
        }
        const auto size =
            static_cast<std::size_t>(std::min<std::uint64_t>(total_size - walk.pos, buffers.size));
        cache.seen(walk.pos + size);
        const std::int64_t got_snapshot = read_full_at(sides.snapshot.fd, buffers.snapshot.get(),
                                                       size, sides.snapshot.offset + walk.pos);
        const std::int64_t got_target = read_full_at(sides.target.fd, buffers.target.get(), size,
                                                     sides.target.offset + walk.pos);
        if (got_snapshot == static_cast<std::int64_t>(size) &&
            got_target == static_cast<std::int64_t>(size)) {
            compare_piece(&walk, buffers, &hashes, size, stats);
            progress_add_bytes(size);
            progress_report_if_asked();
        } else if (compare_plainly(sides, buffers, &hashes, &walk, &cache, walk.pos + size, stats,
                                   err, err_size) != 0) {
            return -1;
        }
        cache.drop_to(walk.pos);
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
    if (!compare_alloc(&buffers)) {
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
