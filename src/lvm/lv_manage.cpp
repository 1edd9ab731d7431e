#include "lvm/lv_manage.h"

#include <cstring>

#include "common/interrupt.h"
#include "common/text.h"
#include "common/tool_output.h"
#include "lvm/command_runner.h"
#include "lvm/lv_name.h"

namespace qor {
namespace {

constexpr std::size_t NAME_MAX = 126;
constexpr std::size_t SIZE_ARG_SIZE = 32;
constexpr std::size_t LV_PATH_SIZE = 300;
constexpr std::uint32_t CREATE_TIMEOUT_SECONDS = 120;
constexpr std::size_t CREATE_OUT_SIZE = 1024;
constexpr std::uint32_t REMOVE_TIMEOUT_SECONDS = 60;
constexpr std::size_t REMOVE_OUT_SIZE = 256;

constexpr std::size_t TOOL_TEXT_SHOWN_BYTES = 401;  // at most 400 characters of tool output

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
    if (name == nullptr) return 0;
    // Stricter than LVM: at most 126 characters, and a letter or digit first.
    std::string_view text(name, strnlen(name, NAME_MAX + 1));
    return text.size() <= NAME_MAX && lvm_vg_name_is_allowed(text) && is_ascii_alnum(text[0]) ? 1
                                                                                              : 0;
}

int lv_create(const char* vg, const char* lv, std::uint64_t size_bytes, char* err,
              std::size_t err_size) {
    text_clear(err, err_size);
    if (!lv_name_valid(vg) || !lv_name_valid(lv)) {
        text_copy(err, err_size, LV_NAME_REFUSED);
        return -1;
    }
    // Once started, lvcreate runs to its end: killed after it committed its
    // metadata, it would leave a volume behind that no one removes or names.
    // So an interruption that came first keeps it from starting, and one that
    // comes while it runs waits for it.
    if (interrupt_should_abort()) {
        text_copy(err, err_size, "interrupted before lvcreate ran");
        return -1;
    }
    InterruptShield shield;
    char size_arg[SIZE_ARG_SIZE];
    text_format(size_arg, sizeof size_arg, "%lluK", size_in_kib(size_bytes));
    const char* argv[] = {"lvcreate", "-y", "-n", lv, "-L", size_arg, vg, nullptr};
    char out[CREATE_OUT_SIZE] = "";
    CommandResult result{};
    const int ran = run_command(argv, nullptr, CREATE_TIMEOUT_SECONDS, RUN_CAPTURE_OUTPUT, out,
                                sizeof out, &result);
    if (ran == 0 && result.exit_code == 0) return 0;
    char shown[TOOL_TEXT_SHOWN_BYTES];  // the sentence is quoted in one log line
    tool_output_shown(shown, sizeof shown, out);
    text_format(err, err_size, "could not create LV %s/%s: %s", vg, lv,
                shown[0] != '\0' ? shown : "lvcreate failed");
    // Killed by a signal (its deadline among them), lvcreate may have got as
    // far as making the volume.
    return ran == 0 && result.exit_code < 0 ? LV_CREATE_UNFINISHED : -1;
}

int lv_remove(const char* vg, const char* lv, char* err, std::size_t err_size) {
    text_clear(err, err_size);
    if (!lv_name_valid(vg) || !lv_name_valid(lv)) {
        text_copy(err, err_size, LV_NAME_REFUSED);
        return -1;
    }
    char path[LV_PATH_SIZE];
    text_format(path, sizeof path, "%s/%s", vg, lv);
    const char* argv[] = {"lvremove", "-f", "-y", path, nullptr};
    char out[REMOVE_OUT_SIZE] = "";
    if (run_command_succeeded(argv, REMOVE_TIMEOUT_SECONDS, out, sizeof out)) return 0;
    char shown[TOOL_TEXT_SHOWN_BYTES];  // the sentence is quoted in one log line
    tool_output_shown(shown, sizeof shown, out);
    text_format(err, err_size, "could not remove LV %s: %s", path,
                shown[0] != '\0' ? shown : "lvremove failed");
    return -1;
}

}  // namespace qor
