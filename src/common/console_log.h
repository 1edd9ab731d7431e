#pragma once

// The console logger: timestamped, levelled lines on standard error,
// "2026-12-07T21:08:39Z [tag] LEVEL message".
namespace qor {

inline constexpr unsigned RUNLOG_DEBUG = 0;
inline constexpr unsigned RUNLOG_INFO = 1;
inline constexpr unsigned RUNLOG_WARN = 2;
inline constexpr unsigned RUNLOG_ERROR = 3;

// Sets the tag (cut to 63 characters) and the minimum level; the first call
// also creates the mutex that keeps lines whole.
void runlog_console_init(const char* tag, int min_level);

// Writes one line to standard error unless level is below the minimum level.
void runlog_log(unsigned level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

}  // namespace qor
