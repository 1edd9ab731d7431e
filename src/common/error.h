#pragma once

// Suite error codes: 0 is success, every failure a small negative number.
namespace qor {

inline constexpr int ERR_GENERIC = -1;      // any other failure
inline constexpr int ERR_NOMEM = -2;        // ENOMEM
inline constexpr int ERR_INVALID = -3;      // EINVAL, or an invalid argument
inline constexpr int ERR_NOT_FOUND = -4;    // ENOENT
inline constexpr int ERR_EXISTS = -5;       // EEXIST, or an entry that is not a directory
inline constexpr int ERR_UNSUPPORTED = -6;  // newer header version, unusable GPT header
inline constexpr int ERR_FORMAT = -7;       // malformed header, data that will not expand
inline constexpr int ERR_AGAIN = -9;        // EAGAIN

// Maps a system error number to a suite error code (ENOENT, ENOMEM, EINVAL,
// EEXIST and EAGAIN to their own codes, everything else to ERR_GENERIC).
int err_from_errno(int errnum);

}  // namespace qor
