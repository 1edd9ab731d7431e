#pragma once

#include <cstddef>

namespace qor {

inline constexpr int RESTORE_ARGV_MAX = 128;  // entries, the terminating null included

// Runs "qor_restore --meta ... --target ... --assume-zeroed" (plus the
// optional and forwarded words) in its own process group, sharing our standard
// streams and every descriptor this process was started with, and waits
// without a time limit. 0 when it exited with status 0,
// else -1 with one sentence in err.
int run_restore(const char* meta_path, const char* search_dir, const char* target_path,
                int no_progress, char* const* forward_argv, int forward_argc, char* err,
                std::size_t err_size);

}  // namespace qor
