#pragma once

#include <cstdint>

namespace qor {

inline constexpr std::int32_t MODE_BYTE = 0;
inline constexpr std::int32_t MODE_FS = 1;

// What main hands to the verification sequence. Texts point into the process's
// argument vector (search_dir into main's buffer when it was derived).
struct VerifyOptions {
    const char* meta_path;
    const char* search_dir;   // may be empty
    std::int32_t mode;        // MODE_BYTE or MODE_FS
    const char* target_lv;    // "<vg>/<lv>" or null
    const char* target_file;  // or null
    std::int32_t keep_restored;
    std::int32_t remove_snapshot_after;
    char** forward_argv;  // words after the first "--", or null
    std::int32_t forward_argc;
    std::int32_t no_progress;
};

}  // namespace qor
