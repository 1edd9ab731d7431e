#pragma once

#include <cstddef>
#include <cstdint>

namespace qor {

// One parsed row of lvs output.
struct LvInfo {
    char vg_name[128];
    char lv_name[128];
    char lv_attr[16];
    char segtype[32];
    char origin[128];
    std::uint64_t lv_size;         // bytes
    std::int64_t lv_kernel_major;  // -1 when the column is empty
    std::int64_t lv_kernel_minor;  // -1 when the column is empty
};

// Looks up vg/lv through lvs. 0: found, *info filled with the row of exactly
// that volume. 1: not found, or lvs exited with an error ("%s/%s not found" in
// err only when lvs ran but gave no row of it). -1: lvs is not installed,
// could not start, or was killed before it answered (at its deadline or by an
// interruption), sentence in err.
int lv_lookup(const char* vg, const char* lv, LvInfo* info, char* err, std::size_t err_size);

// Parses one "|"-separated lvs row of eight columns. 0 or -1.
int lv_parse_row(const char* row, LvInfo* info);

// 1 when tag is one whole entry of the tag list of vg/lv (standard output of
// lvs only), 0 when not, -1 when the question cannot be answered (sentence in
// err).
int lv_has_tag(const char* vg, const char* lv, const char* tag, char* err, std::size_t err_size);

// 1 when the fifth character of lv_attr marks an invalid snapshot ("I" or "S").
int lv_snapshot_invalid(const char* lv_attr);

// 1 when lv_attr marks a volume that has a device node: any state but
// inactive ("-") and historical ("h"). A thin snapshot is created inactive
// and stays so until activated with -K.
int lv_is_active(const char* lv_attr);

// 1 when the looked-up volume is a snapshot of origin: a thick snapshot
// (type "s") or a thin volume (type "V") whose origin column names it.
int lv_is_snapshot_of(const LvInfo* info, const char* origin);

}  // namespace qor
