#include "common/console_log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string_view>

#include "common/text.h"
#include "common/utc_timestamp.h"

namespace qor {
namespace {

constexpr std::size_t TAG_BYTES = 64;

char g_tag[TAG_BYTES] = "qor";
unsigned g_min_level = RUNLOG_INFO;
std::mutex g_mutex;
int g_mutex_ready = 0;

const char* level_word(unsigned level) {
    switch (level) {
        case RUNLOG_DEBUG:
            return "DEBUG";
        case RUNLOG_INFO:
            return "INFO";
        case RUNLOG_WARN:
            return "WARN";
        case RUNLOG_ERROR:
            return "ERROR";
        default:
            return "?";
    }
}

}  // namespace

void runlog_console_init(const char* tag, int min_level) {
    if (tag != nullptr) text_copy(g_tag, sizeof g_tag, tag);
    g_min_level = static_cast<unsigned>(min_level);
    // Lines are written unlocked until the first call; after it, always locked.
    g_mutex_ready = 1;
}

void runlog_log(unsigned level, const char* fmt, ...) {
    if (level < g_min_level) return;
    char stamp[UTC_TIMESTAMP_BYTES];
    utc_timestamp(stamp, sizeof stamp);

    std::unique_lock<std::mutex> lock(g_mutex, std::defer_lock);
    if (g_mutex_ready) lock.lock();
    std::fprintf(stderr, "%s [%s] %-5s ", stamp, g_tag, level_word(level));
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    std::fputc('\n', stderr);
}

}  // namespace qor
