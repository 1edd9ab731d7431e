#include "verify_all/pass_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/dir_path.h"
#include "common/file_io.h"
#include "common/text.h"

namespace qor {
namespace {

constexpr mode_t kLockMode = 0644;  // anyone may read whose pass it is

long read_holder(int fd) {
    char buf[32] = "";
    const std::int64_t got = read_full_at(fd, buf, sizeof buf - 1, 0);
    if (got <= 0) return 0;
    buf[got] = '\0';
    char* end = nullptr;
    long pid = std::strtol(buf, &end, 10);
    return end != buf && (*end == '\n' || *end == '\0') && pid > 0 ? pid : 0;
}

}  // namespace

int pass_lock_take(const std::string& path, UniqueFd* lock, long* holder, char* err,
                   std::size_t err_size) {
    text_clear(err, err_size);
    *holder = 0;
    // Never truncated on open: a pass that finds the lock held reads its holder.
    const int flags = O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW;
    UniqueFd fd;
    if (dir_path_open_creating(path, flags, kLockMode, &fd) != 0) {
        text_format(err, err_size, "cannot open the lock %s: %s", path.c_str(),
                    std::strerror(errno));
        return -1;
    }
    int rc;
    do {
        rc = flock(fd.get(), LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        if (errno == EWOULDBLOCK) {
            *holder = read_holder(fd.get());
            return 1;
        }
        text_format(err, err_size, "cannot lock %s: %s", path.c_str(), std::strerror(errno));
        return -1;
    }
    char pid[32];
    int n = std::snprintf(pid, sizeof pid, "%ld\n", static_cast<long>(getpid()));
    if (ftruncate(fd.get(), 0) != 0 || pwrite(fd.get(), pid, static_cast<std::size_t>(n), 0) != n) {
        text_format(err, err_size, "cannot write to the lock %s: %s", path.c_str(),
                    std::strerror(errno));
        return -1;
    }
    *lock = std::move(fd);
    return 0;
}

}  // namespace qor
