#include "verify_all/verify_pass.h"

#include <time.h>

#include <map>
#include <new>
#include <vector>

#include "common/console_log.h"
#include "common/interrupt.h"
#include "common/monotonic_clock.h"
#include "common/run_log.h"
#include "lvm/lv_manage.h"
#include "lvm/lv_query.h"
#include "verify_all/backup_scan.h"
#include "verify_all/escaped_text.h"
#include "verify_all/history.h"
#include "verify_all/service_notify.h"
#include "verify_all/textfile.h"
#include "verify_all/volume_pick.h"

namespace qor {
namespace {

constexpr const char* kScratchSuffix = "_qorverify";

struct Tally {
    std::size_t identical = 0;
    std::size_t differs = 0;
    std::size_t unverified = 0;
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
    std::size_t unusable = 0;
};

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
    std::string sentence =
        std::string("cannot use ") + EscapedText(b.meta_path).c_str() + ": " + b.problem;
    if (pass.dry_run) {
        std::fprintf(pass.out, "unusable: %s\n", sentence.c_str());
        return;
    }
    runlog_log(RUNLOG_WARN, "%s", sentence.c_str());
    VerificationRecord r;
    r.meta_path = b.meta_path;
    r.start_time = time(nullptr);
    r.reason = b.problem;
    pass_record(pass, r);
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
    r.meta_mtime = b.mtime_sec;
    r.start_time = time(nullptr);
    const std::int64_t started_ns = monotonic_ns();
    char err[400] = "";
    if (pass.tools.run(argv, &r.run, err, sizeof err) == 0) {
        r.ran = true;
        r.outcome = outcome_classify(r.run);
    } else {
        r.reason = std::string("could not run qor_verifier: ") + err;
    }
    r.duration_seconds = static_cast<double>(monotonic_ns() - started_ns) / 1e9;
    return r;
}

void pass_volume(Pass& pass, const VolumePick& pick, const ScannedBackup& b) {
    ResolvedSettings s = config_settings_for(pass.config, pick.volume);
    std::string volume = EscapedText(pick.volume).c_str();
    if (s.skip) {
        if (pass.dry_run) std::fprintf(pass.out, "%s: skipped (skip = yes)\n", volume.c_str());
        return;
    }
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
        r.meta_mtime = b.mtime_sec;
        r.start_time = time(nullptr);
        r.reason = leftover;
    } else {
        runlog_log(RUNLOG_INFO, "verifying %s: %s (newest of %zu)", volume.c_str(),
                   EscapedText(b.meta_path).c_str(), pick.backups);
        r = pass_run_one(pass, b, s, argv);
        if (!r.ran) runlog_log(RUNLOG_ERROR, "%s: %s", volume.c_str(), r.reason.c_str());
    }
    runlog_log(r.outcome == OutcomeClass::identical ? RUNLOG_INFO : RUNLOG_ERROR,
               "%s: %s after %.1f s", volume.c_str(), outcome_class_name(r.outcome),
               r.duration_seconds);
    pass_record(pass, r);
}

void pass_publish(Pass& pass) {
    const std::string& path = pass.config.textfile_path;
    if (path.empty()) return;
    std::map<std::string, VolumeHistory> summary;
    char err[400];
    if (history_summarize(pass.config.history_path, &summary, err, sizeof err) != 0) {
        runlog_log(RUNLOG_WARN, "%s", err);
    }
    // Tonight's results count even when the history could not be written;
    // only volumes seen in this pass are published.
    std::map<std::string, VolumeHistory> published;
    for (const auto& [volume, h] : pass.tonight) {
        VolumeHistory merged = h;
        auto old = summary.find(volume);
        if (old != summary.end() && old->second.last_success > merged.last_success) {
            merged.last_success = old->second.last_success;
        }
        published[volume] = merged;
    }
    std::string text = textfile_render(published, time(nullptr), pass.unusable);
    if (textfile_write(path, text, err, sizeof err) != 0) {
        runlog_log(RUNLOG_WARN, "%s", err);
        pass.tally.recording_failed = true;
    }
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
    std::vector<ScannedBackup> scanned;
    for (const std::string& p : paths) scanned.push_back(backup_scan_one(p));
    for (const ScannedBackup& b : scanned) {
        if (!b.usable) pass_unusable(pass, b);
    }
    std::vector<VolumePick> picks = volume_pick_newest(scanned);
    std::size_t done = 0;
    for (const VolumePick& pick : picks) {
        if (int sig = interrupt_pending(); sig != 0) {
            runlog_log(RUNLOG_ERROR, "interrupted by %s: %zu volume(s) not verified",
                       interrupt_signal_name(sig), picks.size() - done);
            pass.tally.unverified += picks.size() - done;
            break;
        }
        service_notify_status("verifying %s (%zu of %zu)", EscapedText(pick.volume).c_str(),
                              done + 1, picks.size());
        pass_volume(pass, pick, scanned[pick.newest]);
        ++done;
    }
    if (pass.dry_run) return VERIFY_ALL_EXIT_IDENTICAL;
    service_notify_status("writing the metrics");
    pass_publish(pass);
    const Tally& t = pass.tally;
    runlog_log(t.exit_status() == 0 ? RUNLOG_INFO : RUNLOG_ERROR,
               "pass done: %zu identical, %zu differ, %zu could not be verified", t.identical,
               t.differs, t.unverified);
    return t.exit_status();
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
        Pass pass{config, dry_run, tools, out, {}, {}, 0};
        return pass_run(pass);
    } catch (const std::bad_alloc&) {
        runlog_log(RUNLOG_ERROR, "out of memory");
        return VERIFY_ALL_EXIT_UNVERIFIED;
    }
}

}  // namespace qor
