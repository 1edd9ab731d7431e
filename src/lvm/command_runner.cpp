#include "lvm/command_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/interrupt.h"
#include "common/unique_fd.h"

namespace qor {
namespace {

constexpr std::size_t READ_CHUNK = 512;
constexpr int POLL_WAIT_MS = 100;
constexpr long PACE_CAPTURE_NS = 100'000'000;
constexpr long PACE_PLAIN_NS = 50'000'000;
constexpr int EXEC_FAILED_STATUS = 127;
constexpr std::size_t PIPE_CAPACITY_FALLBACK = 65536;

// The caller's buffer, kept a NUL-terminated string at every moment.
struct Capture {
    char* out;
    std::size_t size;
    std::size_t len;
};

struct Child {
    pid_t pid = -1;
    time_t start_sec = 0;
    std::uint32_t timeout_seconds = 0;
    // The child has ended but is not reaped yet; its zombie keeps the pid, so
    // the group id cannot be reused by an unrelated process while we hold it.
    bool ended = false;
    // Becomes readable when the child ends, so the readiness wait returns at
    // once instead of at the end of its interval; absent on old kernels.
    UniqueFd exit_fd;
};

time_t monotonic_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec;
}

// Whole seconds only, as promised to callers: the kill comes between
// timeout - 1 and timeout seconds after the start.
bool deadline_has_passed(const Child& child) {
    return monotonic_seconds() - child.start_sec >= static_cast<time_t>(child.timeout_seconds);
}

void pause_ns(long ns) {
    timespec ts{0, ns};
    nanosleep(&ts, nullptr);
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

// Never returns: either the program runs or the child ends with 127, without
// running exit handlers or flushing stdio buffers it shares with the parent.
[[noreturn]] void child_exec(const char* const* argv, const char* const* extra_env, int read_fd,
                             int write_fd) {
    setpgid(0, 0);
    if (write_fd >= 0) {
        // A copy above 2 first, so that neither dup2 below can clobber it even
        // when the pipe itself landed on descriptor 1 or 2.
        int w = fcntl(write_fd, F_DUPFD, 3);
        if (w < 0) _exit(EXEC_FAILED_STATUS);
        close(read_fd);
        close(write_fd);
        if (dup2(w, STDOUT_FILENO) < 0 || dup2(w, STDERR_FILENO) < 0) _exit(EXEC_FAILED_STATUS);
        close(w);
    }
    setenv("LVM_SUPPRESS_FD_WARNINGS", "1", 1);
    for (const char* const* e = extra_env; e != nullptr && *e != nullptr; ++e) {
        char* copy = strdup(*e);
        if (copy != nullptr) putenv(copy);
    }
    execvp(argv[0], const_cast<char* const*>(argv));
    _exit(EXEC_FAILED_STATUS);
}

// Starts the child; with capture on, *read_end receives the parent's end of
// the pipe. Both ends are close-on-exec so no other child inherits them.
int child_spawn(const char* const* argv, const char* const* extra_env, bool capture,
                UniqueFd* read_end, pid_t* pid_out) {
    UniqueFd write_end;
    if (capture) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return -1;
        read_end->reset(fds[0]);
        write_end.reset(fds[1]);
    }
    pid_t pid = fork();
    if (pid < 0) {
        read_end->reset();
        return -1;
    }
    if (pid == 0) child_exec(argv, extra_env, read_end->get(), write_end.get());
    // Also done here, so the group exists whichever side runs first.
    setpgid(pid, pid);
    *pid_out = pid;
    return 0;
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
void pipe_drain(UniqueFd& pipe, Capture& cap, const Child& child) {
    while (pipe.is_open()) {
        if (deadline_has_passed(child) || interrupt_should_abort()) {
            if (child.ended) kill(-child.pid, SIGKILL);
            pipe_take_buffered(pipe, cap);
            return;
        }
        pipe_pump(pipe, cap, POLL_WAIT_MS);
    }
}

// Asks whether the child has ended without reaping it.
bool child_has_ended(Child& child, bool block) {
    siginfo_t info{};
    int flags = WEXITED | WNOWAIT | (block ? 0 : WNOHANG);
    while (waitid(P_PID, static_cast<id_t>(child.pid), &info, flags) != 0) {
        if (errno != EINTR) return true;  // already reaped elsewhere: nothing left to wait for
    }
    if (info.si_pid == 0) return false;
    child.ended = true;
    return true;
}

// Kills the child's group and the child, then waits for it to end.
void child_kill(Child& child) {
    kill(-child.pid, SIGKILL);
    kill(child.pid, SIGKILL);
    child_has_ended(child, true);
}

// Waits up to one interval for the child to end, without reaping it.
void child_pace(Child& child, bool capture) {
    if (child.exit_fd.is_open()) {
        pollfd pfd{child.exit_fd.get(), POLLIN, 0};
        poll(&pfd, 1, POLL_WAIT_MS);
        return;
    }
    pause_ns(capture ? PACE_CAPTURE_NS : PACE_PLAIN_NS);
}

// Runs until the child has ended or was killed at its deadline.
void child_wait(Child& child, UniqueFd& pipe, Capture& cap, bool capture, CommandResult* result) {
    for (;;) {
        if (pipe.is_open()) {
            pipe_pump(pipe, cap, POLL_WAIT_MS, child.exit_fd.get());
        } else {
            child_pace(child, capture);
        }
        if (child_has_ended(child, false)) return;
        if (deadline_has_passed(child)) {
            child_kill(child);
            result->timed_out = 1;
            return;
        }
        // An interrupted run stops its command the same way, without the
        // timed-out mark: the caller sees a command that was killed.
        if (interrupt_should_abort()) {
            child_kill(child);
            return;
        }
    }
}

// Reaps exactly our child; the exit code is kept only for a normal exit.
void child_reap(const Child& child, CommandResult* result) {
    int status = 0;
    pid_t r;
    do {
        r = waitpid(child.pid, &status, 0);
    } while (r < 0 && errno == EINTR);
    if (r == child.pid && WIFEXITED(status)) result->exit_code = WEXITSTATUS(status);
}

}  // namespace

int run_command(const char* const* argv, const char* const* extra_env,
                std::uint32_t timeout_seconds, int capture, char* out, std::size_t out_size,
                CommandResult* result) {
    if (result == nullptr) return -1;
    result->exit_code = -1;
    result->timed_out = 0;
    if (argv == nullptr || argv[0] == nullptr) return -1;

    Capture cap{out, out != nullptr ? out_size : 0, 0};
    if (capture != 0 && cap.size != 0) cap.out[0] = '\0';

    UniqueFd pipe;
    Child child;
    if (child_spawn(argv, extra_env, capture != 0, &pipe, &child.pid) != 0) return -1;
    child.start_sec = monotonic_seconds();
    child.timeout_seconds = timeout_seconds;
    child.exit_fd.reset(static_cast<int>(syscall(SYS_pidfd_open, child.pid, 0)));

    child_wait(child, pipe, cap, capture != 0, result);
    pipe_drain(pipe, cap, child);
    child_reap(child, result);
    return 0;
}

bool run_command_succeeded(const char* const* argv, std::uint32_t timeout_seconds, char* out,
                           std::size_t out_size) {
    CommandResult result{};
    return run_command(argv, nullptr, timeout_seconds, 1, out, out_size, &result) == 0 &&
           result.exit_code == 0;
}

}  // namespace qor
