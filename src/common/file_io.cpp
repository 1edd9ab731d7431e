#include "common/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

#include "common/error.h"

namespace qor {
namespace {

constexpr std::uint64_t MAX_READ_OFFSET =
    static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());

}  // namespace

int file_open_read(const char* path, UniqueFd* fd) {
    if (fd == nullptr) return ERR_INVALID;
    fd->reset();
    if (path == nullptr) return ERR_INVALID;
    // Close-on-exec: the restore inherits what our caller gave us, never ours.
    fd->reset(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd->is_open()) return err_from_errno(errno);
    return 0;
}

int file_open_regular(const char* path, UniqueFd* fd) {
    if (fd == nullptr) return ERR_INVALID;
    fd->reset();
    if (path == nullptr) return ERR_INVALID;
    // No controlling terminal either, should the path name one.
    fd->reset(::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd->is_open()) return err_from_errno(errno);
    struct stat st;
    if (::fstat(fd->get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        fd->reset();
        return ERR_GENERIC;
    }
    return 0;
}

int file_pread(int fd, void* buf, std::size_t count, std::uint64_t offset, std::size_t* got) {
    if (got != nullptr) *got = 0;
    // An offset that does not fit off_t cannot be read; say so rather than wrap.
    if (offset > MAX_READ_OFFSET) return ERR_INVALID;
    ssize_t n = ::pread(fd, buf, count, static_cast<off_t>(offset));
    if (n < 0) return err_from_errno(errno);
    if (got != nullptr) *got = static_cast<std::size_t>(n);
    return 0;
}

std::int64_t read_full_at(int fd, void* buf, std::size_t length, std::uint64_t offset) {
    auto* out = static_cast<std::uint8_t*>(buf);
    std::size_t done = 0;
    while (done < length) {
        const std::uint64_t position = offset + done;
        if (position < offset || position > MAX_READ_OFFSET) {
            errno = EINVAL;  // past what a file offset can address
            return -1;
        }
        const ssize_t n = ::pread(fd, out + done, length - done, static_cast<off_t>(position));
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<std::int64_t>(done);
}

std::size_t file_write_all(int fd, const void* data, std::size_t size) {
    const auto* in = static_cast<const std::uint8_t*>(data);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, in + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

int file_close(int fd) {
    if (fd < 0) return 0;
    if (::close(fd) != 0) return err_from_errno(errno);
    return 0;
}

}  // namespace qor
