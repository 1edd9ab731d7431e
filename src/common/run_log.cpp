#include "common/run_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/dir_path.h"
#include "common/options.h"
#include "common/text.h"
#include "common/text_escape.h"
#include "common/unique_fd.h"
#include "common/utc_timestamp.h"

namespace qor {
namespace {

constexpr std::size_t IDENT_BYTES = 64;
constexpr std::size_t EVENT_BYTES = 512;
constexpr std::size_t LOG_PATH_BYTES = 1200;
constexpr const char* DEFAULT_LOG_DIR = "/var/log/qor/";
constexpr const char* SUITE_PREFIX = "qor_";

int g_ready = 0;
// syslog keeps a pointer to the ident, so it lives as long as the process.
char g_ident[IDENT_BYTES] = "qor";
int g_syslog_enabled = 1;
// Set once openlog has run, so nothing reaches syslog under another ident.
int g_syslog_open = 0;
std::uint64_t g_syslog_mask = 1;
std::uint64_t g_file_mask = 1;
std::FILE* g_file = nullptr;

// A value from the command line as it may appear in a warning line.
struct Shown {
    explicit Shown(const char* value) { text_escape(text, sizeof text, value); }
    char text[LOG_PATH_BYTES];
};

// A message cut at its buffer's end may end inside a UTF-8 sequence; the
// bytes of that last character go, so no stray byte reaches file or syslog.
void cut_to_whole_character(char* message) {
    std::size_t len = std::strlen(message);
    std::size_t start = len;
    while (start > 0 && len - start < 4 &&
           (static_cast<unsigned char>(message[start - 1]) & 0xC0u) == 0x80u) {
        --start;
    }
    if (start == 0) return;
    const auto lead = static_cast<unsigned char>(message[start - 1]);
    const std::size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (len - (start - 1) < need) message[start - 1] = '\0';
}

bool mask_selects(std::uint64_t mask, int categories) {
    return (static_cast<std::uint32_t>(mask) & static_cast<std::uint32_t>(categories)) != 0;
}

void file_write_line(const char* message) {
    char stamp[UTC_TIMESTAMP_BYTES];
    utc_timestamp(stamp, sizeof stamp);
    std::fprintf(g_file, "%s [%s] pid=%ld %s\n", stamp, g_ident, static_cast<long>(::getpid()),
                 message);
    std::fflush(g_file);
}

// Sends message to each open channel whose mask selects categories.
void write_channels(int categories, const char* message) {
    if (g_file != nullptr && mask_selects(g_file_mask, categories)) file_write_line(message);
    if (g_syslog_open && mask_selects(g_syslog_mask, categories)) syslog(LOG_INFO, "%s", message);
}

// An empty or missing value silently keeps the default.
std::uint64_t parse_mask(const char* option, const char* value) {
    if (value == nullptr || value[0] == '\0') return 1;
    char* end = nullptr;
    errno = 0;
    unsigned long mask = std::strtoul(value, &end, 0);
    if (end == value || *end != '\0') {
        std::fprintf(stderr, "warning: qor_runlog: invalid %s value '%s' -- using default 1\n",
                     option, Shown(value).text);
        return 1;
    }
    return mask;
}

const char* log_base_name(const char* program_name) {
    std::size_t n = std::strlen(SUITE_PREFIX);
    return std::strncmp(program_name, SUITE_PREFIX, n) == 0 ? program_name + n : program_name;
}

// The log file, for appending, only when it is a regular file of its own:
// a link put in its place is not followed, a FIFO does not stall the start
// (non-blocking), and close-on-exec keeps it from the tools run as children.
// Created 0640, less what the umask takes away.
std::FILE* log_file_open(const char* path) {
    constexpr mode_t LOG_FILE_MODE = 0640;
    UniqueFd fd(
        ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY,
               LOG_FILE_MODE));
    struct stat st;
    if (!fd.is_open() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
    std::FILE* file = ::fdopen(fd.get(), "a");
    if (file != nullptr) fd.release();
    return file;
}

void open_log_file(const char* dir, const char* base_name) {
    if (make_dir_path(dir) != 0) {
        std::fprintf(stderr,
                     "warning: qor_runlog: could not create log directory '%s' -- continuing "
                     "without logfile\n",
                     Shown(dir).text);
        return;
    }
    std::size_t dir_len = std::strlen(dir);
    const char* sep = (dir_len > 0 && dir[dir_len - 1] == '/') ? "" : "/";
    char path[LOG_PATH_BYTES];
    int n = text_format(path, sizeof path, "%s%s%s.log", dir, sep, base_name);
    // A cut path names some other file; never append to that.
    bool fits = n >= 0 && static_cast<std::size_t>(n) < sizeof path;
    g_file = fits ? log_file_open(path) : nullptr;
    if (g_file == nullptr) {
        std::fprintf(
            stderr,
            "warning: qor_runlog: could not open logfile '%s' -- continuing without logfile\n",
            Shown(path).text);
    }
}

}  // namespace

void runlog_init(int argc, char** argv, const char* program_name) {
    g_ready = 1;
    if (program_name == nullptr) program_name = "qor";
    text_copy(g_ident, sizeof g_ident, program_name);
    const char* base_name = log_base_name(program_name);

    int no_syslog = arg_flag(argc, argv, "--no-syslog", nullptr);
    int no_log = arg_flag(argc, argv, "--no-log", nullptr);
    const char* syslog_value = arg_value(argc, argv, "--syslog", nullptr, nullptr);
    const char* log_value = arg_value(argc, argv, "--log", nullptr, nullptr);
    const char* log_dir = arg_value(argc, argv, "--log-path", nullptr, DEFAULT_LOG_DIR);

    g_syslog_mask = parse_mask("--syslog", syslog_value);
    g_file_mask = parse_mask("--log", log_value);

    g_syslog_enabled = no_syslog ? 0 : 1;
    if (g_syslog_enabled) {
        openlog(g_ident, LOG_PID, LOG_DAEMON);
        g_syslog_open = 1;
    }
    if (!no_log) open_log_file(log_dir, base_name);

    on_exit(runlog_exit_handler, nullptr);
    write_channels(RUNLOG_CAT_RUN, "started");
}

void runlog_event(int categories, const char* fmt, ...) {
    char message[EVENT_BYTES];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(message, sizeof message, fmt, ap);
    va_end(ap);
    if (n < 0) message[0] = '\0';
    if (n >= static_cast<int>(sizeof message)) cut_to_whole_character(message);
    write_channels(categories, message);
}

int runlog_ready() {
    return g_ready;
}

void runlog_exit_handler(int status, void* /*arg*/) {
    char message[64];
    if (status < 0) {
        text_copy(message, sizeof message, "stopped");
    } else {
        text_format(message, sizeof message, "%s exit=%d", "stopped", status);
    }
    write_channels(RUNLOG_CAT_RUN, message);
    if (g_file != nullptr) {
        std::fclose(g_file);
        g_file = nullptr;
    }
    if (g_syslog_open) {
        closelog();
        g_syslog_open = 0;
    }
}

}  // namespace qor
