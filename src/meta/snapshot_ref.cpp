#include "meta/snapshot_ref.h"

#include <cstring>
#include <string_view>

#include "common/text.h"

namespace qor {
namespace {

constexpr std::string_view REF_PREFIX = "lvm:";

// A name starting with "-" would reach lvs and lvremove as an option word;
// LVM never creates such a name, so such a reference cannot be genuine.
bool name_is_usable(std::string_view name) {
    return !name.empty() && name.size() <= static_cast<std::size_t>(SNAPSHOT_NAME_MAX) &&
           name.front() != '-';
}

}  // namespace

int parse_snapshot_ref(const char* text, SnapshotRef* ref) {
    if (text == nullptr || ref == nullptr) return -1;
    std::memset(ref, 0, sizeof *ref);

    std::string_view all(text);
    if (!all.starts_with(REF_PREFIX)) return -1;
    std::string_view rest = all.substr(REF_PREFIX.size());

    // The group ends at the first "/", the origin at the first "=" after it;
    // the snapshot name takes everything left, separators included.
    std::size_t slash = rest.find('/');
    if (slash == std::string_view::npos) return -1;
    std::size_t equals = rest.find('=', slash + 1);
    if (equals == std::string_view::npos) return -1;

    std::string_view vg = rest.substr(0, slash);
    std::string_view origin = rest.substr(slash + 1, equals - slash - 1);
    std::string_view snapshot = rest.substr(equals + 1);
    if (!name_is_usable(vg) || !name_is_usable(origin) || !name_is_usable(snapshot)) return -1;

    text_copy(ref->vg_name, sizeof ref->vg_name, vg);
    text_copy(ref->origin_lv, sizeof ref->origin_lv, origin);
    text_copy(ref->snapshot_lv, sizeof ref->snapshot_lv, snapshot);
    return 0;
}

}  // namespace qor
