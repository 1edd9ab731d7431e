#include "verify_all/config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <new>

#include "common/file_io.h"
#include "common/text.h"
#include "common/unique_fd.h"

namespace qor {
namespace {

std::string_view trim(std::string_view s) {
    const char* blanks = " \t\r";
    std::size_t b = s.find_first_not_of(blanks);
    if (b == std::string_view::npos) return {};
    std::size_t e = s.find_last_not_of(blanks);
    return s.substr(b, e - b + 1);
}

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// Words split at blanks outside quotes; false when a quote is not closed.
bool split_words(std::string_view s, std::vector<std::string>* words) {
    std::size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && is_blank(s[i])) ++i;
        if (i == s.size()) break;
        std::string word;
        while (i < s.size() && !is_blank(s[i])) {
            char c = s[i++];
            if (c != '\'' && c != '"') {
                word += c;
                continue;
            }
            std::size_t close = s.find(c, i);
            if (close == std::string_view::npos) return false;
            word.append(s.substr(i, close - i));
            i = close + 1;
        }
        words->push_back(std::move(word));
    }
    return true;
}

// The whole of v as a number from lo to hi.
bool parse_number(std::string_view v, std::int64_t lo, std::int64_t hi, std::int64_t* n) {
    std::int64_t value = 0;
    auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), value);
    if (v.empty() || ec != std::errc() || end != v.data() + v.size() || value < lo || value > hi) {
        return false;
    }
    *n = value;
    return true;
}

// "<n>" seconds, or with one of the units s, m, h, d.
bool parse_duration(std::string_view v, std::int64_t* seconds) {
    constexpr std::string_view kUnits = "smhd";
    constexpr std::int64_t kUnitSeconds[] = {1, 60, 3600, 86400};
    std::int64_t unit = 1;
    if (std::size_t u = v.empty() ? std::string_view::npos : kUnits.find(v.back());
        u != std::string_view::npos) {
        unit = kUnitSeconds[u];
        v.remove_suffix(1);
    }
    std::int64_t n = 0;
    if (!parse_number(v, 0, INT64_C(1) << 40, &n)) return false;
    *seconds = n * unit;
    return true;
}

// "vg/lv" with both parts present.
bool is_vg_slash_name(std::string_view s) {
    std::size_t slash = s.find('/');
    return slash != std::string_view::npos && slash > 0 && slash + 1 < s.size();
}

// Where one line's key lands, and what it may hold. Returns an empty string
// when accepted, else the reason.
struct LineParser {
    VerifyAllConfig* config;
    VolumeSettings* scope;  // defaults or the current section
    bool in_section = false;

    std::string set_bool(std::optional<bool>& field, std::string_view v) {
        if (v == "yes" || v == "true") {
            field = true;
        } else if (v == "no" || v == "false") {
            field = false;
        } else {
            return "must be yes or no";
        }
        return {};
    }

    std::string set_io_class(std::string_view v) {
        if (v == "idle") {
            config->io_class = IoClass::idle;
        } else if (v == "best-effort") {
            config->io_class = IoClass::best_effort;
        } else if (v == "none") {
            config->io_class = IoClass::none;
        } else {
            return "io-class must be idle, best-effort or none";
        }
        return {};
    }

    std::string set_global(std::string_view key, std::string_view v) {
        if (in_section)
            return "'" + std::string(key) + "' belongs before the first [volume] section";
        if (key == "backups") {
            if (v.empty() || v[0] != '/') return "backups must be an absolute path or pattern";
            config->backups.emplace_back(v);
        } else if (key == "history") {
            if (v.empty() || v[0] != '/') return "history must be an absolute path";
            config->history_path = v;
        } else if (key == "textfile") {
            if (!v.empty() && v[0] != '/') return "textfile must be an absolute path or empty";
            config->textfile_path = v;
            config->textfile_configured = true;
        } else if (key == "lock") {
            if (v.empty() || v[0] != '/') return "lock must be an absolute path";
            config->lock_path = v;
        } else if (key == "reverify-after") {
            std::int64_t n = 0;
            if (!parse_number(v, 0, 3650, &n)) {
                return "reverify-after must be a number of days from 0 to 3650";
            }
            config->reverify_after_days = static_cast<int>(n);
        } else if (key == "max-duration" || key == "timeout") {
            std::int64_t* field =
                key == "timeout" ? &config->timeout_seconds : &config->max_duration_seconds;
            if (!parse_duration(v, field)) {
                return std::string(key) + " must be a duration such as 90m, 6h or 0 (no limit)";
            }
        } else if (key == "nice") {
            std::int64_t n = 0;
            if (!parse_number(v, 0, 19, &n)) return "nice must be a number from 0 to 19";
            config->nice = static_cast<int>(n);
        } else {
            return set_io_class(v);
        }
        return {};
    }

    std::string set_volume(std::string_view key, std::string_view v) {
        if (key == "mode") {
            if (v != "byte" && v != "fs") return "mode must be byte or fs";
            scope->mode = v == "fs" ? VERIFY_MODE_FS : VERIFY_MODE_BYTE;
        } else if (key == "remove-snapshot-after") {
            return set_bool(scope->remove_snapshot_after, v);
        } else if (key == "skip") {
            return set_bool(scope->skip, v);
        } else if (key == "target-lv") {
            if (scope->target_file) return "target-lv and target-file exclude each other";
            if (!v.empty() && !is_vg_slash_name(v)) return "target-lv must be <vg>/<lv>";
            scope->target_lv = v;
        } else if (key == "target-file") {
            if (scope->target_lv) return "target-lv and target-file exclude each other";
            if (v.empty() || v[0] != '/') return "target-file must be an absolute path";
            scope->target_file = v;
        } else {
            std::vector<std::string> words;
            if (!split_words(v, &words)) return "restore-args has a quote that is not closed";
            scope->restore_args = std::move(words);
        }
        return {};
    }

    bool is_volume_key(std::string_view key) {
        return key == "mode" || key == "remove-snapshot-after" || key == "skip" ||
               key == "target-lv" || key == "target-file" || key == "restore-args";
    }
    bool is_global_key(std::string_view key) {
        return key == "backups" || key == "history" || key == "textfile" || key == "nice" ||
               key == "io-class" || key == "lock" || key == "reverify-after" ||
               key == "max-duration" || key == "timeout";
    }

    std::string section(std::string_view line, std::vector<std::string>* seen) {
        std::string_view name = trim(line.substr(1, line.size() - 2));
        if (!is_vg_slash_name(name)) return "a section names one volume as [<vg>/<origin>]";
        for (const VolumeSection& s : config->volumes) {
            if (s.volume == name) return "volume " + std::string(name) + " has two sections";
        }
        config->volumes.push_back({std::string(name), {}});
        scope = &config->volumes.back().settings;
        in_section = true;
        seen->clear();
        return {};
    }

    std::string line(std::string_view raw, std::vector<std::string>* seen) {
        std::string_view s = trim(raw);
        if (s.empty() || s[0] == '#' || s[0] == ';') return {};
        if (s.front() == '[') {
            if (s.back() != ']') return "a section header ends with ]";
            return section(s, seen);
        }
        std::size_t eq = s.find('=');
        if (eq == std::string_view::npos) return "expected <setting> = <value>";
        std::string_view key = trim(s.substr(0, eq));
        std::string_view value = trim(s.substr(eq + 1));
        if (!is_global_key(key) && !is_volume_key(key)) {
            return "unknown setting '" + std::string(key) + "'";
        }
        if (key != "backups") {
            for (const std::string& k : *seen) {
                if (k == key) return "'" + std::string(key) + "' is set twice";
            }
            seen->emplace_back(key);
        }
        return is_global_key(key) ? set_global(key, value) : set_volume(key, value);
    }
};

int parse_lines(std::string_view text, VerifyAllConfig* config, char* err, std::size_t err_size) {
    LineParser parser{config, &config->defaults};
    std::vector<std::string> seen;
    // Editors on other systems start a UTF-8 file with a byte-order mark.
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
        text.remove_prefix(kByteOrderMark.size());
    }
    int number = 0;
    while (!text.empty()) {
        ++number;
        std::size_t nl = text.find('\n');
        std::string_view raw = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
        std::string reason = raw.size() > CONFIG_LINE_MAX ? "the line is too long"
                             : raw.find('\0') != std::string_view::npos
                                 ? "the line holds a zero byte"
                                 : parser.line(raw, &seen);
        if (!reason.empty()) {
            text_format(err, err_size, "line %d: %s", number, reason.c_str());
            return -1;
        }
    }
    if (config->backups.empty()) {
        text_format(err, err_size, "no backups are configured (add a 'backups =' line)");
        return -1;
    }
    return 0;
}

// Root's files, or the caller's own, writable by nobody else.
bool owner_is_trusted(const struct stat& st) {
    bool owner_ok = st.st_uid == 0 || st.st_uid == geteuid();
    return owner_ok && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

int config_parse(std::string_view text, VerifyAllConfig* config, char* err, std::size_t err_size) {
    text_clear(err, err_size);
    try {
        *config = VerifyAllConfig{};
        return parse_lines(text, config, err, err_size);
    } catch (const std::bad_alloc&) {
        text_format(err, err_size, "out of memory");
        return -1;
    }
}

int config_read(const char* path, VerifyAllConfig* config, char* err, std::size_t err_size) {
    text_clear(err, err_size);
    // Non-blocking, so that a FIFO in its place is refused rather than waited on.
    UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat st {};
    if (!fd.is_open() || fstat(fd.get(), &st) != 0) {
        text_format(err, err_size, "cannot read %s: %s", path, std::strerror(errno));
        return -1;
    }
    if (!S_ISREG(st.st_mode) || st.st_size > static_cast<off_t>(CONFIG_MAX_BYTES)) {
        text_format(err, err_size, "%s is not a regular file of at most %zu bytes", path,
                    CONFIG_MAX_BYTES);
        return -1;
    }
    if (!owner_is_trusted(st)) {
        text_format(err, err_size,
                    "%s may be changed by users other than root; refusing to run its commands "
                    "(chown root and chmod go-w it)",
                    path);
        return -1;
    }
    try {
        std::string text(static_cast<std::size_t>(st.st_size), '\0');
        const std::int64_t got = read_full_at(fd.get(), text.data(), text.size(), 0);
        if (got < 0) {
            text_format(err, err_size, "cannot read %s: %s", path, std::strerror(errno));
            return -1;
        }
        text.resize(static_cast<std::size_t>(got));
        char inner[400];
        if (config_parse(text, config, inner, sizeof inner) != 0) {
            text_format(err, err_size, "%s %s", path, inner);
            return -1;
        }
        return 0;
    } catch (const std::bad_alloc&) {
        text_format(err, err_size, "out of memory");
        return -1;
    }
}

ResolvedSettings config_settings_for(const VerifyAllConfig& config, std::string_view volume) {
    ResolvedSettings r;
    auto apply = [&r](const VolumeSettings& s) {
        if (s.mode) r.mode = *s.mode;
        if (s.remove_snapshot_after) r.remove_snapshot_after = *s.remove_snapshot_after;
        if (s.skip) r.skip = *s.skip;
        if (s.target_lv || s.target_file) {
            r.target_lv = s.target_lv.value_or("");
            r.target_file = s.target_file.value_or("");
        }
        if (s.restore_args) r.restore_args = *s.restore_args;
    };
    apply(config.defaults);
    for (const VolumeSection& s : config.volumes) {
        if (s.volume == volume) apply(s.settings);
    }
    return r;
}

const char* config_mode_name(int mode) {
    return mode == VERIFY_MODE_FS ? "fs" : "byte";
}

}  // namespace qor
