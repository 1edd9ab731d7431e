#pragma once

#include <cstddef>
#include <cstdint>

#include "common/unique_fd.h"

namespace qor {

inline constexpr const char* RESTORE_TARGET_SUFFIX = "_qorverify";

// The scratch target a backup is restored into. Whatever it names did not
// exist before this run, so removing it afterwards removes only our own work.
struct RestoreTarget {
    char path[600];  // "/dev/<vg>/<lv>" or the file path
    std::int32_t is_lv;
    char vg[128];
    char lv[128];
    std::int32_t valid;  // 1 once set up; removal does nothing while 0
    // A file target: the regular file found there after the restore, the
    // only one removal will delete and the only one compared. Held open
    // (O_PATH), so that its inode number cannot pass to a file put in its place.
    UniqueFd file;
    // What the claimed file looked like when it was claimed: a later write
    // to it shows as another size or modification time.
    std::int64_t file_size;
    std::int64_t file_mtime_ns;
};

// Chooses the target (target_file, target_lv "<vg>/<lv>", or the default LV
// "<origin>_qorverify" in vg_name), refuses one that exists, and creates an LV
// of size_bytes. 0, or -1 with one sentence in err and nothing created, except
// when lvcreate was killed after making the LV: then the record stays valid,
// so that remove_restore_target removes it.
int prepare_restore_target(const char* vg_name, const char* origin_lv, std::uint64_t size_bytes,
                           const char* target_lv, const char* target_file, RestoreTarget* target,
                           char* err, std::size_t err_size);

// After the restore, for a file target: remembers the file at the path when
// it is a regular file (a link there is never followed), so that removal
// deletes that file and nothing put in its place. 0 for an LV target or such
// a file; -1 with one sentence in err when the path holds anything else.
int restore_target_claim_file(RestoreTarget* target, char* err, std::size_t err_size);

// For a file target: 0 while the path still names the claimed file with the
// size and modification time it had when claimed; -1 with "the restored file
// ... changed after the restore" in err otherwise. 0 for an LV target.
int restore_target_check_unchanged(const RestoreTarget& target, char* err, std::size_t err_size);

// Opens the target for reading into *fd (close-on-exec). A file target is
// reopened through its claimed descriptor after restore_target_check_unchanged,
// never by its path, so that nothing put at the path is read; an LV target
// is opened by its device path. 0, or -1 with one sentence in err.
int restore_target_open_read(const RestoreTarget& target, UniqueFd* fd, char* err,
                             std::size_t err_size);

// Removes what prepare_restore_target set up (for a file target, only the
// claimed file, and only while the path still names it); failures are logged as warnings.
// Returns -1 when a scratch LV could not be removed, else 0. Runs to its end
// even when the run is being interrupted.
int remove_restore_target(RestoreTarget* target);

}  // namespace qor
