#pragma once

namespace qor {

inline constexpr int SNAPSHOT_NAME_MAX = 127;

// A kept LVM snapshot as recorded by the backup: "lvm:<vg>/<origin>=<snapshot>".
struct SnapshotRef {
    char vg_name[SNAPSHOT_NAME_MAX + 1];
    char origin_lv[SNAPSHOT_NAME_MAX + 1];
    char snapshot_lv[SNAPSHOT_NAME_MAX + 1];
};

// Parses text into *ref (cleared first). Returns 0, or -1 when the text is
// refused or an argument is null (then nothing is written).
int parse_snapshot_ref(const char* text, SnapshotRef* ref);

}  // namespace qor
