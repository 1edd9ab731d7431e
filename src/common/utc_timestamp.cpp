#include "common/utc_timestamp.h"

#include <ctime>

namespace qor {

void utc_timestamp(char* buf, std::size_t size) {
    if (buf == nullptr || size == 0) return;
    buf[0] = '\0';
    std::time_t now = std::time(nullptr);
    struct tm tm_utc;
    if (gmtime_r(&now, &tm_utc) == nullptr) return;
    if (std::strftime(buf, size, "%Y-%m-%dT%H:%M:%SZ", &tm_utc) == 0) buf[0] = '\0';
}

}  // namespace qor
