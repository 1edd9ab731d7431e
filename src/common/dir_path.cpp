#include "common/dir_path.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "common/error.h"

namespace qor {
namespace {

constexpr std::size_t DIR_PATH_BYTES = 1100;
constexpr mode_t DIR_MODE = 0750;  // others get nothing, whatever the umask says

bool path_is_directory(const char* path) {
    struct stat st;
    return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Creates every parent of copy; failures surface when the whole path is made.
void make_parents(char* copy) {
    for (char* p = copy + 1; *p != '\0'; ++p) {
        if (*p != '/') continue;
        *p = '\0';
        ::mkdir(copy, DIR_MODE);
        *p = '/';
    }
}

}  // namespace

int make_dir_path(const char* path) {
    if (path == nullptr) return ERR_INVALID;
    // A cut copy would create a different, shorter path than the one asked for.
    std::size_t length = std::strlen(path);
    if (length >= DIR_PATH_BYTES) return err_from_errno(ENAMETOOLONG);
    char copy[DIR_PATH_BYTES];
    std::memcpy(copy, path, length + 1);

    // The umask is cleared only around the mkdir calls, so that a permissive
    // one (000 under some cron set-ups) cannot open the directories to all;
    // the program is single-threaded, so nothing else creates files meanwhile.
    const mode_t caller_mask = ::umask(0);
    if (copy[0] != '\0') make_parents(copy);
    const int made = ::mkdir(copy, DIR_MODE);
    const int err = errno;
    ::umask(caller_mask);
    if (made == 0) return 0;
    if (err == EEXIST) return path_is_directory(copy) ? 0 : ERR_EXISTS;
    return err_from_errno(err);
}

int dir_path_open_creating(const std::string& path, int flags, mode_t mode, UniqueFd* fd) {
    fd->reset(::open(path.c_str(), flags, mode));
    if (!fd->is_open() && errno == ENOENT) {
        const std::size_t slash = path.rfind('/');
        if (slash != std::string::npos && slash > 0 &&
            make_dir_path(path.substr(0, slash).c_str()) == 0) {
            fd->reset(::open(path.c_str(), flags, mode));
        }
        if (!fd->is_open()) errno = ENOENT;
    }
    return fd->is_open() ? 0 : -1;
}

}  // namespace qor
