#include "verifier/restore_process.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

// Exit status of a normal exit, or -1 for a signal or a failed wait.
int restore_wait(pid_t pid) {
    int status = 0;
    pid_t got;
    do {
        got = ::waitpid(pid, &status, 0);
    } while (got < 0 && errno == EINTR);
    if (got != pid) return -1;
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
