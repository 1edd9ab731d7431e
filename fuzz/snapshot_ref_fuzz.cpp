#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "meta/snapshot_ref.h"

using namespace qor;

namespace {

bool name_is_plausible(const char* name) {
    const std::size_t n = strnlen(name, SNAPSHOT_NAME_MAX + 1);
    return n >= 1 && n <= static_cast<std::size_t>(SNAPSHOT_NAME_MAX) && name[0] != '-';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The reference is C text: it ends at the first zero byte, as in the header.
    const std::string text(reinterpret_cast<const char*>(data), size);
    SnapshotRef ref;
    std::memset(&ref, 0x5A, sizeof ref);

    if (parse_snapshot_ref(text.c_str(), &ref) != 0) {
        // Refused text leaves a cleared record, never a half-filled one.
        static const SnapshotRef cleared = {};
        FUZZ_CHECK(std::memcmp(&ref, &cleared, sizeof ref) == 0);
        return 0;
    }
    FUZZ_CHECK(name_is_plausible(ref.vg_name));
    FUZZ_CHECK(name_is_plausible(ref.origin_lv));
    FUZZ_CHECK(name_is_plausible(ref.snapshot_lv));
    FUZZ_CHECK(std::strchr(ref.vg_name, '/') == nullptr);
    FUZZ_CHECK(std::strchr(ref.origin_lv, '=') == nullptr);

    // Nothing is lost or cut: the three names put back together are the text.
    const std::string rebuilt =
        std::string("lvm:") + ref.vg_name + "/" + ref.origin_lv + "=" + ref.snapshot_lv;
    FUZZ_CHECK(rebuilt == text.c_str());
    return 0;
}
