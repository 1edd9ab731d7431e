#include "common/block_device.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "common/interrupt.h"
#include "common/progress.h"
#include "common/text.h"
#include "common/text_escape.h"
#include "common/unique_fd.h"

namespace qor {
namespace {

// One BLKZEROOUT call runs without looking at signals; this bounds how long a
// stop request waits on a slow disk.
constexpr std::uint64_t ZERO_STEP_BYTES = 256ull << 20;

int fail_errno(const char* what, const char* path, char* err, std::size_t err_size) {
    int saved = errno;
    char shown[256];
    text_escape(shown, sizeof shown, path);
    text_format(err, err_size, "%s %s: %s", what, shown, std::strerror(saved));
    return -1;
}

// Opened without following a final link into something else is not the
// point here: /dev/<vg>/<lv> is a link by design. What must hold is that the
// thing behind it is a block device or a regular file.
int open_sized(const char* path, int flags, UniqueFd* fd, struct stat* st, std::uint64_t* size,
               char* err, std::size_t err_size) {
    fd->reset(::open(path, flags | O_CLOEXEC | O_NONBLOCK));
    if (!fd->is_open()) return fail_errno("cannot open", path, err, err_size);
    if (::fstat(fd->get(), st) != 0) return fail_errno("cannot stat", path, err, err_size);
    if (S_ISBLK(st->st_mode)) {
        if (::ioctl(fd->get(), BLKGETSIZE64, size) != 0) {
            return fail_errno("cannot read the size of", path, err, err_size);
        }
        return 0;
    }
    if (S_ISREG(st->st_mode)) {
        *size = static_cast<std::uint64_t>(st->st_size);
        return 0;
    }
    char shown[256];
    text_escape(shown, sizeof shown, path);
    text_format(err, err_size, "%s is neither a block device nor a regular file", shown);
    return -1;
}

}  // namespace

int block_device_size(const char* path, std::uint64_t* size, char* err, std::size_t err_size) {
    text_clear(err, err_size);
    UniqueFd fd;
    struct stat st {};
    return open_sized(path, O_RDONLY, &fd, &st, size, err, err_size);
}

int block_device_zero(const char* path, char* err, std::size_t err_size) {
    text_clear(err, err_size);
    UniqueFd fd;
    struct stat st {};
    std::uint64_t size = 0;
    if (open_sized(path, O_WRONLY, &fd, &st, &size, err, err_size) != 0) return -1;
    if (S_ISREG(st.st_mode)) {
        if (size > 0 && ::fallocate(fd.get(), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0,
                                    static_cast<off_t>(size)) != 0) {
            return fail_errno("cannot zero", path, err, err_size);
        }
        return 0;
    }
    std::uint64_t at = 0;
    while (at < size) {
        if (interrupt_should_abort()) {
            text_format(err, err_size, "interrupted");
            return -1;
        }
        std::uint64_t step = size - at < ZERO_STEP_BYTES ? size - at : ZERO_STEP_BYTES;
        std::uint64_t range[2] = {at, step};
        if (::ioctl(fd.get(), BLKZEROOUT, range) != 0) {
            if (errno == EINTR) continue;
            return fail_errno("cannot zero", path, err, err_size);
        }
        at += step;
        progress_report_if_asked();
    }
    return 0;
}

}  // namespace qor
