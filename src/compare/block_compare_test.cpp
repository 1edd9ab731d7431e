#include "compare/block_compare.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <malloc.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "common/file_io.h"
#include "common/unique_fd.h"
#include "support/fd_count.h"
#include "support/test_temp_dir.h"

namespace qor {
namespace {

constexpr std::uint64_t MiB = 1024 * 1024;
constexpr std::uint32_t CHUNK_2M = 2 * MiB;

std::vector<std::uint8_t> pattern(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>((i * 131) ^ (i >> 9));
    return bytes;
}

using qor::test::open_fd_count;

class BlockCompare : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(tmp_.ok()); }

    static void write(const std::string& path, const std::vector<std::uint8_t>& bytes) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        ASSERT_TRUE(out.good());
    }

    int compare(std::uint32_t chunk, std::uint64_t total) {
        stats_ = CompareStats{7, 7, 7, 1};  // stale values that must be reset
        std::strcpy(err_, "stale");
        return compare_blocks(snapshot_.c_str(), target_.c_str(), chunk, total, &stats_, err_,
                              sizeof err_);
    }

    TestTempDir tmp_;
    std::string dir_ = tmp_.path(), snapshot_ = tmp_ / "snapshot", target_ = tmp_ / "target";
    CompareStats stats_{};
    char err_[400] = {};
};

TEST_F(BlockCompare, IdenticalInputsWithShortLastChunkMatchInFull) {
    const auto data = pattern(5 * MiB + 123);
    write(snapshot_, data);
    write(target_, data);
    EXPECT_EQ(compare(CHUNK_2M, data.size()), 0);
    EXPECT_STREQ(err_, "");
    EXPECT_EQ(stats_.bytes_compared, data.size());
    EXPECT_EQ(stats_.mismatched_chunks, 0u);
    EXPECT_EQ(stats_.first_mismatch_offset, NO_MISMATCH);
    EXPECT_EQ(stats_.files_differ, 0);
}

TEST_F(BlockCompare, CountsEveryDifferingChunkWithoutStopping) {
    auto data = pattern(8 * MiB);
    write(snapshot_, data);
    data[0] ^= 1;
    data[4 * MiB + 17] ^= 1;
    write(target_, data);
    EXPECT_EQ(compare(CHUNK_2M, data.size()), 1);
    EXPECT_EQ(stats_.mismatched_chunks, 2u);
    EXPECT_EQ(stats_.first_mismatch_offset, 0u);
    EXPECT_EQ(stats_.bytes_compared, 8 * MiB);
}

TEST_F(BlockCompare, FirstMismatchIsTheChunkStartNotTheByte) {
    auto data = pattern(6 * MiB);
    write(snapshot_, data);
    data[3000000] ^= 0x80;
    write(target_, data);
    EXPECT_EQ(compare(CHUNK_2M, data.size()), 1);
    EXPECT_EQ(stats_.mismatched_chunks, 1u);
    EXPECT_EQ(stats_.first_mismatch_offset, 2097152u);
}

TEST_F(BlockCompare, ChunkSizeZeroMeansTwoMebibytes) {
    auto data = pattern(5 * MiB);
    write(snapshot_, data);
    data[2097151] ^= 1;  // last byte of chunk 0
    data[2097152] ^= 1;  // first byte of chunk 1
    write(target_, data);
    EXPECT_EQ(compare(0, data.size()), 1);
    EXPECT_EQ(stats_.mismatched_chunks, 2u);
    EXPECT_EQ(stats_.first_mismatch_offset, 0u);
}

TEST_F(BlockCompare, OddChunkSizeCoversTheTail) {
    auto data = pattern(2500);
    write(snapshot_, data);
    data[2499] ^= 1;
    write(target_, data);
    EXPECT_EQ(compare(1000, data.size()), 1);
    EXPECT_EQ(stats_.first_mismatch_offset, 2000u);
    EXPECT_EQ(stats_.bytes_compared, 2500u);
}

// Chunks larger than one read are hashed piece by piece: the counts and the
// first offset follow the chunk size alone, also for a difference in a
// chunk's last byte, past a piece boundary, and for the largest header value.
TEST_F(BlockCompare, ChunksLargerThanOneReadGiveTheSameAnswers) {
    auto data = pattern(9 * MiB);
    write(snapshot_, data);
    data[3 * MiB - 1] ^= 1;  // last byte of chunk 0 at 3 MiB chunks
    data[7 * MiB] ^= 1;
    write(target_, data);
    const struct {
        std::uint32_t chunk;
        std::uint64_t mismatched, first;
    } rows[] = {
        {1000, 2, 3145000},
        {CHUNK_2M, 2, 2 * MiB},          // one read per chunk
        {CHUNK_2M + 1, 2, 2 * MiB + 1},  // every chunk two reads, the second of one byte
        {3 * MiB, 2, 0},
        {0xFFFFFFFF, 1, 0},  // one chunk over everything
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.chunk);
        EXPECT_EQ(compare(r.chunk, data.size()), 1);
        EXPECT_EQ(stats_.mismatched_chunks, r.mismatched);
        EXPECT_EQ(stats_.first_mismatch_offset, r.first);
        EXPECT_EQ(stats_.bytes_compared, data.size());
    }
    write(target_, pattern(9 * MiB));
    EXPECT_EQ(compare(0xFFFFFFFF, 9 * MiB), 0);
}

// A short read in a chunk of several reads names the chunk's start, and the
// snapshot whenever it ends inside that chunk too, as for a one-read chunk.
TEST_F(BlockCompare, ShortSideOfAMultiReadChunkIsNamedAsForOneRead) {
    write(snapshot_, pattern(7 * MiB));
    write(target_, pattern(3 * MiB));
    EXPECT_EQ(compare(8 * MiB, 8 * MiB), -1);
    EXPECT_EQ(std::string(err_), "short read from " + snapshot_ + " at offset 0");
    EXPECT_EQ(compare(8 * MiB, 7 * MiB), -1);
    EXPECT_EQ(std::string(err_), "short read from " + target_ + " at offset 0");
    EXPECT_EQ(compare(2 * MiB + 1, 7 * MiB), -1);  // chunk 1 is whole in the snapshot
    EXPECT_EQ(std::string(err_), "short read from " + target_ + " at offset 2097153");
    EXPECT_EQ(stats_.bytes_compared, 2 * MiB + 1);
}

// The answers of a plain comparison, one chunk per step, worked out on the
// bytes in memory: a chunk differs when its bytes do, and the first chunk
// that reaches past the end of a side fails, naming the snapshot first.
struct PlainAnswer {
    int rc = 0;
    CompareStats stats{0, 0, NO_MISMATCH, 0};
    const char* short_side = nullptr;
    std::uint64_t short_at = 0;
};

PlainAnswer compare_plainly(const std::vector<std::uint8_t>& snapshot,
                            const std::vector<std::uint8_t>& target, std::uint64_t chunk,
                            std::uint64_t total) {
    PlainAnswer a;
    for (std::uint64_t at = 0; at < total; at += chunk) {
        const std::uint64_t length = std::min(chunk, total - at);
        if (snapshot.size() < at + length || target.size() < at + length) {
            a.short_side = snapshot.size() < at + length ? "snapshot" : "target";
            a.short_at = at;
            a.rc = -1;
            return a;
        }
        if (std::memcmp(snapshot.data() + at, target.data() + at, length) != 0) {
            if (a.stats.first_mismatch_offset == NO_MISMATCH) a.stats.first_mismatch_offset = at;
            ++a.stats.mismatched_chunks;
        }
        a.stats.bytes_compared += length;
    }
    a.rc = a.stats.mismatched_chunks != 0 ? 1 : 0;
    return a;
}

// Small chunks are hashed many to a read and large ones piece by piece, yet
// every answer is that of reading one chunk per step: differences on chunk
// and piece edges, and a side that ends inside a piece, on either side.
TEST_F(BlockCompare, AnswersAreThoseOfOneChunkPerStep) {
    const std::uint64_t total = 5 * MiB + 123;  // two whole pieces and a short one
    const auto snapshot = pattern(total);
    auto target = snapshot;
    for (std::uint64_t at : {std::uint64_t{0}, 2 * MiB - 1, 2 * MiB, 4 * MiB + 511, total - 1})
        target[at] ^= 0x40;
    const struct {
        std::uint64_t snapshot_bytes, target_bytes;
    } ends[] = {
        {total, total},
        {total, 3 * MiB + 5},          // the target ends inside the second piece
        {4 * MiB + 700, total},        // the snapshot ends inside the third
        {2 * MiB + 9, 2 * MiB + 9},    // both end at once: the snapshot is named
        {4 * MiB + 700, 3 * MiB + 5},  // the target first, inside a chunk the snapshot holds
    };
    const struct {
        std::uint32_t chunk;
        std::uint64_t total;
    } rows[] = {
        {1, 2 * MiB + 3},  {7, total},
        {512, total},      {4096, total},
        {65536, total},    {CHUNK_2M - 1, total},
        {CHUNK_2M, total}, {CHUNK_2M + 1, total},
        {3 * MiB, total},  {64 * MiB, total},
    };
    for (const auto& end : ends) {
        const std::vector<std::uint8_t> s(snapshot.begin(), snapshot.begin() + end.snapshot_bytes);
        const std::vector<std::uint8_t> t(target.begin(), target.begin() + end.target_bytes);
        write(snapshot_, s);
        write(target_, t);
        for (const auto& row : rows) {
            SCOPED_TRACE(testing::Message() << "chunk " << row.chunk << ", sides of " << s.size()
                                            << " and " << t.size() << " bytes");
            const PlainAnswer want = compare_plainly(s, t, row.chunk, row.total);
            EXPECT_EQ(compare(row.chunk, row.total), want.rc);
            EXPECT_EQ(stats_.bytes_compared, want.stats.bytes_compared);
            EXPECT_EQ(stats_.mismatched_chunks, want.stats.mismatched_chunks);
            EXPECT_EQ(stats_.first_mismatch_offset, want.stats.first_mismatch_offset);
            const std::string named = want.short_side == nullptr                   ? ""
                                      : std::string(want.short_side) == "snapshot" ? snapshot_
                                                                                   : target_;
            EXPECT_EQ(err_, want.rc < 0 ? "short read from " + named + " at offset " +
                                              std::to_string(want.short_at)
                                        : "");
        }
    }
}

// Pages of the (file-backed) descriptor resident in [from, to).
std::size_t resident_pages(int fd, std::uint64_t from, std::uint64_t to) {
    const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    struct stat st {};
    if (::fstat(fd, &st) != 0) return 0;
    const std::size_t size = static_cast<std::size_t>(st.st_size);
    void* map = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) return 0;
    std::vector<unsigned char> in((size + page - 1) / page);
    std::size_t count = 0;
    if (::mincore(map, size, in.data()) == 0) {
        for (std::uint64_t p = from / page; p < (to + page - 1) / page; ++p) count += in[p] & 1;
    }
    ::munmap(map, size);
    return count;
}

// A range comparison lets go of the pages it read, at the files' own offsets,
// and of no page outside the range.
TEST_F(BlockCompare, DropsWhatItReadFromThePageCache) {
    struct statfs fs {};
    ASSERT_EQ(::statfs(dir_.c_str(), &fs), 0);
    if (fs.f_type == TMPFS_MAGIC) GTEST_SKIP() << "tmpfs pages cannot be dropped";
    const auto data = pattern(8 * MiB);
    write(snapshot_, data);
    write(target_, data);
    UniqueFd snapshot(::open(snapshot_.c_str(), O_RDONLY));
    UniqueFd target(::open(target_.c_str(), O_RDONLY));
    std::vector<std::uint8_t> scratch(data.size());
    for (int fd : {snapshot.get(), target.get()}) {
        ASSERT_EQ(::fdatasync(fd), 0);  // dirty pages cannot be dropped
        ASSERT_EQ(read_full_at(fd, scratch.data(), scratch.size(), 0), 8 * MiB);
    }
    const std::uint64_t start = 2 * MiB + 100, length = 4 * MiB;
    EXPECT_EQ(compare_block_range(BlockSide{snapshot.get(), start, "s"},
                                  BlockSide{target.get(), start, "t"}, 4096, length, &stats_, err_,
                                  sizeof err_),
              0);
    const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    for (int fd : {snapshot.get(), target.get()}) {
        EXPECT_EQ(resident_pages(fd, 0, 2 * MiB), 2 * MiB / page);
        // The page holding the range's last byte may sit in a larger folio
        // that reaches past it, which the kernel keeps whole.
        EXPECT_EQ(resident_pages(fd, 2 * MiB, 6 * MiB), 0u);
        EXPECT_EQ(resident_pages(fd, 6 * MiB + page, 8 * MiB), 2 * MiB / page - 1);
    }
}

std::uint64_t status_kib(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0)
            return std::strtoull(line.c_str() + std::strlen(field), nullptr, 10);
    }
    return 0;
}

// In a child of its own: how much the peak resident set grows while comparing
// 64 MiB in one chunk of the largest size a header can give, then 4 MiB in
// chunks of the smallest.
void exit_with_peak_growth_mib(const char* snapshot, const char* target) {
    CompareStats stats;
    char err[400];
    // Once with one byte first, so that what libcrypto sets up on its first
    // use is not counted as the comparison's.
    compare_blocks(snapshot, target, 1, 1, &stats, err, sizeof err);
    const std::uint64_t before = status_kib("VmRSS:");
    int rc = compare_blocks(snapshot, target, 0xFFFFFFFF, 64 * MiB, &stats, err, sizeof err);
    // AddressSanitizer keeps freed blocks in its quarantine (256 MiB) instead
    // of reusing them, so libcrypto's allocations per digest over millions of
    // 1-byte chunks would be counted there; the plain build checks them.
#if !defined(__SANITIZE_ADDRESS__)
    if (rc == 0) rc = compare_blocks(snapshot, target, 1, 4 * MiB, &stats, err, sizeof err);
#endif
    const std::uint64_t grown_mib = (status_kib("VmHWM:") - before) / 1024;
    std::_Exit(rc != 0 || before == 0 ? 255
                                      : static_cast<int>(std::min<std::uint64_t>(grown_mib, 254)));
}

TEST_F(BlockCompare, MemoryStaysBoundedWhateverTheChunkSize) {
    const auto data = pattern(64 * MiB);
    write(snapshot_, data);
    write(target_, data);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) exit_with_peak_growth_mib(snapshot_.c_str(), target_.c_str());
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_NE(WEXITSTATUS(status), 255) << "the comparison failed";
    // Two read buffers and some slack; two 4 GiB chunk buffers before.
    EXPECT_LE(WEXITSTATUS(status), 2 * COMPARE_PIECE_MAX / MiB + 2);
}

TEST_F(BlockCompare, BytesOfALongerTargetBeyondTheTotalAreIgnored) {
    auto data = pattern(3 * MiB);
    write(snapshot_, data);
    data.resize(4 * MiB, 0xFF);
    write(target_, data);
    EXPECT_EQ(compare(CHUNK_2M, 3 * MiB), 0);
    EXPECT_EQ(stats_.bytes_compared, 3 * MiB);
}

TEST_F(BlockCompare, ShortTargetFailsAtTheChunkThatReachesPastItsEnd) {
    auto data = pattern(5 * MiB);
    write(snapshot_, data);
    data.resize(3 * MiB);
    data[5] ^= 1;
    write(target_, data);
    EXPECT_EQ(compare(CHUNK_2M, 5 * MiB), -1);
    EXPECT_EQ(std::string(err_), "short read from " + target_ + " at offset 2097152");
    // Counts up to the failing chunk stay; the failing chunk is not counted.
    EXPECT_EQ(stats_.bytes_compared, 2 * MiB);
    EXPECT_EQ(stats_.mismatched_chunks, 1u);
    EXPECT_EQ(stats_.first_mismatch_offset, 0u);
}

TEST_F(BlockCompare, WhenBothSidesAreShortTheSnapshotIsNamed) {
    write(snapshot_, pattern(MiB));
    write(target_, pattern(MiB));
    EXPECT_EQ(compare(CHUNK_2M, 3 * MiB), -1);
    EXPECT_EQ(std::string(err_), "short read from " + snapshot_ + " at offset 0");
    EXPECT_EQ(stats_.bytes_compared, 0u);
}

TEST_F(BlockCompare, AReadErrorIsReportedAsAShortRead) {
    write(target_, pattern(MiB));
    // A directory opens read-only but every read of it fails (EISDIR).
    snapshot_ = dir_;
    EXPECT_EQ(compare(CHUNK_2M, MiB), -1);
    EXPECT_EQ(std::string(err_), "short read from " + dir_ + " at offset 0");
}

TEST_F(BlockCompare, UnopenablePathsFailEvenWithNothingToCompare) {
    write(snapshot_, pattern(100));
    const std::string missing = dir_ + "/missing";
    for (std::uint64_t total : {std::uint64_t{0}, std::uint64_t{100}}) {
        target_ = missing;
        EXPECT_EQ(compare(CHUNK_2M, total), -1);
        EXPECT_EQ(std::string(err_), "cannot open " + missing + ": No such file or directory");
        EXPECT_EQ(stats_.first_mismatch_offset, NO_MISMATCH);
        std::swap(snapshot_, target_);
        EXPECT_EQ(compare(CHUNK_2M, total), -1);
        EXPECT_EQ(std::string(err_), "cannot open " + missing + ": No such file or directory");
        std::swap(snapshot_, target_);
    }
}

TEST_F(BlockCompare, ZeroTotalIsIdenticalWithResetStats) {
    write(snapshot_, pattern(10));
    write(target_, std::vector<std::uint8_t>(10, 0));
    EXPECT_EQ(compare(CHUNK_2M, 0), 0);
    EXPECT_STREQ(err_, "");
    EXPECT_EQ(stats_.bytes_compared, 0u);
    EXPECT_EQ(stats_.mismatched_chunks, 0u);
    EXPECT_EQ(stats_.first_mismatch_offset, NO_MISMATCH);
    EXPECT_EQ(stats_.files_differ, 0);
}

TEST_F(BlockCompare, MessageIsOptionalAndTruncated) {
    target_ = dir_ + "/missing";
    EXPECT_EQ(compare_blocks(snapshot_.c_str(), target_.c_str(), 0, 1, &stats_, nullptr, 0), -1);
    char tiny[12];
    EXPECT_EQ(compare_blocks(snapshot_.c_str(), target_.c_str(), 0, 1, &stats_, tiny, sizeof tiny),
              -1);
    EXPECT_STREQ(tiny, "cannot open");
}

TEST_F(BlockCompare, LeavesNoDescriptorOpenOnAnyPath) {
    const int before = open_fd_count();
    auto data = pattern(3 * MiB);
    write(snapshot_, data);
    write(target_, data);
    compare(CHUNK_2M, data.size());  // identical
    compare(CHUNK_2M, 4 * MiB);      // short read
    compare(0, 0);                   // nothing to compare
    target_ = dir_ + "/missing";
    compare(CHUNK_2M, data.size());  // target cannot be opened
    EXPECT_EQ(open_fd_count(), before);
}

#if !defined(__SANITIZE_ADDRESS__)
// Runs in a child whose address space is capped just above what it already
// uses, so neither 2 MiB chunk buffer can be had.
void compare_with_address_space_cap(const char* snapshot, const char* target) {
    // Earlier tests may have left freed chunk-sized blocks in the heap; large
    // blocks must come from fresh mappings for the cap to bite.
    ::mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    ::malloc_trim(0);
    std::ifstream status("/proc/self/status");
    std::string line;
    rlim_t used_kib = 0;
    while (std::getline(status, line)) {
        if (line.rfind("VmSize:", 0) == 0) used_kib = std::strtoull(line.c_str() + 7, nullptr, 10);
    }
    rlimit cap{(used_kib + 1024) * 1024, (used_kib + 1024) * 1024};
    if (used_kib == 0 || ::setrlimit(RLIMIT_AS, &cap) != 0) std::_Exit(2);
    CompareStats stats;
    char err[400];
    int rc = compare_blocks(snapshot, target, 0, 4096, &stats, err, sizeof err);
    std::fprintf(stderr, "%d %s\n", rc, err);
    std::_Exit(rc == -1 ? 3 : 4);
}

TEST_F(BlockCompare, ReportsTheEffectiveChunkSizeWhenOutOfMemory) {
    write(snapshot_, pattern(4096));
    write(target_, pattern(4096));
    EXPECT_EXIT(compare_with_address_space_cap(snapshot_.c_str(), target_.c_str()),
                ::testing::ExitedWithCode(3), "-1 out of memory \\(chunk size 2097152\\)");
}
#endif

}  // namespace
}  // namespace qor
