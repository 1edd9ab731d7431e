// One whole comparison, as the verifier runs it, for bench/byte-mode-bench:
//   compare_run SNAPSHOT TARGET CHUNK_SIZE TOTAL_SIZE
// prints the wall seconds, the result, the mismatched chunks and the peak
// resident set of the process in KiB on one line.
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>

#include "common/monotonic_clock.h"
#include "compare/block_compare.h"

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: compare_run SNAPSHOT TARGET CHUNK_SIZE TOTAL_SIZE\n");
        return 2;
    }
    const auto chunk = static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 0));
    const std::uint64_t total = std::strtoull(argv[4], nullptr, 0);
    qor::CompareStats stats{};
    char err[400];
    const std::int64_t start = qor::monotonic_ns();
    const int rc = qor::compare_blocks(argv[1], argv[2], chunk, total, &stats, err, sizeof err);
    const double seconds = static_cast<double>(qor::monotonic_ns() - start) * 1e-9;
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    std::printf("%.6f %d %llu %ld\n", seconds, rc,
                static_cast<unsigned long long>(stats.mismatched_chunks), usage.ru_maxrss);
    if (rc < 0) std::fprintf(stderr, "compare_run: %s\n", err);
    return rc < 0 ? 1 : 0;
}
