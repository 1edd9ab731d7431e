#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// Progress on request: a run prints nothing of its own while it works, but
// SIGUSR1 asks for one line saying where it is. The handler only records the
// request; the line is written from the run itself, at its waiting points and
// between chunks, through the console logger.
namespace qor {

enum class ProgressPhase { none, preparing, restoring, mounting, comparing, removing };

// Installs the recording handler for SIGUSR1 with SA_RESTART, so that a
// request cuts no read, write or wait short beyond what a poll or a sleep
// always is (and those are repeated by their callers). Also unblocks SIGUSR1,
// which a parent may hold back until this handler is in place. A child keeps
// nothing of it: exec resets a caught signal to its default action. A
// SIGUSR1 ignored at start is left ignored.
void progress_install();

// True, once, when SIGUSR1 arrived since the last time this answered true.
bool progress_take_request();

// The phase now running; restarts its clock. total_bytes, for the byte
// comparison, is what it will compare; the byte and pair counts restart at 0.
void progress_set_phase(ProgressPhase phase, std::uint64_t total_bytes = 0);

// Counts bytes the comparison has compared.
void progress_add_bytes(std::uint64_t bytes);

// The file comparison is at pair `index` (from 0) of `count`; `whole` when
// the images are compared whole rather than per partition.
void progress_set_pair(int index, int count, bool whole);

// The metadata walk of the current pair counts the entries it has compared
// in *entries, memory it shares with the walking child; null when none runs.
void progress_watch_entries(const std::atomic<std::uint64_t>* entries);

// Writes the progress line when a request is pending and a phase is set;
// before the first phase a request is kept for later.
void progress_report_if_asked();

// Where a run stands, as the progress line describes it.
struct ProgressState {
    ProgressPhase phase = ProgressPhase::none;
    std::int64_t phase_started_ns = 0;  // monotonic clock
    std::uint64_t total_bytes = 0;
    std::uint64_t done_bytes = 0;
    int pair_index = -1;  // -1: no pair yet
    int pair_count = 0;
    bool whole = false;
    bool walking = false;       // the metadata walk of the pair runs
    std::uint64_t entries = 0;  // entries it has compared so far
};

// The progress line for state at now_ns (monotonic), without time stamp:
// "progress: comparing, 1073741824 of 4294967296 bytes (25.0%), 512.0 MiB/s,
// about 6 s left", "progress: comparing, partition pair 2 of 3, for 40 s",
// "progress: restoring, for 12 s".
void progress_format(const ProgressState& state, std::int64_t now_ns, char* buf, std::size_t size);

// "preparing", "restoring", "mounting", "comparing", "removing" or "starting".
const char* progress_phase_name(ProgressPhase phase);

}  // namespace qor
