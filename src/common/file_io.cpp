#include "common/file_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

#include "common/error.h"

namespace qor {

int file_open_read(const char* path, int* fd_out) {
    if (fd_out != nullptr) *fd_out = -1;
    if (path == nullptr || fd_out == nullptr) return ERR_INVALID;
    int fd = ::open(path, O_RDONLY);
    if (fd < 0) return err_from_errno(errno);
    *fd_out = fd;
    return 0;
}

int file_pread(int fd, void* buf, std::size_t count, std::uint64_t offset, std::size_t* got) {
    if (got != nullptr) *got = 0;
    // An offset that does not fit off_t cannot be read; say so rather than wrap.
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return ERR_INVALID;
    ssize_t n = ::pread(fd, buf, count, static_cast<off_t>(offset));
    if (n < 0) return err_from_errno(errno);
    if (got != nullptr) *got = static_cast<std::size_t>(n);
    return 0;
}

int file_close(int fd) {
    if (fd < 0) return 0;
    if (::close(fd) != 0) return err_from_errno(errno);
    return 0;
}

}  // namespace qor
