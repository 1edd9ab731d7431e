#include "common/progress.h"

#include <csignal>

#include "common/console_log.h"
#include "common/monotonic_clock.h"
#include "common/text.h"

namespace qor {
namespace {

constexpr std::size_t LINE_BYTES = 256;
constexpr double NS_PER_SECOND = 1e9;
constexpr double BYTES_PER_MIB = 1024.0 * 1024.0;

volatile std::sig_atomic_t g_requested = 0;
ProgressState g_state;
const std::atomic<std::uint64_t>* g_entries = nullptr;

extern "C" void progress_record(int) {
    g_requested = 1;
}

// "N of M bytes (P%), R MiB/s, about S s left" for the byte comparison.
void format_bytes(const ProgressState& s, double seconds, char* buf, std::size_t size) {
    const double percent =
        s.total_bytes > 0 ? 100.0 * static_cast<double>(s.done_bytes) / s.total_bytes : 100.0;
    int n = text_format(buf, size, "progress: comparing, %llu of %llu bytes (%.1f%%)",
                        static_cast<unsigned long long>(s.done_bytes),
                        static_cast<unsigned long long>(s.total_bytes), percent);
    if (n < 0 || static_cast<std::size_t>(n) >= size) return;
    const double rate = seconds > 0 ? static_cast<double>(s.done_bytes) / seconds : 0;
    if (rate <= 0) {
        text_format(buf + n, size - n, ", rate not known yet");
        return;
    }
    const double left = static_cast<double>(s.total_bytes - s.done_bytes) / rate;
    text_format(buf + n, size - n, ", %.1f MiB/s, about %.0f s left", rate / BYTES_PER_MIB, left);
}

}  // namespace

void progress_install() {
    // A SIGUSR1 ignored when we started stays ignored, as the interrupting
    // signals do, and so for the restore and every tool too.
    struct sigaction current {};
    if (sigaction(SIGUSR1, nullptr, &current) != 0 || current.sa_handler != SIG_IGN) {
        struct sigaction sa {};
        sa.sa_handler = progress_record;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        sigaction(SIGUSR1, &sa, nullptr);
    }
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    sigprocmask(SIG_UNBLOCK, &usr1, nullptr);
}

bool progress_take_request() {
    if (g_requested == 0) return false;
    g_requested = 0;
    return true;
}

void progress_set_phase(ProgressPhase phase, std::uint64_t total_bytes) {
    g_state = ProgressState{};
    g_state.phase = phase;
    g_state.phase_started_ns = monotonic_ns();
    g_state.total_bytes = total_bytes;
}

void progress_add_bytes(std::uint64_t bytes) {
    g_state.done_bytes += bytes;
}

void progress_set_pair(int index, int count, bool whole) {
    g_state.pair_index = index;
    g_state.pair_count = count;
    g_state.whole = whole;
}

void progress_watch_entries(const std::atomic<std::uint64_t>* entries) {
    g_entries = entries;
}

void progress_report_if_asked() {
    if (g_state.phase == ProgressPhase::none || !progress_take_request()) return;
    g_state.walking = g_entries != nullptr;
    g_state.entries = g_entries != nullptr ? g_entries->load(std::memory_order_relaxed) : 0;
    char line[LINE_BYTES];
    progress_format(g_state, monotonic_ns(), line, sizeof line);
    runlog_log(RUNLOG_INFO, "%s", line);
}

void progress_format(const ProgressState& state, std::int64_t now_ns, char* buf, std::size_t size) {
    const std::int64_t elapsed_ns =
        now_ns > state.phase_started_ns ? now_ns - state.phase_started_ns : 0;
    const double seconds = static_cast<double>(elapsed_ns) / NS_PER_SECOND;
    const auto whole_seconds = static_cast<long long>(elapsed_ns / 1'000'000'000);
    if (state.phase == ProgressPhase::comparing && state.pair_index >= 0) {
        char walked[64] = "";
        if (state.walking) {
            text_format(walked, sizeof walked, ", metadata of %llu entries compared",
                        static_cast<unsigned long long>(state.entries));
        }
        if (state.whole) {
            text_format(buf, size, "progress: comparing, the whole images%s, for %lld s", walked,
                        whole_seconds);
        } else {
            text_format(buf, size, "progress: comparing, partition pair %d of %d%s, for %lld s",
                        state.pair_index + 1, state.pair_count, walked, whole_seconds);
        }
    } else if (state.phase == ProgressPhase::comparing && state.total_bytes > 0) {
        format_bytes(state, seconds, buf, size);
    } else {
        text_format(buf, size, "progress: %s, for %lld s", progress_phase_name(state.phase),
                    whole_seconds);
    }
}

const char* progress_phase_name(ProgressPhase phase) {
    switch (phase) {
        case ProgressPhase::preparing:
            return "preparing";
        case ProgressPhase::restoring:
            return "restoring";
        case ProgressPhase::mounting:
            return "mounting";
        case ProgressPhase::comparing:
            return "comparing";
        case ProgressPhase::removing:
            return "removing";
        default:
            return "starting";
    }
}

}  // namespace qor
