#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Finding the .meta files of the configured backups and reading what each
// records: the volume it was taken of and the kept snapshot.
namespace qor {

struct ScannedBackup {
    std::string meta_path;
    std::int64_t mtime_sec = 0;
    long mtime_nsec = 0;
    bool usable = false;  // header read and snapshot reference understood
    std::string vg;       // the rest only when usable
    std::string origin;
    std::string snapshot;
    std::string problem;  // when not usable: why, one sentence (raw outside text escaped)

    std::string volume() const { return vg + "/" + origin; }
};

// Expands each source: a directory gives every regular *.meta file directly in
// it, a pattern with * ? or [ goes through glob(3), anything else is taken as
// one file. Paths come back sorted and without repeats; a source that gives
// no file adds its sentence to *unmatched. May throw std::bad_alloc.
std::vector<std::string> backup_find_meta_files(const std::vector<std::string>& sources,
                                                std::vector<std::string>* unmatched);

// Reads the header and snapshot reference of one .meta file with the suite's
// own readers. Never fails as a call: an unreadable file comes back not usable,
// with the reason in problem. May throw std::bad_alloc.
ScannedBackup backup_scan_one(const std::string& meta_path);

}  // namespace qor
