#pragma once

#include <cstddef>
#include <cstdint>

namespace qor {

// 1 when name is a volume group or LV name LVM accepts (1 to 126 characters,
// first a letter or digit, then letters, digits, "+", "-", "." and "_"), else 0.
int lv_name_valid(const char* name);

// Creates vg/lv of size_bytes (rounded up to whole KiB, at least 1K) with
// lvcreate. 0, or -1 with the reason in err.
int lv_create(const char* vg, const char* lv, std::uint64_t size_bytes, char* err,
              std::size_t err_size);

// Removes vg/lv with "lvremove -f -y". 0, or -1 with the reason in err.
int lv_remove(const char* vg, const char* lv, char* err, std::size_t err_size);

}  // namespace qor
