#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "verify_all/backup_scan.h"

namespace qor {

// The backup chosen for one volume: the newest of those that recorded it.
struct VolumePick {
    std::string volume;   // "vg/origin"
    std::size_t newest;   // index into the scanned list
    std::size_t backups;  // usable backups of this volume
};

// Groups the usable backups by recorded volume group and origin LV and picks
// the newest of each by modification time, one in the future counting as the
// time of the scan (a tie goes to the greater path, so
// the choice never depends on directory order). Sorted by volume. May throw
// std::bad_alloc.
std::vector<VolumePick> volume_pick_newest(const std::vector<ScannedBackup>& scanned);

}  // namespace qor
