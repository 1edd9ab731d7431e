#pragma once

#include <cstddef>
#include <cstdint>

namespace qor {

// What lv_create and lv_remove say about a name lv_name_valid refuses.
inline constexpr const char* LV_NAME_REFUSED = "invalid volume group or logical volume name";

// 1 when name is a volume group or LV name LVM accepts (1 to 126 characters,
// first a letter or digit, then letters, digits, "+", "-", "." and "_"), else 0.
int lv_name_valid(const char* name);

// lv_create's answer when lvcreate was killed before it exited: vg/lv may
// exist now, and only a look-up can tell.
inline constexpr int LV_CREATE_UNFINISHED = -2;

// Creates vg/lv of size_bytes (rounded up to whole KiB, at least 1K) with
// lvcreate. 0; -1 with the reason in err; or LV_CREATE_UNFINISHED with the
// reason in err. Once lvcreate has started it runs to its end (or deadline)
// even when the run is being interrupted; it does not start once it is.
int lv_create(const char* vg, const char* lv, std::uint64_t size_bytes, char* err,
              std::size_t err_size);

// Removes vg/lv with "lvremove -f -y". 0, or -1 with the reason in err.
int lv_remove(const char* vg, const char* lv, char* err, std::size_t err_size);

}  // namespace qor
