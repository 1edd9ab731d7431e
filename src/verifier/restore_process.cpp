#include "verifier/restore_process.h"

#include <signal.h>

#include <cerrno>
#include <cstring>

#include "common/child_process.h"
#include "common/interrupt.h"
#include "common/monotonic_clock.h"
#include "common/text.h"

namespace qor {

namespace {

// Fills args with the restore command line; returns the number of words.
int restore_build_argv(const char* meta_path, const char* search_dir, const char* target_path,
                       int no_progress, char* const* forward_argv, int forward_argc,
                       const char* (&args)[RESTORE_ARGV_MAX]) {
    int n = 0;
    args[n++] = "qor_restore";
    args[n++] = "--meta";
    args[n++] = meta_path;
    if (search_dir != nullptr && search_dir[0] != '\0') {
        args[n++] = "--search-dir";
        args[n++] = search_dir;
    }
    args[n++] = "--target";
    args[n++] = target_path;
    args[n++] = "--assume-zeroed";
    if (no_progress) args[n++] = "--no-progress";
    // Forwarded words beyond what fits are dropped; the last slot stays the terminator.
    for (int i = 0; forward_argv != nullptr && i < forward_argc && n < RESTORE_ARGV_MAX - 1; ++i) {
        args[n++] = forward_argv[i];
    }
    args[n] = nullptr;
    return n;
}

constexpr int WAIT_STEP_MS = 100;                // bounds how late an interruption is noticed
constexpr std::int64_t STOP_GRACE_SECONDS = 10;  // to stop cleanly

// Stops an interrupted restore: its group gets SIGTERM, and SIGKILL when it
// has not ended within the grace period. The period is read from the clock,
// not counted in sleeps, which any signal (a progress request) cuts short.
void restore_stop(ChildProcess& child) {
    child.kill_group(SIGTERM);
    const std::int64_t start = monotonic_seconds();
    while (monotonic_seconds() - start < STOP_GRACE_SECONDS) {
        if (child.has_ended()) return;
        child.sleep_until_exit(WAIT_STEP_MS);
    }
    child.kill_group(SIGKILL);
}

// Exit status of a normal exit, or -1 for a signal, a failed wait or an
// interruption of our own run. There is no time limit: restores take long.
int restore_wait(ChildProcess& child) {
    for (;;) {
        if (interrupt_should_abort()) {
            restore_stop(child);
            child.reap();
            return -1;
        }
        if (child.has_ended()) break;
        child.sleep_until_exit(WAIT_STEP_MS);
    }
    child.reap();
    return child.exit_code();
}

}  // namespace

int run_restore(const char* meta_path, const char* search_dir, const char* target_path,
                int no_progress, char* const* forward_argv, int forward_argc, char* err,
                std::size_t err_size) {
    text_clear(err, err_size);
    const char* args[RESTORE_ARGV_MAX];
    restore_build_argv(meta_path, search_dir, target_path, no_progress, forward_argv, forward_argc,
                       args);

    // No output pipe and no deadline: the restore shares our standard streams
    // and takes as long as it takes. It also gets whatever other descriptor
    // our caller handed us, such as a key file on descriptor 3.
    ChildProcess child;
    child.keep_inherited_descriptors();
    if (child.start(args) != 0) {
        text_format(err, err_size, "fork failed: %s", std::strerror(errno));
        return -1;
    }
    int code = restore_wait(child);
    if (code == 0) return 0;
    text_format(err, err_size, "qor_restore exited with code %d", code);
    return -1;
}

}  // namespace qor
