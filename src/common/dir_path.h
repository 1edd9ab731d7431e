#pragma once

#include <sys/types.h>

#include <string>

#include "common/unique_fd.h"

namespace qor {

// Creates path and its missing parents, each with mode 0750 whatever the
// umask (directories that exist already are left as they are). Returns 0
// when the directory exists afterwards, ERR_EXISTS when the entry exists but is
// not a directory, or the mapped error code of the failed mkdir.
int make_dir_path(const char* path);

// Opens path with flags (which include O_CREAT) and mode into *fd; when its
// directory is missing, makes it with make_dir_path and tries once more.
// 0, or -1 with errno set (ENOENT when the directory could not be made).
int dir_path_open_creating(const std::string& path, int flags, mode_t mode, UniqueFd* fd);

}  // namespace qor
