#pragma once

#include <cstddef>
#include <cstdint>

namespace qor {

// The capture argument of run_command: the child's standard output and error
// go into the caller's buffer, or stay those of this process; or only its
// standard output is captured and its standard error is dropped, for a
// report whose rows must not be mixed with warnings.
inline constexpr int RUN_CAPTURE_OUTPUT = 1;
inline constexpr int RUN_SHARE_OUTPUT = 0;
inline constexpr int RUN_CAPTURE_STDOUT = 2;

struct CommandResult {
    int exit_code;  // 0-255 when the child exited; -1 when killed or never started
    int timed_out;  // 1 when the runner killed the child at its deadline
};

// Runs argv (argv[0] found through PATH) in a process group of its own, with
// LVM_SUPPRESS_FD_WARNINGS=1 and then the extra_env entries (name=value, may be
// null) in its environment. With capture on, standard output and error go into
// out (first out_size - 1 bytes, always NUL-terminated; out_size 0 drops them).
// At timeout_seconds the group is killed. Returns 0 when the child ran and was
// reaped (see *result), -1 when the pipe or the child could not be created.
int run_command(const char* const* argv, const char* const* extra_env,
                std::uint32_t timeout_seconds, int capture, char* out, std::size_t out_size,
                CommandResult* result);

// What a caller may add to a run. child_main, when set, runs in the child in
// place of argv's program, with the capture already on its standard output;
// its result is the child's exit status. on_stop, when set, runs after the
// child's group was killed at the deadline or on an interrupt and before the
// child is waited for: a child blocked in a request of a FUSE file system
// that its daemon has already taken does not end on SIGKILL until that
// request is undone.
struct CommandHooks {
    int (*child_main)(const void* context);
    void (*on_stop)(const void* context);
    const void* context;
};

// run_command with hooks (null: none).
int run_command_hooked(const char* const* argv, const char* const* extra_env,
                       std::uint32_t timeout_seconds, int capture, char* out, std::size_t out_size,
                       CommandResult* result, const CommandHooks* hooks);

// Runs argv with capture on and no extra environment; true when it ran and
// exited with status 0, the only outcome a caller counts as success.
bool run_command_succeeded(const char* const* argv, std::uint32_t timeout_seconds, char* out,
                           std::size_t out_size);

}  // namespace qor
