#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "verify_all/outcome.h"

// The history: one JSON object per line, one line per verification, appended
// to a file under /var/lib/qor/.
namespace qor {

// One verification, or one backup that could not even be tried.
struct VerificationRecord {
    std::string meta_path;
    std::string volume;           // "vg/origin"; empty when the .meta could not be read
    int mode = 0;                 // VERIFY_MODE_BYTE or VERIFY_MODE_FS
    std::int64_t start_time = 0;  // seconds since the epoch
    double duration_seconds = 0;
    bool ran = false;  // qor_verifier was run (run is meaningful)
    VerifierRun run;
    OutcomeClass outcome = OutcomeClass::could_not_verify;
    std::string reason;           // why it was not run, when it was not
    std::int64_t meta_mtime = 0;  // the .meta's modification time, 0 when not known
};

// What the history says about one volume.
struct VolumeHistory {
    std::int64_t last_run = 0;  // start of the newest record
    double last_duration = 0;
    OutcomeClass last_outcome = OutcomeClass::could_not_verify;
    std::int64_t last_success = 0;   // start of the newest identical record, 0 if none
    std::int64_t newest_backup = 0;  // newest .meta modification time recorded, 0 if none
};

// The record as one JSON line with its newline. Fields: meta, volume, mode,
// meta_mtime (null when not known), start (UTC, ISO 8601), start_time,
// duration_seconds, exit_status, signal, verdict, class, bytes_compared (only
// when the verdict gives it), reason (only when not run). Bytes that are not UTF-8 are replaced,
// never passed on. 0, or -1 with the sentence in err.
int history_format_line(const VerificationRecord& record, std::string* line, char* err,
                        std::size_t err_size);

// Appends line with one write to path (created with mode 0640, and its
// missing parent directories with it). 0, or -1 with the sentence in err.
int history_append(const std::string& path, const std::string& line, char* err,
                   std::size_t err_size);

// Reads one history line back into the fields a summary needs (volume,
// start_time, duration_seconds, class, meta_mtime); false when the line is not
// a record this program wrote.
bool history_parse_line(const std::string& line, VerificationRecord* record);

// Folds record into *summary when it is newer than what it holds.
void history_fold(const VerificationRecord& record, std::map<std::string, VolumeHistory>* summary);

// Reads the history at path and folds every well-formed line into *summary;
// lines that do not parse are skipped. A missing file is an empty history.
// 0, or -1 with the sentence in err.
int history_summarize(const std::string& path, std::map<std::string, VolumeHistory>* summary,
                      char* err, std::size_t err_size);

}  // namespace qor
