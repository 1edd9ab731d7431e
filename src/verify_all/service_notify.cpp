#include "verify_all/service_notify.h"

#include <systemd/sd-daemon.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace qor {

void service_notify_ready() {
    sd_notify(0, "READY=1");
}

void service_notify_status(const char* fmt, ...) {
    // A line of the notification protocol: a newline would start another
    // assignment, so the status is cut at the first one.
    char buf[512] = "STATUS=";
    constexpr std::size_t kPrefix = sizeof "STATUS=" - 1;
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf + kPrefix, sizeof buf - kPrefix, fmt, ap);
    va_end(ap);
    if (char* newline = std::strchr(buf, '\n')) *newline = '\0';
    sd_notify(0, buf);
}

}  // namespace qor
