#include "common/child_process.h"

#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/progress.h"

namespace qor {
namespace {

// Where a program is looked for when PATH is not set at all.
constexpr const char* DEFAULT_SEARCH_PATH = "/usr/sbin:/usr/bin:/sbin:/bin";
constexpr std::size_t CANDIDATE_BYTES = 4096;

// Closes every descriptor above 2, so that no program we start holds a file
// that this process, or whoever started it, left open without close-on-exec.
void child_close_inherited() {
    if (::syscall(SYS_close_range, 3U, ~0U, 0U) == 0) return;
    // Kernels before 5.9 have no close_range: close up to the descriptor limit.
    rlimit limit{};
    rlim_t end = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                     ? limit.rlim_cur
                     : 65536;
    for (rlim_t fd = 3; fd < end; ++fd) ::close(static_cast<int>(fd));
}

// The PATH search of execvp without its two traps: an empty or relative entry
// names the working directory, where anyone may have put a program of the
// tool's name. A name holding a "/" is run as given. Returns only on failure.
void child_exec_through_path(const char* const* argv) {
    char* const* args = const_cast<char* const*>(argv);
    const char* name = argv[0];
    if (std::strchr(name, '/') != nullptr) {
        ::execv(name, args);
        return;
    }
    const std::size_t name_len = std::strlen(name);
    const char* search = ::getenv("PATH");
    if (search == nullptr) search = DEFAULT_SEARCH_PATH;
    char candidate[CANDIDATE_BYTES];
    for (const char* entry = search;; ++entry) {
        const char* end = ::strchrnul(entry, ':');
        const auto dir_len = static_cast<std::size_t>(end - entry);
        if (dir_len > 0 && entry[0] == '/' && dir_len + 1 + name_len < sizeof candidate) {
            std::memcpy(candidate, entry, dir_len);
            candidate[dir_len] = '/';
            std::memcpy(candidate + dir_len + 1, name, name_len + 1);
            ::execv(candidate, args);
        }
        if (*end == '\0') return;
        entry = end;
    }
}

// Between fork and exec, in the child. Never returns.
[[noreturn]] void child_exec(const char* const* argv, ChildProcess::Setup setup,
                             const void* context, bool keep_inherited) {
    ::setpgid(0, 0);
    if (setup != nullptr) setup(context);
    // This is the one point every child passes between the caller's setup and
    // its program. Signals: exec resets the ones the parent handles to their
    // default and keeps ignored ones ignored.
    if (!keep_inherited) child_close_inherited();
    child_exec_through_path(argv);
    // No exit handlers and no stdio flush: those belong to the parent.
    ::_exit(CHILD_EXEC_FAILED);
}

}  // namespace

int child_exit_code(int wait_status) {
    return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
}

ChildProcess::~ChildProcess() {
    if (pid_is_ours()) reap();
}

int ChildProcess::start(const char* const* argv, Setup setup, const void* context) {
    pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) child_exec(argv, setup, context, keep_inherited_);
    // Also done here, so the group exists whichever side runs first.
    ::setpgid(pid, pid);
    pid_ = pid;
    exit_fd_.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    return 0;
}

bool ChildProcess::has_ended(bool block) {
    if (!pid_is_ours()) return true;
    if (ended_) return true;
    if (!block) progress_report_if_asked();
    siginfo_t info{};
    int flags = WEXITED | WNOWAIT | (block ? 0 : WNOHANG);
    while (::waitid(P_PID, static_cast<id_t>(pid_), &info, flags) != 0) {
        if (errno != EINTR) return true;  // already reaped elsewhere: nothing left to wait for
    }
    if (info.si_pid == 0) return false;
    ended_ = true;
    return true;
}

void ChildProcess::sleep_until_exit(int max_ms) const {
    if (exit_fd_.is_open()) {
        pollfd pfd{exit_fd_.get(), POLLIN, 0};
        ::poll(&pfd, 1, max_ms);
        return;
    }
    timespec pause{max_ms / 1000, (max_ms % 1000) * 1'000'000L};
    ::nanosleep(&pause, nullptr);
}

void ChildProcess::kill_group(int signum) const {
    if (pid_is_ours()) ::kill(-pid_, signum);
}

void ChildProcess::kill_child(int signum) const {
    if (pid_is_ours()) ::kill(pid_, signum);
}

void ChildProcess::reap() {
    if (!pid_is_ours()) return;
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(pid_, &status, 0);
    } while (r < 0 && errno == EINTR);
    exit_code_ = r == pid_ ? child_exit_code(status) : -1;
    term_signal_ = r == pid_ && WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    reaped_ = true;
    exit_fd_.reset();
}

}  // namespace qor
