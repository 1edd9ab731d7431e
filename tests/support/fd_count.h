#pragma once

// Test helper: how many descriptors this process holds, to show that an
// operation closed every one it opened.
#include <dirent.h>

namespace qor::test {

inline int open_fd_count() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int count = 0;
    while (dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.';
    ::closedir(dir);
    return count;
}

}  // namespace qor::test
