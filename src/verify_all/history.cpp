#include "verify_all/history.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <fstream>
#include <new>
#include <nlohmann/json.hpp>

#include "common/dir_path.h"
#include "common/text.h"
#include "common/unique_fd.h"
#include "verify_all/config.h"

namespace qor {
namespace {

using Json = nlohmann::ordered_json;

constexpr mode_t kHistoryMode = 0640;

std::string iso_utc(std::int64_t t) {
    time_t tt = static_cast<time_t>(t);
    struct tm tm {};
    char buf[32] = "";
    if (gmtime_r(&tt, &tm) != nullptr) strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

Json record_to_json(const VerificationRecord& r) {
    Json j;
    j["meta"] = r.meta_path;
    j["volume"] = r.volume.empty() ? Json(nullptr) : Json(r.volume);
    j["mode"] = config_mode_name(r.mode);
    j["meta_mtime"] = r.meta_mtime != 0 ? Json(r.meta_mtime) : Json(nullptr);
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
    } else {
        j["reason"] = r.reason;
    }
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

// One history line back into the fields the summary needs; false when the
// line is not a record this program wrote.
bool record_from_line(const std::string& line, VerificationRecord* r) {
    Json j = Json::parse(line, nullptr, false);
    if (j.is_discarded() || !j.is_object()) return false;
    auto volume = j.find("volume");
    auto start = j.find("start_time");
    auto duration = j.find("duration_seconds");
    auto cls = j.find("class");
    if (volume == j.end() || !volume->is_string() || start == j.end() ||
        !start->is_number_integer() || duration == j.end() || !duration->is_number() ||
        cls == j.end() || !cls->is_string()) {
        return false;
    }
    r->volume = volume->get<std::string>();
    r->start_time = start->get<std::int64_t>();
    r->duration_seconds = duration->get<double>();
    auto mtime = j.find("meta_mtime");
    if (mtime != j.end() && mtime->is_number_integer()) r->meta_mtime = mtime->get<std::int64_t>();
    return class_from_name(cls->get<std::string>(), &r->outcome);
}

}  // namespace

int history_format_line(const VerificationRecord& record, std::string* line, char* err,
                        std::size_t err_size) {
    text_clear(err, err_size);
    try {
        *line = record_to_json(record).dump(-1, ' ', false, Json::error_handler_t::replace);
        line->push_back('\n');
        return 0;
    } catch (const std::bad_alloc&) {
        text_format(err, err_size, "out of memory");
    } catch (const std::exception& e) {
        text_format(err, err_size, "cannot write the history line: %.200s", e.what());
    }
    return -1;
}

int history_append(const std::string& path, const std::string& line, char* err,
                   std::size_t err_size) {
    text_clear(err, err_size);
    int flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY;
    UniqueFd fd(open(path.c_str(), flags, kHistoryMode));
    // The first run outside the service, which creates the directory itself.
    if (!fd.is_open() && errno == ENOENT) {
        std::size_t slash = path.rfind('/');
        if (slash != std::string::npos && slash > 0 &&
            make_dir_path(path.substr(0, slash).c_str()) == 0) {
            fd.reset(open(path.c_str(), flags, kHistoryMode));
        }
        if (!fd.is_open()) errno = ENOENT;
    }
    if (!fd.is_open()) {
        text_format(err, err_size, "cannot open the history %s: %s", path.c_str(),
                    std::strerror(errno));
        return -1;
    }
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

bool history_parse_line(const std::string& line, VerificationRecord* record) {
    return record_from_line(line, record);
}

void history_fold(const VerificationRecord& record, std::map<std::string, VolumeHistory>* summary) {
    if (record.volume.empty()) return;
    VolumeHistory& h = (*summary)[record.volume];
    if (record.start_time >= h.last_run) {
        h.last_run = record.start_time;
        h.last_duration = record.duration_seconds;
        h.last_outcome = record.outcome;
    }
    if (record.outcome == OutcomeClass::identical && record.start_time > h.last_success) {
        h.last_success = record.start_time;
    }
    if (record.meta_mtime > h.newest_backup) h.newest_backup = record.meta_mtime;
}

int history_summarize(const std::string& path, std::map<std::string, VolumeHistory>* summary,
                      char* err, std::size_t err_size) {
    text_clear(err, err_size);
    try {
        std::ifstream in(path);
        if (!in) {
            if (errno == ENOENT) return 0;
            text_format(err, err_size, "cannot read the history %s: %s", path.c_str(),
                        std::strerror(errno));
            return -1;
        }
        std::string line;
        while (std::getline(in, line)) {
            VerificationRecord r;
            if (record_from_line(line, &r)) history_fold(r, summary);
        }
        return 0;
    } catch (const std::exception&) {
        text_format(err, err_size, "out of memory while reading the history %s", path.c_str());
        return -1;
    }
}

}  // namespace qor
