#include "verify_all/status.h"

#include <time.h>

#include <new>
#include <nlohmann/json.hpp>
#include <vector>

#include "verify_all/escaped_text.h"
#include "verify_all/outcome.h"

namespace qor {
namespace {

using Json = nlohmann::ordered_json;

constexpr std::int64_t kDay = 86400;
constexpr std::size_t kNamesShown = 5;  // what a monitoring overview still shows in one line
constexpr const char* kStateNames[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};

// A volume name for the summary line: escaped, and without the "|" that
// would start the performance data.
std::string shown_name(const std::string& volume) {
    std::string s = EscapedText<256>(volume).c_str();
    for (char& c : s) {
        if (c == '|') c = '?';
    }
    return s;
}

std::string name_list(const std::vector<std::string>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size() && i < kNamesShown; ++i) {
        if (i > 0) out += ", ";
        out += shown_name(names[i]);
    }
    if (names.size() > kNamesShown)
        out += " and " + std::to_string(names.size() - kNamesShown) + " more";
    return out;
}

// An age in seconds, never negative (a clock set back makes no future).
std::int64_t age_of(std::int64_t t, std::int64_t now) {
    return now > t ? now - t : 0;
}

// CRITICAL when the last verification found a difference, WARNING when no
// identical one is known within the allowance, else OK.
int volume_state(const VolumeHistory& h, std::int64_t allowance, std::int64_t now) {
    if (h.last_run != 0 && h.last_outcome == OutcomeClass::differs) return STATUS_CRITICAL;
    if (h.last_success == 0 || age_of(h.last_success, now) > allowance) return STATUS_WARNING;
    return STATUS_OK;
}

struct Judgement {
    std::vector<std::string> differing;
    std::vector<std::string> stale;  // no identical verification within the allowance
    std::int64_t oldest_success_age = 0;
    bool success_missing = false;  // some volume was never verified identical
    int state = STATUS_OK;
};

Judgement judge(const std::map<std::string, VolumeHistory>& volumes, std::int64_t allowance,
                std::int64_t now) {
    Judgement j;
    for (const auto& [volume, h] : volumes) {
        if (h.last_success == 0) {
            j.success_missing = true;
        } else if (age_of(h.last_success, now) > j.oldest_success_age) {
            j.oldest_success_age = age_of(h.last_success, now);
        }
        int state = volume_state(h, allowance, now);
        if (state == STATUS_CRITICAL) j.differing.push_back(volume);
        if (state == STATUS_WARNING) j.stale.push_back(volume);
    }
    if (volumes.empty()) {
        j.state = STATUS_UNKNOWN;
    } else if (!j.differing.empty()) {
        j.state = STATUS_CRITICAL;
    } else if (!j.stale.empty()) {
        j.state = STATUS_WARNING;
    }
    return j;
}

std::string days_text(int days) {
    return std::to_string(days) + (days == 1 ? " day" : " days");
}

std::string summary_of(const Judgement& j, std::size_t total, int allowance_days) {
    std::string of = " of " + std::to_string(total) + " volumes";
    std::string stale = std::to_string(j.stale.size()) + of +
                        " without an identical verification for more than " +
                        days_text(allowance_days) + ": " + name_list(j.stale);
    switch (j.state) {
        case STATUS_CRITICAL:
            return std::to_string(j.differing.size()) + of +
                   " differ from their snapshots: " + name_list(j.differing) +
                   (j.stale.empty() ? "" : "; " + stale);
        case STATUS_WARNING:
            return stale;
        case STATUS_OK:
            return std::to_string(total) + (total == 1 ? " volume" : " volumes") +
                   " verified identical within " + days_text(allowance_days);
        default:
            return "the history records no verification and the configuration names no volume";
    }
}

// Performance data with the thresholds the state was judged by.
std::string perfdata_of(const Judgement& j, std::size_t total, std::int64_t allowance) {
    std::string age = j.success_missing ? "U" : std::to_string(j.oldest_success_age) + "s";
    return "volumes=" + std::to_string(total) +
           ";;;0 differing=" + std::to_string(j.differing.size()) +
           ";;0;0 stale=" + std::to_string(j.stale.size()) + ";0;;0 oldest_success_age=" + age +
           ";" + std::to_string(allowance) + ";;0";
}

Json time_or_null(std::int64_t t) {
    return t != 0 ? Json(t) : Json(nullptr);
}
Json age_or_null(std::int64_t t, std::int64_t now) {
    return t != 0 ? Json(age_of(t, now)) : Json(nullptr);
}

Json volume_json(const std::string& volume, const VolumeHistory& h, std::int64_t allowance,
                 std::int64_t now) {
    Json v;
    v["volume"] = volume;
    v["state"] = kStateNames[volume_state(h, allowance, now)];
    v["last_result"] = h.last_run != 0 ? Json(outcome_class_name(h.last_outcome)) : Json(nullptr);
    v["last_run"] = time_or_null(h.last_run);
    v["last_success"] = time_or_null(h.last_success);
    v["last_success_age_seconds"] = age_or_null(h.last_success, now);
    v["newest_backup"] = time_or_null(h.last_meta_mtime);
    v["newest_backup_age_seconds"] = age_or_null(h.last_meta_mtime, now);
    return v;
}

std::string json_text(const Json& j) {
    return j.dump(-1, ' ', true, Json::error_handler_t::replace) + "\n";
}

}  // namespace

std::map<std::string, VolumeHistory> status_volumes(const VerifyAllConfig& config,
                                                    std::map<std::string, VolumeHistory> history) {
    for (const VolumeSection& s : config.volumes) history.try_emplace(s.volume);
    std::erase_if(history, [&config](const auto& entry) {
        return config_settings_for(config, entry.first).skip;
    });
    return history;
}

int status_render(const std::map<std::string, VolumeHistory>& volumes, int reverify_after_days,
                  std::int64_t now, bool json, std::string* out) {
    const int allowance_days = reverify_after_days + 1;
    const std::int64_t allowance = allowance_days * kDay;
    Judgement j = judge(volumes, allowance, now);
    std::string summary = summary_of(j, volumes.size(), allowance_days);
    if (!json) {
        *out = std::string("QOR VERIFY ") + kStateNames[j.state] + " - " + summary + " | " +
               perfdata_of(j, volumes.size(), allowance) + "\n";
        return j.state;
    }
    Json o;
    o["status"] = kStateNames[j.state];
    o["summary"] = summary;
    o["time"] = now;
    o["reverify_after_days"] = reverify_after_days;
    o["volumes"] = Json::array();
    for (const auto& [volume, h] : volumes)
        o["volumes"].push_back(volume_json(volume, h, allowance, now));
    *out = json_text(o);
    return j.state;
}

int status_unknown(std::string_view sentence, bool json, std::FILE* out) {
    std::string text(sentence);
    if (json) {
        Json o;
        o["status"] = kStateNames[STATUS_UNKNOWN];
        o["summary"] = text;
        std::fputs(json_text(o).c_str(), out);
    } else {
        std::fprintf(out, "QOR VERIFY UNKNOWN - %s\n", shown_name(text).c_str());
    }
    return STATUS_UNKNOWN;
}

int status_report(const VerifyAllConfig& config, bool json, std::FILE* out) {
    try {
        std::map<std::string, VolumeHistory> history;
        char err[400];
        if (history_read_latest(config.history_path, &history, err, sizeof err) != 0) {
            return status_unknown(err, json, out);
        }
        std::string text;
        int state = status_render(status_volumes(config, std::move(history)),
                                  config.reverify_after_days, time(nullptr), json, &text);
        std::fputs(text.c_str(), out);
        return state;
    } catch (const std::bad_alloc&) {
        return status_unknown("out of memory", json, out);
    }
}

}  // namespace qor
