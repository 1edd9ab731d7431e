#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

// An invariant the code under test promises. Unlike assert() it stays on in
// optimised builds, and it writes to descriptor 2 directly so a target that
// silences the stderr stream still shows why it stopped.
#define FUZZ_CHECK(cond) \
    ((cond) ? static_cast<void>(0) : ::qor::fuzz_check_failed(#cond, __FILE__, __LINE__))

namespace qor {

[[noreturn]] inline void fuzz_check_failed(const char* what, const char* file, int line) {
    dprintf(STDERR_FILENO, "%s:%d: invariant broken: %s\n", file, line, what);
    std::abort();
}

}  // namespace qor
