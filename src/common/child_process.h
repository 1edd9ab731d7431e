#pragma once

#include <sys/types.h>

#include "common/unique_fd.h"

namespace qor {

// Exit status of a child that could not run its program.
inline constexpr int CHILD_EXEC_FAILED = 127;

// Decodes a wait status: the exit status (0-255) of a child that exited, or
// -1 for one that was ended by a signal.
int child_exit_code(int wait_status);

// One child process, running a program found through the absolute entries of
// PATH in a process group of its own, so that a Ctrl-C at the terminal does not
// reach it and a kill of its group reaches all it started. It gets descriptors
// 0, 1 and 2 only, unless told to keep what it inherits. Owns the pid and, where the kernel offers
// one, a pidfd that becomes readable when the child ends. The child is reaped
// at the latest in the destructor, so no path leaves a zombie behind.
class ChildProcess {
  public:
    // Runs in the child between fork and exec, for what one caller needs there
    // (its output pipe, its environment). It may end the child with _exit.
    using Setup = void (*)(const void* context);

    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The next start passes on every descriptor without close-on-exec, as a
    // plain fork and exec would: for a program that reads what its caller
    // handed to this process ("--key-file /dev/fd/3"). Every descriptor of
    // this process's own is opened close-on-exec, so none of those reaches it.
    void keep_inherited_descriptors() { keep_inherited_ = true; }

    // Starts argv[0] with argv as its arguments. A program that cannot be
    // executed shows up as exit status CHILD_EXEC_FAILED. Returns 0, or -1
    // with errno set when no child could be made.
    int start(const char* const* argv, Setup setup = nullptr, const void* context = nullptr);

    // Whether the child has ended, without reaping it: its zombie keeps the
    // pid and so the group id, which no unrelated process can then take over.
    // A failed wait also counts as ended, as there is nothing left to wait for.
    // A caller that asks is waiting for the child, so a progress request that
    // arrived meanwhile is answered here (common/progress.h).
    bool has_ended(bool block = false);
    // True once has_ended has seen the child end (not a failed wait).
    bool is_ended() const { return ended_; }

    // Sleeps until the child ends or max_ms milliseconds have passed; with no
    // pidfd it sleeps the whole interval. A signal cuts the sleep short.
    void sleep_until_exit(int max_ms) const;

    // Sends signum to the child's whole process group, while its pid is ours.
    void kill_group(int signum) const;
    // Sends signum to the child itself, while its pid is ours.
    void kill_child(int signum) const;

    // Waits (EINTR retried) until the child has ended and reaps it.
    void reap();
    // After reap: the decoded status, -1 for a signal or a failed wait.
    int exit_code() const { return exit_code_; }
    // After reap: the signal that ended the child, or 0.
    int term_signal() const { return term_signal_; }

    // Readable once the child has ended; -1 when the kernel has no pidfd.
    int exit_fd() const { return exit_fd_.get(); }

  private:
    bool pid_is_ours() const { return pid_ > 0 && !reaped_; }

    pid_t pid_ = -1;
    bool keep_inherited_ = false;
    bool ended_ = false;
    bool reaped_ = false;
    int exit_code_ = -1;
    int term_signal_ = 0;
    UniqueFd exit_fd_;
};

}  // namespace qor
