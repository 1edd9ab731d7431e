#include "verifier/restore_process.h"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/interrupt.h"
#include "common/text.h"
#include "common/unique_fd.h"

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

constexpr int STOP_GRACE_TICKS = 100;  // 100 ms each: ten seconds to stop cleanly

// Stops an interrupted restore: its group gets SIGTERM, and SIGKILL when it
// has not ended within the grace period. Always reaps the child.
void restore_stop(pid_t pid, int* status) {
    ::kill(-pid, SIGTERM);
    for (int tick = 0; tick < STOP_GRACE_TICKS; ++tick) {
        if (::waitpid(pid, status, WNOHANG) != 0) return;
        timespec pause{0, 100'000'000};
        ::nanosleep(&pause, nullptr);
    }
    ::kill(-pid, SIGKILL);
    while (::waitpid(pid, status, 0) < 0 && errno == EINTR) {
    }
}

// Sleeps until the child ends, a signal arrives, or 100 ms pass; the short
// interval bounds how late an interruption is noticed.
void restore_pause(const UniqueFd& exit_fd) {
    if (exit_fd.is_open()) {
        pollfd pfd{exit_fd.get(), POLLIN, 0};
        ::poll(&pfd, 1, 100);
        return;
    }
    timespec pause{0, 100'000'000};
    ::nanosleep(&pause, nullptr);
}

// Exit status of a normal exit, or -1 for a signal, a failed wait or an
// interruption of our own run. There is no time limit: restores take long.
int restore_wait(pid_t pid) {
    UniqueFd exit_fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    int status = 0;
    for (;;) {
        if (interrupt_should_abort()) {
            restore_stop(pid, &status);
            return -1;
        }
        pid_t got = ::waitpid(pid, &status, WNOHANG);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 || (got != 0 && got != pid)) return -1;
        if (got == pid) break;
        restore_pause(exit_fd);
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return -1;
}

}  // namespace

int run_restore(const char* meta_path, const char* search_dir, const char* target_path,
                int no_progress, char* const* forward_argv, int forward_argc, char* err,
                std::size_t err_size) {
    text_clear(err, err_size);
    const char* args[RESTORE_ARGV_MAX];
    restore_build_argv(meta_path, search_dir, target_path, no_progress, forward_argv, forward_argc,
                       args);

    pid_t pid = ::fork();
    if (pid < 0) {
        text_format(err, err_size, "fork failed: %s", std::strerror(errno));
        return -1;
    }
    if (pid == 0) {
        // Own process group, so a Ctrl-C at the terminal does not reach the restore.
        ::setpgid(0, 0);
        ::execvp(args[0], const_cast<char* const*>(args));
        ::_exit(127);
    }
    ::setpgid(pid, pid);  // whichever of the two runs first, the group exists

    int code = restore_wait(pid);
    if (code == 0) return 0;
    text_format(err, err_size, "qor_restore exited with code %d", code);
    return -1;
}

}  // namespace qor
