#include "common/utc_timestamp.h"

#include <ctime>

namespace qor {

void utc_timestamp(char* buf, std::size_t size) {
    utc_timestamp_at(static_cast<std::int64_t>(std::time(nullptr)), buf, size);
}

void utc_timestamp_at(std::int64_t seconds, char* buf, std::size_t size) {
    if (buf == nullptr || size == 0) return;
    buf[0] = '\0';
    const auto when = static_cast<std::time_t>(seconds);
    struct tm tm_utc;
    if (gmtime_r(&when, &tm_utc) == nullptr) return;
    if (std::strftime(buf, size, "%Y-%m-%dT%H:%M:%SZ", &tm_utc) == 0) buf[0] = '\0';
}

}  // namespace qor
