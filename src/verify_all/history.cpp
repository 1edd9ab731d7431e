#include "verify_all/history.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <new>
#include <nlohmann/json.hpp>
#include <string_view>
#include <vector>

#include "common/dir_path.h"
#include "common/file_io.h"
#include "common/text.h"
#include "common/unique_fd.h"
#include "common/utc_timestamp.h"
#include "verify_all/config.h"

namespace qor {
namespace {

using Json = nlohmann::ordered_json;

constexpr mode_t kHistoryMode = 0640;
// The group a monitoring agent joins to read the history.
constexpr const char* kHistoryGroup = "adm";
constexpr std::size_t kReadBlock = 64 * 1024;
// A line longer than this is no record of ours; it is skipped unread.
constexpr std::size_t kLineMax = 64 * 1024;

std::string iso_utc(std::int64_t t) {
    char buf[UTC_TIMESTAMP_BYTES];
    utc_timestamp_at(t, buf, sizeof buf);
    return buf;
}

Json text_or_null(const std::string& s) {
    return s.empty() ? Json(nullptr) : Json(s);
}

Json record_to_json(const VerificationRecord& r) {
    Json j;
    j["meta"] = r.meta_path;
    j["volume"] = text_or_null(r.volume);
    j["mode"] = config_mode_name(r.mode);
    j["size"] = r.meta_size;
    j["meta_mtime"] = r.meta_mtime;
    j["snapshot_ref"] = text_or_null(r.snapshot_ref);
    j["snapshot_removed"] = r.snapshot_removed;
    j["start"] = iso_utc(r.start_time);
    j["start_time"] = r.start_time;
    j["duration_seconds"] = std::round(r.duration_seconds * 1000) / 1000;  // milliseconds
    bool exited = r.ran && r.run.term_signal == 0 && r.run.exit_status >= 0;
    j["exit_status"] = exited ? Json(r.run.exit_status) : Json(nullptr);
    j["signal"] = r.ran && r.run.term_signal != 0 ? Json(r.run.term_signal) : Json(nullptr);
    j["verdict"] = r.ran && !r.run.verdict.empty() ? Json(r.run.verdict) : Json(nullptr);
    j["class"] = outcome_class_name(r.outcome);
    if (r.ran) {
        if (auto bytes = outcome_bytes_compared(r.run.verdict)) j["bytes_compared"] = *bytes;
    }
    if (!r.ran || !r.reason.empty()) j["reason"] = r.reason;
    return j;
}

bool class_from_name(const std::string& name, OutcomeClass* c) {
    for (OutcomeClass k :
         {OutcomeClass::identical, OutcomeClass::differs, OutcomeClass::could_not_verify}) {
        if (name == outcome_class_name(k)) {
            *c = k;
            return true;
        }
    }
    return false;
}

template <typename T>
T field_or(const Json& j, const char* key, T fallback) {
    auto it = j.find(key);
    if (it == j.end() || it->is_null()) return fallback;
    if constexpr (std::is_same_v<T, std::string>) {
        return it->is_string() ? it->get<std::string>() : fallback;
    } else if constexpr (std::is_same_v<T, bool>) {
        return it->is_boolean() ? it->get<bool>() : fallback;
    } else {
        return it->is_number_integer() ? it->get<T>() : fallback;
    }
}

// The volume of a line of ours, as written (still escaped), without parsing
// it: the key "volume": cannot occur inside a JSON string, where every quote
// is escaped. "" for a record without a volume or a line that is not ours.
std::string_view raw_volume(std::string_view line) {
    constexpr std::string_view kKey = "\"volume\":\"";
    std::size_t at = line.find(kKey);
    if (at == std::string_view::npos) return {};
    std::size_t begin = at + kKey.size();
    for (std::size_t i = begin; i < line.size(); ++i) {
        if (line[i] == '\\') {
            ++i;
        } else if (line[i] == '"') {
            return line.substr(begin, i - begin);
        }
    }
    return {};
}

bool raw_is_identical(std::string_view line) {
    return line.find("\"class\":\"identical\"") != std::string_view::npos;
}

// The lines of a file from the last to the first, read in blocks from the
// end; memory holds one block and one line.
class ReverseLines {
  public:
    explicit ReverseLines(int fd) : fd_(fd) {
        struct stat st {};
        pos_ = fstat(fd, &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    }
    // The next line back, without its newline; false at the start of the
    // file or on a read error (error() tells).
    bool next(std::string* line) {
        for (;;) {
            std::size_t nl = tail_.rfind('\n');
            if (nl != std::string::npos) {
                line->assign(tail_, nl + 1);
                tail_.resize(nl);
                if (!line->empty()) return true;
                continue;  // no record is empty
            }
            if (pos_ == 0) {
                if (tail_.empty()) return false;
                line->swap(tail_);
                tail_.clear();
                return true;
            }
            if (tail_.size() > kLineMax) tail_.clear();  // overlong: dropped, read on
            std::size_t n = pos_ < kReadBlock ? static_cast<std::size_t>(pos_) : kReadBlock;
            std::string block(n, '\0');
            if (read_full_at(fd_, block.data(), n, pos_ - n) != static_cast<std::int64_t>(n)) {
                error_ = errno != 0 ? errno : EIO;
                return false;
            }
            pos_ -= n;
            tail_.insert(0, block);
        }
    }
    int error() const { return error_; }

  private:
    int fd_;
    std::uint64_t pos_ = 0;
    std::string tail_;
    int error_ = 0;
};

// Opens the history for reading: 0, 1 when it does not exist, -1 with err.
// Anything but a regular file is refused: a directory would read as empty.
int open_history(const std::string& path, UniqueFd* fd, char* err, std::size_t err_size) {
    errno = 0;
    if (file_open_regular(path.c_str(), fd) == 0) return 0;
    if (errno == ENOENT) return 1;
    text_format(err, err_size, "cannot read the history %s: %s", path.c_str(),
                errno != 0 ? std::strerror(errno) : "not a regular file");
    return -1;
}

gid_t history_gid() {
    struct group g {};
    struct group* found = nullptr;
    char buf[4096];
    if (getgrnam_r(kHistoryGroup, &g, buf, sizeof buf, &found) != 0 || found == nullptr) {
        return static_cast<gid_t>(-1);
    }
    return found->gr_gid;
}

// A history created by root, or one still in root's group, is handed to the
// monitoring group; any other group an operator chose stays.
void share_with_group(int fd) {
    struct stat st {};
    gid_t gid = history_gid();
    if (gid == static_cast<gid_t>(-1) || fstat(fd, &st) != 0 || st.st_gid != 0) return;
    if (fchown(fd, static_cast<uid_t>(-1), gid) == 0) fchmod(fd, kHistoryMode);
}

int write_replacement(const std::string& path, const std::vector<std::string>& newest_first,
                      const struct stat& old, char* err, std::size_t err_size) {
    std::string temp = path + ".XXXXXX";
    UniqueFd fd(mkostemp(temp.data(), O_CLOEXEC));
    if (!fd.is_open()) {
        text_format(err, err_size, "cannot create a file beside the history %s: %s", path.c_str(),
                    std::strerror(errno));
        return -1;
    }
    std::string text;
    for (auto it = newest_first.rbegin(); it != newest_first.rend(); ++it) {
        text += *it;
        text += '\n';
    }
    bool ok = file_write_all(fd.get(), text.data(), text.size()) == text.size() &&
              fchmod(fd.get(), old.st_mode & 07777) == 0 &&
              (fchown(fd.get(), static_cast<uid_t>(-1), old.st_gid) == 0 || errno == EPERM) &&
              fsync(fd.get()) == 0;
    int saved = errno;
    if (close(fd.release()) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (ok && rename(temp.c_str(), path.c_str()) == 0) {
        std::size_t slash = path.rfind('/');
        UniqueFd dir(open(slash == std::string::npos ? "." : path.substr(0, slash + 1).c_str(),
                          O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dir.is_open()) fsync(dir.get());  // the rename itself survives a crash
        return 0;
    }
    if (ok) saved = errno;
    unlink(temp.c_str());
    text_format(err, err_size, "cannot rewrite the history %s: %s", path.c_str(),
                std::strerror(saved));
    return -1;
}

}  // namespace

int history_format_line(const VerificationRecord& record, std::string* line, char* err,
                        std::size_t err_size) {
    text_clear(err, err_size);
    try {
        *line = record_to_json(record).dump(-1, ' ', true, Json::error_handler_t::replace);
        line->push_back('\n');
        return 0;
    } catch (const std::bad_alloc&) {
        text_format(err, err_size, "out of memory");
    } catch (const std::exception& e) {
        text_format(err, err_size, "cannot write the history line: %.200s", e.what());
    }
    return -1;
}

bool history_parse_line(const std::string& line, VerificationRecord* r) {
    Json j = Json::parse(line, nullptr, false);
    if (j.is_discarded() || !j.is_object()) return false;
    auto start = j.find("start_time");
    auto duration = j.find("duration_seconds");
    auto cls = j.find("class");
    if (start == j.end() || !start->is_number_integer() || duration == j.end() ||
        !duration->is_number() || cls == j.end() || !cls->is_string() ||
        !class_from_name(cls->get<std::string>(), &r->outcome)) {
        return false;
    }
    r->meta_path = field_or<std::string>(j, "meta", "");
    r->volume = field_or<std::string>(j, "volume", "");
    r->mode = field_or<std::string>(j, "mode", "") == "fs" ? VERIFY_MODE_FS : VERIFY_MODE_BYTE;
    r->meta_size = field_or<std::int64_t>(j, "size", 0);
    r->meta_mtime = field_or<std::int64_t>(j, "meta_mtime", 0);
    r->snapshot_ref = field_or<std::string>(j, "snapshot_ref", "");
    r->snapshot_removed = field_or<bool>(j, "snapshot_removed", false);
    r->start_time = start->get<std::int64_t>();
    r->duration_seconds = duration->get<double>();
    r->run.exit_status = field_or<int>(j, "exit_status", -1);
    r->run.term_signal = field_or<int>(j, "signal", 0);
    r->ran = r->run.exit_status >= 0 || r->run.term_signal != 0;
    r->run.verdict = field_or<std::string>(j, "verdict", "");
    r->reason = field_or<std::string>(j, "reason", "");
    return true;
}

int history_append(const std::string& path, const std::string& line, char* err,
                   std::size_t err_size) {
    text_clear(err, err_size);
    int flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY;
    // The first run outside the service, which creates the directory itself.
    UniqueFd fd;
    if (dir_path_open_creating(path, flags, kHistoryMode, &fd) != 0) {
        text_format(err, err_size, "cannot open the history %s: %s", path.c_str(),
                    std::strerror(errno));
        return -1;
    }
    share_with_group(fd.get());
    // One write, so that a line is never interleaved with another writer's.
    ssize_t n;
    do {
        n = write(fd.get(), line.data(), line.size());
    } while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(line.size())) {
        text_format(err, err_size, "cannot append to the history %s: %s", path.c_str(),
                    n < 0 ? std::strerror(errno) : "short write");
        return -1;
    }
    return 0;
}

void history_fold(const VerificationRecord& record, std::map<std::string, VolumeHistory>* summary) {
    if (record.volume.empty()) return;
    VolumeHistory& h = (*summary)[record.volume];
    h.last_run = record.start_time;
    h.last_duration = record.duration_seconds;
    h.last_outcome = record.outcome;
    h.last_meta_mtime = record.meta_mtime;
    if (record.outcome == OutcomeClass::identical) {
        h.last_success = record.start_time;
        h.last_identical = record;
    }
}

int history_read_latest(const std::string& path, std::map<std::string, VolumeHistory>* latest,
                        char* err, std::size_t err_size) {
    text_clear(err, err_size);
    try {
        UniqueFd fd;
        int opened = open_history(path, &fd, err, err_size);
        if (opened != 0) return opened > 0 ? 0 : -1;
        // Per volume as written: 1 once its newest record is known, 2 once
        // its newest identical one is too.
        std::map<std::string, int, std::less<>> done;
        std::map<std::string, VolumeHistory> found;
        ReverseLines lines(fd.get());
        std::string line;
        while (lines.next(&line)) {
            std::string_view key = raw_volume(line);
            if (key.empty()) continue;
            auto it = done.find(key);
            bool seen = it != done.end();
            if (seen && (it->second == 2 || !raw_is_identical(line))) continue;
            VerificationRecord r;
            if (!history_parse_line(line, &r) || r.volume.empty()) continue;
            // An older line may spell the same volume differently.
            bool known = found.count(r.volume) != 0;
            VolumeHistory& h = found[r.volume];
            if (!seen && !known) {
                history_fold(r, &found);
                it = done.emplace(std::string(key), 1).first;
            } else if (r.outcome == OutcomeClass::identical && !h.last_identical) {
                h.last_success = r.start_time;
                h.last_identical = r;
            }
            if (it == done.end()) it = done.emplace(std::string(key), 1).first;
            if (h.last_identical) it->second = 2;
        }
        if (lines.error() != 0) {
            text_format(err, err_size, "cannot read the history %s: %s", path.c_str(),
                        std::strerror(lines.error()));
            return -1;
        }
        for (auto& [volume, h] : found) (*latest)[volume] = std::move(h);
        return 0;
    } catch (const std::bad_alloc&) {
        text_format(err, err_size, "out of memory while reading the history %s", path.c_str());
        return -1;
    }
}

int history_compact(const std::string& path, char* err, std::size_t err_size) {
    text_clear(err, err_size);
    try {
        UniqueFd fd;
        int opened = open_history(path, &fd, err, err_size);
        if (opened != 0) return opened > 0 ? 0 : -1;
        struct stat st {};
        if (fstat(fd.get(), &st) != 0) {
            text_format(err, err_size, "cannot read the history %s: %s", path.c_str(),
                        std::strerror(errno));
            return -1;
        }
        struct Count {
            std::size_t records = 0;
            bool identical_kept = false;
        };
        std::map<std::string, Count, std::less<>> counts;
        std::vector<std::string> kept;
        bool dropped = false;
        ReverseLines lines(fd.get());
        std::string line;
        while (lines.next(&line)) {
            std::string_view key = raw_volume(line);
            auto it = counts.find(key);
            if (it == counts.end()) it = counts.emplace(std::string(key), Count{}).first;
            Count& c = it->second;
            bool identical = raw_is_identical(line);
            bool keep = ++c.records <= HISTORY_KEEP_PER_VOLUME || (identical && !c.identical_kept);
            if (identical && keep) c.identical_kept = true;
            if (keep) {
                kept.push_back(line);
            } else {
                dropped = true;
            }
        }
        if (lines.error() != 0) {
            text_format(err, err_size, "cannot read the history %s: %s", path.c_str(),
                        std::strerror(lines.error()));
            return -1;
        }
        return dropped ? write_replacement(path, kept, st, err, err_size) : 0;
    } catch (const std::bad_alloc&) {
        text_format(err, err_size, "out of memory while compacting the history %s", path.c_str());
        return -1;
    }
}

}  // namespace qor
