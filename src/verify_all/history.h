#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "verify_all/outcome.h"

// The history: one JSON object per line, one line per verification, appended
// to a file under /var/lib/qor/. It is kept bounded (HISTORY_KEEP_PER_VOLUME)
// and read from its end, so that its size never slows a reader down.
namespace qor {

// Records kept per volume when the history is compacted, besides the newest
// identical one, which is always kept. Records of .meta files that could not
// be read share one such allowance.
inline constexpr std::size_t HISTORY_KEEP_PER_VOLUME = 100;

// One verification, or one backup that could not even be tried.
struct VerificationRecord {
    std::string meta_path;
    std::string volume;             // "vg/origin"; empty when the .meta could not be read
    int mode = 0;                   // VERIFY_MODE_BYTE or VERIFY_MODE_FS
    std::int64_t meta_size = 0;     // the .meta's size and modification time (seconds)
    std::int64_t meta_mtime = 0;    // when the pass chose it
    std::string snapshot_ref;       // the recorded reference, "lvm:vg/origin=snapshot"
    bool snapshot_removed = false;  // the pass had the snapshot removed after this run
    std::int64_t start_time = 0;    // seconds since the epoch
    double duration_seconds = 0;
    bool ran = false;  // qor_verifier was run (run is meaningful)
    VerifierRun run;
    OutcomeClass outcome = OutcomeClass::could_not_verify;
    std::string reason;  // why it was not run, or why its result does not stand
};

// What the history says about one volume: its newest record and its newest
// identical one.
struct VolumeHistory {
    std::int64_t last_run = 0;  // start of the newest record
    double last_duration = 0;
    OutcomeClass last_outcome = OutcomeClass::could_not_verify;
    std::int64_t last_success = 0;  // start of the newest identical record, 0 if none
    // Modification time of the newest record's .meta: the newest backup the
    // pass found, which monitoring compares with the clock.
    std::int64_t last_meta_mtime = 0;
    std::optional<VerificationRecord> last_identical;  // that record
};

// The record as one JSON line with its newline, ASCII only. Fields: meta,
// volume, mode, size, meta_mtime, snapshot_ref, snapshot_removed, start (UTC,
// ISO 8601), start_time, duration_seconds, exit_status, signal, verdict,
// class, bytes_compared (only when the verdict gives it), reason (only when
// there is one). Bytes that are not UTF-8 are replaced, never passed on. 0,
// or -1 with the sentence in err.
int history_format_line(const VerificationRecord& record, std::string* line, char* err,
                        std::size_t err_size);

// The record a history line holds; false when the line is not a record this
// program wrote.
bool history_parse_line(const std::string& line, VerificationRecord* record);

// Appends line with one write to path (created with mode 0640, group "adm"
// where that group exists, and its missing parent directories with it). 0,
// or -1 with the sentence in err.
int history_append(const std::string& path, const std::string& line, char* err,
                   std::size_t err_size);

// Folds record into *summary: it becomes the volume's newest record, and its
// newest identical one when it is identical.
void history_fold(const VerificationRecord& record, std::map<std::string, VolumeHistory>* summary);

// Reads the history at path from its end and fills *latest with each
// volume's newest record and newest identical record; the newest is the one
// written last. A line is parsed only while its volume still lacks one of
// the two, so a large history costs little more than reading it. Lines that
// do not parse are skipped; a missing file is an empty history, one that is
// not a regular file an error. 0, or -1 with the sentence in err.
int history_read_latest(const std::string& path, std::map<std::string, VolumeHistory>* latest,
                        char* err, std::size_t err_size);

// Rewrites the history at path with only the newest HISTORY_KEEP_PER_VOLUME
// records of each volume and its newest identical record, through a new file
// (same mode and group, synced) renamed over it; a history within the bound
// is left untouched. 0, or -1 with the sentence in err.
int history_compact(const std::string& path, char* err, std::size_t err_size);

}  // namespace qor
