#pragma once

// For the test world's small tools: "<program>: <message>" on standard error,
// then exit status 1.
#include <errno.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace qor::test {

[[noreturn]] __attribute__((format(printf, 1, 2))) inline void die(const char* fmt, ...) {
    std::fprintf(stderr, "%s: ", program_invocation_short_name);
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    std::fputc('\n', stderr);
    std::exit(1);
}

}  // namespace qor::test
