#include "verify_all/volume_pick.h"

#include <algorithm>
#include <map>

namespace qor {
namespace {

bool is_newer(const ScannedBackup& a, const ScannedBackup& b) {
    if (a.order_sec != b.order_sec) return a.order_sec > b.order_sec;
    if (a.order_nsec != b.order_nsec) return a.order_nsec > b.order_nsec;
    return a.meta_path > b.meta_path;
}

}  // namespace

std::vector<VolumePick> volume_pick_newest(const std::vector<ScannedBackup>& scanned) {
    std::map<std::string, VolumePick> by_volume;
    for (std::size_t i = 0; i < scanned.size(); ++i) {
        const ScannedBackup& b = scanned[i];
        if (!b.usable) continue;
        auto [it, inserted] = by_volume.try_emplace(b.volume(), VolumePick{b.volume(), i, 0});
        VolumePick& pick = it->second;
        ++pick.backups;
        if (!inserted && is_newer(b, scanned[pick.newest])) pick.newest = i;
    }
    std::vector<VolumePick> picks;
    picks.reserve(by_volume.size());
    for (auto& entry : by_volume) picks.push_back(std::move(entry.second));
    return picks;
}

}  // namespace qor
