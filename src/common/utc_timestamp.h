#pragma once

#include <cstddef>
#include <cstdint>

namespace qor {

inline constexpr std::size_t UTC_TIMESTAMP_BYTES = 32;

// Formats the current time, in whole seconds, as "2026-12-07T21:08:39Z" into
// buf; an empty string if the clock cannot be converted.
void utc_timestamp(char* buf, std::size_t size);

// The same for `seconds` since the epoch.
void utc_timestamp_at(std::int64_t seconds, char* buf, std::size_t size);

}  // namespace qor
