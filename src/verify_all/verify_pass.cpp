#include "verify_all/verify_pass.h"

#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <map>
#include <new>
#include <set>
#include <vector>

#include "common/console_log.h"
#include "common/interrupt.h"
#include "common/monotonic_clock.h"
#include "common/run_log.h"
#include "common/utc_timestamp.h"
#include "lvm/lv_manage.h"
#include "lvm/lv_query.h"
#include "verify_all/backup_scan.h"
#include "verify_all/backup_trust.h"
#include "verify_all/escaped_text.h"
#include "verify_all/history.h"
#include "verify_all/service_notify.h"
#include "verify_all/status.h"
#include "verify_all/textfile.h"
#include "verify_all/volume_pick.h"

namespace qor {
namespace {

constexpr const char* kScratchSuffix = "_qorverify";

constexpr std::int64_t kSecondsPerDay = 86400;

struct Tally {
    std::size_t identical = 0;
    std::size_t differs = 0;
    std::size_t unverified = 0;
    std::size_t already_verified = 0;  // none of these three, and no failure
    std::size_t not_reached = 0;
    bool recording_failed = false;

    void count(OutcomeClass c) {
        if (c == OutcomeClass::identical) ++identical;
        if (c == OutcomeClass::differs) ++differs;
        if (c == OutcomeClass::could_not_verify) ++unverified;
    }
    int exit_status() const {
        if (differs > 0) return VERIFY_ALL_EXIT_DIFFERS;
        if (unverified > 0 || recording_failed) return VERIFY_ALL_EXIT_UNVERIFIED;
        return VERIFY_ALL_EXIT_IDENTICAL;
    }
};

struct Pass {
    const VerifyAllConfig& config;
    bool dry_run;
    const PassTools& tools;
    std::FILE* out;
    Tally tally;
    std::map<std::string, VolumeHistory> tonight;
    std::map<std::string, VolumeHistory> known;  // the history as the pass began
    std::set<std::string> untrusted_dirs;        // each warned about once
    std::size_t unusable = 0;
    std::int64_t scan_time = 0;
    std::int64_t started_ns = 0;
};

std::string dir_of(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string iso_utc(std::int64_t t) {
    char buf[UTC_TIMESTAMP_BYTES];
    utc_timestamp_at(t, buf, sizeof buf);
    return buf;
}

std::string command_text(const std::vector<std::string>& argv) {
    std::string text;
    for (const std::string& word : argv) {
        if (!text.empty()) text += ' ';
        text += EscapedText(word).c_str();
    }
    return text;
}

// Appends the record to the history and counts it.
void pass_record(Pass& pass, const VerificationRecord& record) {
    pass.tally.count(record.outcome);
    history_fold(record, &pass.tonight);
    std::string line;
    char err[400];
    if (history_format_line(record, &line, err, sizeof err) != 0 ||
        history_append(pass.config.history_path, line, err, sizeof err) != 0) {
        runlog_log(RUNLOG_WARN, "%s", err);
        pass.tally.recording_failed = true;
    }
    runlog_event(RUNLOG_CAT_RUN, "%s %s %s", outcome_class_name(record.outcome),
                 record.volume.empty() ? "-" : EscapedText(record.volume).c_str(),
                 EscapedText(record.meta_path).c_str());
}

void pass_unusable(Pass& pass, const ScannedBackup& b) {
    ++pass.unusable;
    if (pass.dry_run) {
        std::fprintf(pass.out, "unusable: cannot use %s: %s\n", EscapedText(b.meta_path).c_str(),
                     b.problem.c_str());
        return;
    }
    VerificationRecord r;
    r.meta_path = b.meta_path;
    r.meta_size = b.size;
    r.meta_mtime = b.mtime_sec;
    r.start_time = time(nullptr);
    r.reason = b.problem;
    pass_record(pass, r);
}

// One line per directory, however many files in it cannot be used.
void pass_report_unusable(Pass& pass, const std::vector<ScannedBackup>& scanned) {
    std::map<std::string, std::vector<const ScannedBackup*>> by_dir;
    for (const ScannedBackup& b : scanned) {
        if (!b.usable) by_dir[dir_of(b.meta_path)].push_back(&b);
    }
    for (const auto& [dir, files] : by_dir) {
        const ScannedBackup& first = *files.front();
        if (files.size() == 1) {
            runlog_log(RUNLOG_WARN, "cannot use %s: %s", EscapedText(first.meta_path).c_str(),
                       first.problem.c_str());
        } else {
            runlog_log(RUNLOG_WARN, "cannot use %zu .meta files in %s; the first, %s: %s",
                       files.size(), EscapedText(dir).c_str(),
                       EscapedText(first.meta_path.substr(dir.size() + 1)).c_str(),
                       first.problem.c_str());
        }
        for (const ScannedBackup* b : files) pass_unusable(pass, *b);
    }
}

// A section for a volume no backup records is most likely a typing error.
void pass_report_unknown_sections(const Pass& pass, const std::vector<ScannedBackup>& scanned) {
    for (const VolumeSection& section : pass.config.volumes) {
        bool recorded = std::any_of(scanned.begin(), scanned.end(), [&](const ScannedBackup& b) {
            return b.usable && b.volume() == section.volume;
        });
        if (!recorded) {
            runlog_log(RUNLOG_WARN, "[%s] names a volume that no backup records",
                       EscapedText(section.volume).c_str());
        }
    }
}

// An untrusted backup is verified, but may not have its snapshot removed:
// whoever can replace its .meta would choose which snapshot that is.
bool pass_trusts(Pass& pass, const ScannedBackup& b) {
    std::string why;
    if (backup_is_trusted(b.meta_path, &why)) return true;
    std::string dir = dir_of(b.meta_path);
    if (pass.untrusted_dirs.insert(dir).second) {
        runlog_log(RUNLOG_WARN,
                   "backups in %s are not trusted (%s): they are verified, but never with "
                   "remove-snapshot-after",
                   EscapedText(dir).c_str(), why.c_str());
    }
    return false;
}

// Why the backup b needs no verification tonight, or "".
std::string already_verified(const Pass& pass, const VolumePick& pick, const ScannedBackup& b) {
    auto it = pass.known.find(pick.volume);
    if (it == pass.known.end() || !it->second.last_identical) return {};
    const VerificationRecord& r = *it->second.last_identical;
    if (r.meta_path != b.meta_path || r.meta_size != b.size || r.meta_mtime != b.mtime_sec ||
        r.snapshot_ref != b.ref) {
        return {};
    }
    std::string when = iso_utc(r.start_time);
    if (r.snapshot_removed) {
        return "already verified identical at " + when +
               ", and its snapshot was removed after that, so it cannot be verified again";
    }
    std::int64_t days = pass.config.reverify_after_days;
    if (pass.scan_time - r.start_time < days * kSecondsPerDay) {
        return "already verified identical at " + when +
               " (reverify-after = " + std::to_string(days) + " days)";
    }
    return {};
}

// The scratch LV a run would create, when it is an LV: "" when a file is the target.
bool scratch_lv_of(const ScannedBackup& b, const ResolvedSettings& s, std::string* vg,
                   std::string* lv) {
    if (!s.target_file.empty()) return false;
    if (s.target_lv.empty()) {
        *vg = b.vg;
        *lv = b.origin + kScratchSuffix;
    } else {
        std::size_t slash = s.target_lv.find('/');
        *vg = s.target_lv.substr(0, slash);
        *lv = s.target_lv.substr(slash + 1);
    }
    return true;
}

// A scratch LV that already exists was left by a run that did not finish.
// The verifier would refuse it anyway; the operator decides what it holds.
std::string leftover_reason(const Pass& pass, const ScannedBackup& b, const ResolvedSettings& s) {
    std::string vg, lv;
    if (!scratch_lv_of(b, s, &vg, &lv) || pass.tools.probe(vg, lv) != 1) return {};
    std::string name = std::string(EscapedText(vg).c_str()) + "/" + EscapedText(lv).c_str();
    return "the scratch LV " + name +
           " is left from an earlier run that did not finish; inspect it, then remove it with "
           "'lvremove " +
           name + "' (qor_verify_all never removes it)";
}

VerificationRecord pass_run_one(Pass& pass, const ScannedBackup& b, const ResolvedSettings& s,
                                const std::vector<std::string>& argv) {
    VerificationRecord r;
    r.meta_path = b.meta_path;
    r.volume = b.volume();
    r.mode = s.mode;
    r.start_time = time(nullptr);
    const std::int64_t started_ns = monotonic_ns();
    r.meta_size = b.size;
    r.meta_mtime = b.mtime_sec;
    r.snapshot_ref = b.ref;
    char err[400] = "";
    if (pass.tools.run(argv, pass.config.timeout_seconds, &r.run, err, sizeof err) == 0) {
        r.ran = true;
        r.outcome = outcome_classify(r.run);
    } else {
        r.reason = std::string("could not run qor_verifier: ") + err;
    }
    r.duration_seconds = static_cast<double>(monotonic_ns() - started_ns) / 1e9;
    if (r.ran && r.run.timed_out) {
        r.reason = "the verification was stopped after timeout = " +
                   std::to_string(pass.config.timeout_seconds) + " s";
    }
    // What was verified must be what was chosen: a .meta replaced or changed
    // meanwhile may have named another snapshot than the one chosen for.
    if (r.ran && !backup_is_unchanged(b, backup_scan_one(b.meta_path, pass.scan_time))) {
        r.outcome = OutcomeClass::could_not_verify;
        r.reason =
            "the backup changed during its verification (its .meta was replaced or "
            "modified), so its result does not stand";
    }
    r.snapshot_removed = s.remove_snapshot_after && r.outcome == OutcomeClass::identical;
    return r;
}

void pass_volume(Pass& pass, const VolumePick& pick, const ScannedBackup& b) {
    ResolvedSettings s = config_settings_for(pass.config, pick.volume);
    std::string volume = EscapedText(pick.volume).c_str();
    if (s.skip) {
        if (pass.dry_run) std::fprintf(pass.out, "%s: skipped (skip = yes)\n", volume.c_str());
        return;
    }
    if (std::string done = already_verified(pass, pick, b); !done.empty()) {
        ++pass.tally.already_verified;
        if (pass.dry_run) {
            std::fprintf(pass.out, "%s: %s %s\n", volume.c_str(), EscapedText(b.meta_path).c_str(),
                         done.c_str());
        } else {
            runlog_log(RUNLOG_INFO, "%s: %s %s", volume.c_str(), EscapedText(b.meta_path).c_str(),
                       done.c_str());
        }
        return;
    }
    if (!pass_trusts(pass, b)) s.remove_snapshot_after = false;
    std::vector<std::string> argv = verifier_command(b.meta_path, s);
    std::string leftover = leftover_reason(pass, b, s);
    if (pass.dry_run) {
        std::fprintf(pass.out, "%s: %s (newest of %zu)\n  %s\n", volume.c_str(),
                     EscapedText(b.meta_path).c_str(), pick.backups, command_text(argv).c_str());
        if (!leftover.empty()) std::fprintf(pass.out, "  not now: %s\n", leftover.c_str());
        return;
    }
    VerificationRecord r;
    if (!leftover.empty()) {
        runlog_log(RUNLOG_ERROR, "%s: %s", volume.c_str(), leftover.c_str());
        r.meta_path = b.meta_path;
        r.volume = pick.volume;
        r.mode = s.mode;
        r.meta_size = b.size;
        r.meta_mtime = b.mtime_sec;
        r.snapshot_ref = b.ref;
        r.start_time = time(nullptr);
        r.reason = leftover;
    } else {
        runlog_log(RUNLOG_INFO, "verifying %s: %s (newest of %zu)", volume.c_str(),
                   EscapedText(b.meta_path).c_str(), pick.backups);
        r = pass_run_one(pass, b, s, argv);
        if (!r.reason.empty()) runlog_log(RUNLOG_ERROR, "%s: %s", volume.c_str(), r.reason.c_str());
    }
    runlog_log(r.outcome == OutcomeClass::identical ? RUNLOG_INFO : RUNLOG_ERROR,
               "%s: %s after %.1f s", volume.c_str(), outcome_class_name(r.outcome),
               r.duration_seconds);
    pass_record(pass, r);
}

// The metrics file's directory is node_exporter's; without it, and without
// a textfile line asking for one, there is simply no metrics file.
bool pass_wants_textfile(const Pass& pass) {
    const std::string& path = pass.config.textfile_path;
    if (path.empty()) return false;
    if (pass.config.textfile_configured) return true;
    struct stat st {};
    if (stat(dir_of(path).c_str(), &st) == 0) return true;
    runlog_log(RUNLOG_INFO,
               "no metrics file: %s does not exist (node_exporter's textfile collector is not "
               "installed); a textfile line asks for one elsewhere",
               EscapedText(dir_of(path)).c_str());
    return false;
}

// Every volume the history knows and every configured one, whatever this
// pass reached, so that an interrupted pass drops no series; skipped
// volumes are left out.
void pass_publish(Pass& pass) {
    if (!pass_wants_textfile(pass)) return;
    std::map<std::string, VolumeHistory> published;
    char err[400];
    if (history_read_latest(pass.config.history_path, &published, err, sizeof err) != 0) {
        runlog_log(RUNLOG_WARN, "%s", err);
        published = pass.known;
    }
    // Tonight's results count even when the history could not be written.
    for (const auto& [volume, h] : pass.tonight) {
        VolumeHistory& merged = published[volume];
        std::int64_t success = std::max(merged.last_success, h.last_success);
        merged = h;
        merged.last_success = success;
    }
    std::string text = textfile_render(status_volumes(pass.config, std::move(published)),
                                       time(nullptr), pass.unusable);
    if (textfile_write(pass.config.textfile_path, text, err, sizeof err) != 0) {
        runlog_log(RUNLOG_WARN, "%s", err);
        pass.tally.recording_failed = true;
    }
}

// Volumes whose last success is oldest first (never: first of all), so that
// what a time budget left out comes first the next night.
void pass_order(const Pass& pass, std::vector<VolumePick>* picks) {
    auto last_success = [&pass](const VolumePick& p) {
        auto it = pass.known.find(p.volume);
        return it == pass.known.end() ? std::int64_t{0} : it->second.last_success;
    };
    std::stable_sort(picks->begin(), picks->end(), [&](const VolumePick& a, const VolumePick& b) {
        return last_success(a) < last_success(b);
    });
}

bool pass_budget_spent(const Pass& pass) {
    std::int64_t budget = pass.config.max_duration_seconds;
    return budget > 0 && monotonic_ns() - pass.started_ns >= budget * 1'000'000'000;
}

void pass_summary(const Pass& pass) {
    const Tally& t = pass.tally;
    std::string more;
    if (t.already_verified > 0)
        more += ", " + std::to_string(t.already_verified) + " already verified";
    if (t.not_reached > 0) more += ", " + std::to_string(t.not_reached) + " not reached";
    runlog_log(t.exit_status() == 0 ? RUNLOG_INFO : RUNLOG_ERROR,
               "pass done: %zu identical, %zu differ, %zu could not be verified%s", t.identical,
               t.differs, t.unverified, more.c_str());
}

int pass_run(Pass& pass) {
    service_notify_status("looking for backups");
    std::vector<std::string> unmatched;
    std::vector<std::string> paths = backup_find_meta_files(pass.config.backups, &unmatched);
    for (const std::string& sentence : unmatched) runlog_log(RUNLOG_WARN, "%s", sentence.c_str());
    if (paths.empty()) {
        runlog_log(RUNLOG_ERROR, "no .meta file found in the configured backups");
        return VERIFY_ALL_EXIT_UNVERIFIED;
    }
    pass.scan_time = time(nullptr);
    std::vector<ScannedBackup> scanned;
    for (const std::string& p : paths) {
        scanned.push_back(backup_scan_one(p, pass.scan_time));
        if (scanned.back().mtime_sec > pass.scan_time) {
            runlog_log(RUNLOG_WARN,
                       "%s has a modification time in the future; it counts as made now",
                       EscapedText(p).c_str());
        }
    }
    pass_report_unusable(pass, scanned);
    pass_report_unknown_sections(pass, scanned);
    char err[400];
    if (history_read_latest(pass.config.history_path, &pass.known, err, sizeof err) != 0) {
        runlog_log(RUNLOG_WARN, "%s", err);
    }
    std::vector<VolumePick> picks = volume_pick_newest(scanned);
    pass_order(pass, &picks);
    std::size_t done = 0;
    for (const VolumePick& pick : picks) {
        if (int sig = interrupt_pending(); sig != 0) {
            runlog_log(RUNLOG_ERROR, "interrupted by %s: %zu volume(s) not verified",
                       interrupt_signal_name(sig), picks.size() - done);
            pass.tally.unverified += picks.size() - done;
            break;
        }
        if (!pass.dry_run && pass_budget_spent(pass)) {
            pass.tally.not_reached = picks.size() - done;
            runlog_log(RUNLOG_WARN,
                       "max-duration = %lld s is used up: %zu volume(s) not reached; they are "
                       "taken first next time",
                       static_cast<long long>(pass.config.max_duration_seconds),
                       pass.tally.not_reached);
            break;
        }
        service_notify_status("verifying %s (%zu of %zu)", EscapedText(pick.volume).c_str(),
                              done + 1, picks.size());
        pass_volume(pass, pick, scanned[pick.newest]);
        ++done;
    }
    if (pass.dry_run) {
        return pass.unusable > 0 ? VERIFY_ALL_EXIT_UNVERIFIED : VERIFY_ALL_EXIT_IDENTICAL;
    }
    service_notify_status("writing the metrics");
    pass_publish(pass);
    if (history_compact(pass.config.history_path, err, sizeof err) != 0) {
        runlog_log(RUNLOG_WARN, "%s", err);
    }
    pass_summary(pass);
    return pass.tally.exit_status();
}

}  // namespace

int scratch_lv_exists(const std::string& vg, const std::string& lv) {
    if (!lv_name_valid(vg.c_str()) || !lv_name_valid(lv.c_str())) return 0;
    LvInfo info{};
    char err[400];
    int rc = lv_lookup(vg.c_str(), lv.c_str(), &info, err, sizeof err);
    return rc == 0 ? 1 : rc > 0 ? 0 : -1;
}

int verify_pass(const VerifyAllConfig& config, bool dry_run, const PassTools& tools,
                std::FILE* out) {
    try {
        Pass pass{config, dry_run, tools, out};
        pass.started_ns = monotonic_ns();
        return pass_run(pass);
    } catch (const std::bad_alloc&) {
        runlog_log(RUNLOG_ERROR, "out of memory");
        return VERIFY_ALL_EXIT_UNVERIFIED;
    }
}

}  // namespace qor
