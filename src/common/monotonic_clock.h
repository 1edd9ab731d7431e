#pragma once

#include <time.h>

#include <cstdint>

// The monotonic clock, for deadlines, grace periods and durations that a
// change of the wall clock must not bend.
namespace qor {

inline std::int64_t monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

inline std::int64_t monotonic_seconds() {
    return monotonic_ns() / 1'000'000'000;
}

}  // namespace qor
