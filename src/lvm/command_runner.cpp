#include "lvm/command_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/child_process.h"
#include "common/interrupt.h"
#include "common/unique_fd.h"

namespace qor {
namespace {

constexpr std::size_t READ_CHUNK = 512;
constexpr int POLL_WAIT_MS = 100;
constexpr int PLAIN_WAIT_MS = 50;
constexpr std::size_t PIPE_CAPACITY_FALLBACK = 65536;

// The caller's buffer, kept a NUL-terminated string at every moment.
struct Capture {
    char* out;
    std::size_t size;
    std::size_t len;
};

// Whole seconds only, as promised to callers: the kill comes between
// timeout - 1 and timeout seconds after the start.
struct Deadline {
    time_t start_sec;
    std::uint32_t timeout_seconds;
};

time_t monotonic_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec;
}

bool deadline_has_passed(const Deadline& deadline) {
    return monotonic_seconds() - deadline.start_sec >=
           static_cast<time_t>(deadline.timeout_seconds);
}

void capture_append(Capture& cap, const char* data, std::size_t n) {
    if (cap.size == 0) return;
    std::size_t room = cap.size - 1 - cap.len;
    std::size_t take = n < room ? n : room;
    if (take == 0) return;
    std::memcpy(cap.out + cap.len, data, take);
    cap.len += take;
    cap.out[cap.len] = '\0';
}

// What the child needs from the runner: the pipe's two ends (write end -1
// when not capturing) and the caller's extra environment.
struct ChildIo {
    int read_fd;
    int write_fd;
    bool stdout_only;
    const char* const* extra_env;
    const CommandHooks* hooks;
};

// In the child: output into the pipe, then the environment every command gets.
void child_take_pipe_and_env(const void* context) {
    const auto* io = static_cast<const ChildIo*>(context);
    if (io->write_fd >= 0) {
        // A copy above 2 first, so that neither dup2 below can clobber it even
        // when the pipe itself landed on descriptor 1 or 2.
        int w = fcntl(io->write_fd, F_DUPFD, 3);
        if (w < 0) _exit(CHILD_EXEC_FAILED);
        close(io->read_fd);
        close(io->write_fd);
        int e = w;
        if (io->stdout_only) {
            int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
            e = null_fd >= 0 ? fcntl(null_fd, F_DUPFD, 3) : -1;
            if (null_fd > STDERR_FILENO) close(null_fd);
        }
        if (e < 0 || dup2(w, STDOUT_FILENO) < 0 || dup2(e, STDERR_FILENO) < 0) {
            _exit(CHILD_EXEC_FAILED);
        }
        if (e != w) close(e);
        close(w);
    }
    setenv("LVM_SUPPRESS_FD_WARNINGS", "1", 1);
    for (const char* const* e = io->extra_env; e != nullptr && *e != nullptr; ++e) {
        char* copy = strdup(*e);
        if (copy != nullptr) putenv(copy);
    }
    if (io->hooks != nullptr && io->hooks->child_main != nullptr) {
        // No exit handlers and no stdio flush: those belong to the parent.
        _exit(io->hooks->child_main(io->hooks->context));
    }
}

// One readiness wait and at most one read. End of file or a read error closes
// the pipe, so a child that shut its output early does not make us spin.
void pipe_pump(UniqueFd& pipe, Capture& cap, int wait_ms, int exit_fd = -1) {
    pollfd pfd[2] = {{pipe.get(), POLLIN, 0}, {exit_fd, POLLIN, 0}};
    int ready = poll(pfd, exit_fd >= 0 ? 2 : 1, wait_ms);
    if (ready <= 0) return;
    if ((pfd[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) == 0) return;
    char chunk[READ_CHUNK];
    ssize_t n = read(pipe.get(), chunk, sizeof chunk);
    if (n > 0) {
        capture_append(cap, chunk, static_cast<std::size_t>(n));
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        pipe.reset();
    }
}

// Reads what is already in the pipe without waiting; bounded by the pipe's
// capacity in case a writer outside the killed group keeps producing.
void pipe_take_buffered(UniqueFd& pipe, Capture& cap) {
    int capacity = fcntl(pipe.get(), F_GETPIPE_SZ);
    std::size_t budget = capacity > 0 ? static_cast<std::size_t>(capacity) : PIPE_CAPACITY_FALLBACK;
    for (std::size_t taken = 0; pipe.is_open() && taken <= budget; taken += READ_CHUNK) {
        pollfd pfd{pipe.get(), POLLIN, 0};
        if (poll(&pfd, 1, 0) <= 0 || (pfd.revents & POLLIN) == 0) break;
        pipe_pump(pipe, cap, 0);
    }
    pipe.reset();
}

// Reads the pipe to end of file after the child has ended. A descendant may
// still hold the write end; the deadline bounds that wait, and then the group
// is killed and only what is already buffered is taken.
void pipe_drain(UniqueFd& pipe, Capture& cap, const ChildProcess& child, const Deadline& deadline) {
    while (pipe.is_open()) {
        if (deadline_has_passed(deadline) || interrupt_should_abort()) {
            if (child.is_ended()) child.kill_group(SIGKILL);
            pipe_take_buffered(pipe, cap);
            return;
        }
        pipe_pump(pipe, cap, POLL_WAIT_MS);
    }
}

// Kills the child's group and the child, undoes what may hold it, then
// waits for it to end.
void child_kill(ChildProcess& child, const CommandHooks* hooks) {
    child.kill_group(SIGKILL);
    child.kill_child(SIGKILL);
    if (hooks != nullptr && hooks->on_stop != nullptr) hooks->on_stop(hooks->context);
    child.has_ended(true);
}

// Runs until the child has ended or was killed at its deadline.
void child_wait(ChildProcess& child, const Deadline& deadline, UniqueFd& pipe, Capture& cap,
                bool capture, const CommandHooks* hooks, CommandResult* result) {
    for (;;) {
        if (pipe.is_open()) {
            pipe_pump(pipe, cap, POLL_WAIT_MS, child.exit_fd());
        } else {
            child.sleep_until_exit(capture ? POLL_WAIT_MS : PLAIN_WAIT_MS);
        }
        if (child.has_ended()) return;
        if (deadline_has_passed(deadline)) {
            child_kill(child, hooks);
            result->timed_out = 1;
            return;
        }
        // An interrupted run stops its command the same way, without the
        // timed-out mark: the caller sees a command that was killed.
        if (interrupt_should_abort()) {
            child_kill(child, hooks);
            return;
        }
    }
}

}  // namespace

int run_command(const char* const* argv, const char* const* extra_env,
                std::uint32_t timeout_seconds, int capture, char* out, std::size_t out_size,
                CommandResult* result) {
    return run_command_hooked(argv, extra_env, timeout_seconds, capture, out, out_size, result,
                              nullptr);
}

int run_command_hooked(const char* const* argv, const char* const* extra_env,
                       std::uint32_t timeout_seconds, int capture, char* out, std::size_t out_size,
                       CommandResult* result, const CommandHooks* hooks) {
    if (result == nullptr) return -1;
    result->exit_code = -1;
    result->timed_out = 0;
    if (argv == nullptr || argv[0] == nullptr) return -1;

    Capture cap{out, out != nullptr ? out_size : 0, 0};
    if (capture != 0 && cap.size != 0) cap.out[0] = '\0';

    // Both ends are close-on-exec, so no other child inherits them.
    UniqueFd pipe;
    UniqueFd write_end;
    if (capture != 0) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return -1;
        pipe.reset(fds[0]);
        write_end.reset(fds[1]);
    }
    ChildProcess child;
    const ChildIo io{pipe.get(), write_end.get(), capture == RUN_CAPTURE_STDOUT, extra_env, hooks};
    if (child.start(argv, child_take_pipe_and_env, &io) != 0) return -1;
    write_end.reset();
    const Deadline deadline{monotonic_seconds(), timeout_seconds};

    child_wait(child, deadline, pipe, cap, capture != 0, hooks, result);
    pipe_drain(pipe, cap, child, deadline);
    child.reap();
    result->exit_code = child.exit_code();
    return 0;
}

bool run_command_succeeded(const char* const* argv, std::uint32_t timeout_seconds, char* out,
                           std::size_t out_size) {
    CommandResult result{};
    return run_command(argv, nullptr, timeout_seconds, RUN_CAPTURE_OUTPUT, out, out_size,
                       &result) == 0 &&
           result.exit_code == 0;
}

}  // namespace qor
