#include "lvm/lv_manage.h"

#include <cstring>

#include "common/text.h"
#include "common/tool_output.h"
#include "lvm/command_runner.h"

namespace qor {
namespace {

constexpr std::size_t kNameMax = 126;
constexpr std::size_t kSizeArgSize = 32;
constexpr std::size_t kLvPathSize = 300;
constexpr std::uint32_t kCreateTimeoutSeconds = 120;
constexpr std::size_t kCreateOutSize = 1024;
constexpr std::uint32_t kRemoveTimeoutSeconds = 60;
constexpr std::size_t kRemoveOutSize = 256;

constexpr const char* kBadName = "invalid volume group or logical volume name";

bool is_ascii_alnum(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Whole KiB, rounded up, never below 1. Written without (n + 1023) so that
// sizes near the top of the range cannot wrap to zero.
unsigned long long size_in_kib(std::uint64_t size_bytes) {
    std::uint64_t kib = size_bytes / 1024 + (size_bytes % 1024 != 0 ? 1 : 0);
    return kib < 1 ? 1 : kib;
}

}  // namespace

int lv_name_valid(const char* name) {
    if (name == nullptr || *name == '\0') return 0;
    std::size_t len = strnlen(name, kNameMax + 1);
    if (len > kNameMax) return 0;
    if (!is_ascii_alnum(name[0])) return 0;
    for (std::size_t i = 1; i < len; ++i) {
        char c = name[i];
        if (!is_ascii_alnum(c) && c != '+' && c != '-' && c != '.' && c != '_') return 0;
    }
    return 1;
}

int lv_create(const char* vg, const char* lv, std::uint64_t size_bytes, char* err,
              std::size_t err_size) {
    text_clear(err, err_size);
    if (!lv_name_valid(vg) || !lv_name_valid(lv)) {
        text_copy(err, err_size, kBadName);
        return -1;
    }
    char size_arg[kSizeArgSize];
    text_format(size_arg, sizeof size_arg, "%lluK", size_in_kib(size_bytes));
    const char* argv[] = {"lvcreate", "-y", "-n", lv, "-L", size_arg, vg, nullptr};
    char out[kCreateOutSize] = "";
    if (run_command_succeeded(argv, kCreateTimeoutSeconds, out, sizeof out)) return 0;
    tool_output_trim(out);  // the sentence is quoted in one log line
    text_format(err, err_size, "could not create LV %s/%s: %.400s", vg, lv,
                out[0] != '\0' ? out : "lvcreate failed");
    return -1;
}

int lv_remove(const char* vg, const char* lv, char* err, std::size_t err_size) {
    text_clear(err, err_size);
    if (!lv_name_valid(vg) || !lv_name_valid(lv)) {
        text_copy(err, err_size, kBadName);
        return -1;
    }
    char path[kLvPathSize];
    text_format(path, sizeof path, "%s/%s", vg, lv);
    const char* argv[] = {"lvremove", "-f", "-y", path, nullptr};
    char out[kRemoveOutSize] = "";
    if (run_command_succeeded(argv, kRemoveTimeoutSeconds, out, sizeof out)) return 0;
    tool_output_trim(out);  // the sentence is quoted in one log line
    text_format(err, err_size, "could not remove LV %s: %.400s", path,
                out[0] != '\0' ? out : "lvremove failed");
    return -1;
}

}  // namespace qor
