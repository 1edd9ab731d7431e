#pragma once

namespace qor {

// Creates path and its missing parents (mode 0777 less the umask). Returns 0
// when the directory exists afterwards, ERR_EXISTS when the entry exists but is
// not a directory, or the mapped error code of the failed mkdir.
int make_dir_path(const char* path);

}  // namespace qor
