#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "lvm/lv_query.h"

using namespace qor;

namespace {

// Terminated inside its array, and no separator survived the column split.
template <std::size_t N>
bool column_is_sound(const char (&col)[N]) {
    return strnlen(col, N) < N && std::strchr(col, '|') == nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // lvs rows reach the parser one line at a time, as C text.
    if (size > 1100) return 0;
    const std::string row(reinterpret_cast<const char*>(data), size);
    LvInfo info;
    std::memset(&info, 0x3C, sizeof info);
    if (lv_parse_row(row.c_str(), &info) != 0) return 0;

    FUZZ_CHECK(column_is_sound(info.vg_name));
    FUZZ_CHECK(column_is_sound(info.lv_name));
    FUZZ_CHECK(column_is_sound(info.lv_attr));
    FUZZ_CHECK(column_is_sound(info.segtype));
    FUZZ_CHECK(column_is_sound(info.origin));
    // A row without a group, a name or attributes would name no volume.
    FUZZ_CHECK(info.vg_name[0] != '\0' && info.lv_name[0] != '\0' && info.lv_attr[0] != '\0');
    // lv_snapshot_invalid reads the attribute text the parser just produced.
    const int invalid = lv_snapshot_invalid(info.lv_attr);
    FUZZ_CHECK(invalid == 0 || invalid == 1);
    return 0;
}
