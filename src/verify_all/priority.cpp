#include "verify_all/priority.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/text.h"

namespace qor {
namespace {

// From the kernel's ioprio interface; glibc offers no wrapper.
constexpr int kIoprioWhoProcess = 1;
constexpr int kIoprioClassShift = 13;
constexpr int kIoprioClassBestEffort = 2;
constexpr int kIoprioClassIdle = 3;
constexpr int kIoprioLowestLevel = 7;

}  // namespace

int priority_lower(int nice_value, IoClass io_class, char* err, std::size_t err_size) {
    text_clear(err, err_size);
    errno = 0;
    int current = getpriority(PRIO_PROCESS, 0);
    // Only ever lower: a caller already running nicer than asked stays so.
    if (!(current == -1 && errno != 0) && nice_value > current &&
        setpriority(PRIO_PROCESS, 0, nice_value) != 0) {
        text_format(err, err_size, "cannot set nice %d: %s", nice_value, std::strerror(errno));
        return -1;
    }
    if (io_class == IoClass::none) return 0;
    int value = io_class == IoClass::idle
                    ? kIoprioClassIdle << kIoprioClassShift
                    : (kIoprioClassBestEffort << kIoprioClassShift) | kIoprioLowestLevel;
    if (syscall(SYS_ioprio_set, kIoprioWhoProcess, 0, value) != 0) {
        text_format(err, err_size, "cannot set the I/O class: %s", std::strerror(errno));
        return -1;
    }
    return 0;
}

}  // namespace qor
