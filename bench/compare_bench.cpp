// Compares two identical 1 GiB files held in the page cache with compare_blocks
// at the default chunk size, and hashes the same 2 GiB alone, side by side as
// the comparison does, so the cost of reading can be read off the ratio of the two.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>

#include "common/sha256_pair.h"
#include "common/unique_fd.h"
#include "compare/block_compare.h"

namespace {

constexpr std::uint64_t FILE_BYTES = 1ull << 30;
constexpr std::size_t BUFFER_BYTES = qor::DEFAULT_CHUNK_SIZE;

std::string g_snapshot;
std::string g_target;

bool write_file(const std::string& path, const std::uint8_t* block) {
    qor::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
    if (!fd.is_open()) return false;
    for (std::uint64_t done = 0; done < FILE_BYTES; done += BUFFER_BYTES) {
        if (::write(fd.get(), block, BUFFER_BYTES) != static_cast<ssize_t>(BUFFER_BYTES)) {
            return false;
        }
    }
    // Flushed so that write-back does not run during the measurement.
    return ::fsync(fd.get()) == 0;
}

// Drops the freshly written pages and reads the file once, so that the page
// cache holds it the way a read of a device fills it (through read-ahead),
// not the way the writes left it.
bool warm_file(const std::string& path, std::uint8_t* block) {
    qor::UniqueFd fd(::open(path.c_str(), O_RDONLY));
    if (!fd.is_open()) return false;
    if (::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_DONTNEED) != 0) return false;
    while (true) {
        ssize_t n = ::read(fd.get(), block, BUFFER_BYTES);
        if (n < 0) return false;
        if (n == 0) return true;
    }
}

bool make_inputs(const std::string& dir) {
    auto block = std::make_unique<std::uint8_t[]>(BUFFER_BYTES);
    std::mt19937_64 rng(42);
    for (std::size_t i = 0; i < BUFFER_BYTES; i += 8) {
        std::uint64_t v = rng();
        std::memcpy(block.get() + i, &v, 8);
    }
    g_snapshot = dir + "/snapshot.img";
    g_target = dir + "/target.img";
    return write_file(g_snapshot, block.get()) && write_file(g_target, block.get()) &&
           warm_file(g_snapshot, block.get()) && warm_file(g_target, block.get());
}

void BM_CompareBlocks(benchmark::State& state) {
    qor::CompareStats stats{};
    char err[400];
    for (auto _ : state) {
        int rc = qor::compare_blocks(g_snapshot.c_str(), g_target.c_str(), 0, FILE_BYTES, &stats,
                                     err, sizeof err);
        if (rc != 0) {
            state.SkipWithError(err);
            break;
        }
        benchmark::DoNotOptimize(stats);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * 2 * FILE_BYTES));
}

void BM_Sha256Alone(benchmark::State& state) {
    auto block = std::make_unique<std::uint8_t[]>(BUFFER_BYTES);
    std::memset(block.get(), 0x5A, BUFFER_BYTES);
    std::uint8_t digest[2][qor::SHA256_DIGEST_BYTES];
    qor::Sha256Pair pair;
    for (auto _ : state) {
        for (std::uint64_t done = 0; done < 2 * FILE_BYTES; done += 2 * BUFFER_BYTES) {
            pair.update(block.get(), block.get(), BUFFER_BYTES);
            pair.finish(digest[0], digest[1]);
            benchmark::DoNotOptimize(digest);
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * 2 * FILE_BYTES));
}

// Keeps the mean seconds per iteration of each benchmark, wall clock and CPU,
// over all repetitions, for the summary after the console report.
class TimeReporter : public benchmark::ConsoleReporter {
  public:
    struct Times {
        double real = 0;
        double cpu = 0;
        int runs = 0;
    };

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
            Times& t = times[run.run_name.function_name];
            t.real += run.GetAdjustedRealTime() * 1e-9;
            t.cpu += run.GetAdjustedCPUTime() * 1e-9;
            ++t.runs;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    std::map<std::string, Times> times;
};

// Peak resident set of one comparison alone, measured in a child of its own so
// that the benchmark's set-up buffers do not count.
long compare_peak_rss_kib() {
    pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        qor::CompareStats stats{};
        char err[400];
        int rc = qor::compare_blocks(g_snapshot.c_str(), g_target.c_str(), 0, FILE_BYTES, &stats,
                                     err, sizeof err);
        ::_exit(rc == 0 ? 0 : 1);
    }
    int status = 0;
    struct rusage usage {};
    if (::wait4(pid, &status, 0, &usage) != pid) return -1;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return usage.ru_maxrss;
}

void print_summary(const TimeReporter::Times& compare, const TimeReporter::Times& hash) {
    if (compare.runs == 0 || hash.runs == 0) return;
    const double bytes = 2.0 * FILE_BYTES / (1 << 20);
    const double compare_real = compare.real / compare.runs;
    const double compare_cpu = compare.cpu / compare.runs;
    const double hash_real = hash.real / hash.runs;
    const double hash_cpu = hash.cpu / hash.runs;
    std::printf("over 2 GiB          wall s   MiB/s     CPU s   MiB/s\n");
    std::printf("compare_blocks    %8.3f %7.0f  %8.3f %7.0f\n", compare_real, bytes / compare_real,
                compare_cpu, bytes / compare_cpu);
    std::printf("sha256 alone      %8.3f %7.0f  %8.3f %7.0f\n", hash_real, bytes / hash_real,
                hash_cpu, bytes / hash_cpu);
    std::printf("ratio compare/sha256: wall %.3f, CPU %.3f\n", compare_real / hash_real,
                compare_cpu / hash_cpu);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    char dir_template[] = "/var/tmp/compare_bench.XXXXXX";
    if (::mkdtemp(dir_template) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = dir_template;
    int rc = 1;
    if (make_inputs(dir)) {
        benchmark::RegisterBenchmark("compare_blocks", BM_CompareBlocks)->MinTime(5.0);
        benchmark::RegisterBenchmark("sha256_alone", BM_Sha256Alone)->MinTime(5.0);
        TimeReporter reporter;
        benchmark::RunSpecifiedBenchmarks(&reporter);
        print_summary(reporter.times["compare_blocks"], reporter.times["sha256_alone"]);
        std::printf("peak RSS of one comparison: %ld KiB\n", compare_peak_rss_kib());
        struct rusage self {};
        ::getrusage(RUSAGE_SELF, &self);
        std::printf("peak RSS of this process:   %ld KiB\n", self.ru_maxrss);
        rc = 0;
    } else {
        std::perror("cannot create the input files");
    }
    ::unlink(g_snapshot.c_str());
    ::unlink(g_target.c_str());
    ::rmdir(dir.c_str());
    benchmark::Shutdown();
    return rc;
}
