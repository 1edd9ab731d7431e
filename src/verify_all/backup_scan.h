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
    std::int64_t mtime_sec = 0;  // as the file says
    long mtime_nsec = 0;
    std::int64_t order_sec = 0;  // what "newest" goes by: the modification time, or the
    long order_nsec = 0;         // time of the scan when that lies in the future
    std::int64_t size = 0;
    std::int64_t ctime_sec = 0;  // the rest of what tells a replaced or changed file
    long ctime_nsec = 0;
    std::uint64_t dev = 0;
    std::uint64_t ino = 0;
    bool usable = false;  // header read and snapshot reference understood
    std::string ref;      // the rest only when usable: the recorded reference
    std::string vg;
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
// own readers; a reference whose names LVM would not allow makes it not
// usable. scan_time (seconds since the epoch) stands in for a modification
// time in the future. Never fails as a call: an unreadable file comes back
// not usable, with the reason in problem. May throw std::bad_alloc.
ScannedBackup backup_scan_one(const std::string& meta_path, std::int64_t scan_time);

// True when again is the same file as before, unchanged: the same inode,
// size, modification and change times and recorded reference.
bool backup_is_unchanged(const ScannedBackup& before, const ScannedBackup& again);

}  // namespace qor
