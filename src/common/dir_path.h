#pragma once

namespace qor {

// Creates path and its missing parents, each with mode 0750 whatever the
// umask (directories that exist already are left as they are). Returns 0
// when the directory exists afterwards, ERR_EXISTS when the entry exists but is
// not a directory, or the mapped error code of the failed mkdir.
int make_dir_path(const char* path);

}  // namespace qor
