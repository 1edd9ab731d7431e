#pragma once

#include <cstddef>

namespace qor {

inline constexpr std::size_t UTC_TIMESTAMP_BYTES = 32;

// Formats the current time, in whole seconds, as "2026-12-07T21:08:39Z" into
// buf; an empty string if the clock cannot be converted.
void utc_timestamp(char* buf, std::size_t size);

}  // namespace qor
