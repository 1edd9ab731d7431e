#include "lvm/lv_query.h"

#include <cstdlib>
#include <cstring>

#include "common/text.h"
#include "lvm/command_runner.h"

namespace qor {
namespace {

constexpr std::size_t kRowBufSize = 1024;
constexpr std::size_t kLvsOutSize = 2048;  // one row plus room for leading warnings
constexpr std::uint32_t kLvsTimeoutSeconds = 30;
constexpr std::size_t kLvPathSize = 300;
constexpr int kRowColumns = 8;
constexpr int kExitNotInstalled = 127;

constexpr const char* kLvsMissing = "the lvm tools (lvs) are not installed";

enum RowColumn { kVg, kLv, kAttr, kSize, kSegtype, kOrigin, kMajor, kMinor };

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Trims a NUL-terminated column in place; returns its new start.
char* trim_in_place(char* s) {
    while (is_blank(*s)) ++s;
    std::size_t n = std::strlen(s);
    while (n > 0 && is_blank(s[n - 1])) --n;
    s[n] = '\0';
    return s;
}

// Cuts the work copy at its separators. The last column ends at the line's end
// or at a further "|"; anything after that is ignored.
bool split_columns(char* row, char* (&cols)[kRowColumns]) {
    char* p = row;
    for (int i = 0; i < kRowColumns; ++i) {
        cols[i] = p;
        char* sep = std::strchr(p, '|');
        if (sep == nullptr) {
            if (i < kRowColumns - 1) return false;
            break;
        }
        *sep = '\0';
        p = sep + 1;
    }
    for (char*& col : cols) col = trim_in_place(col);
    return true;
}

std::int64_t parse_device_number(const char* col) {
    if (*col == '\0') return -1;
    return std::strtoll(col, nullptr, 10);
}

// Runs one lvs query for vg/lv; returns what run_command returned.
int run_lvs(const char* const* argv, char* out, CommandResult* result) {
    return run_command(argv, nullptr, kLvsTimeoutSeconds, 1, out, kLvsOutSize, result);
}

}  // namespace

int lv_parse_row(const char* row, LvInfo* info) {
    if (row == nullptr || info == nullptr) return -1;
    if (strnlen(row, kRowBufSize) >= kRowBufSize) return -1;

    char work[kRowBufSize];
    text_copy(work, sizeof work, row);
    char* cols[kRowColumns] = {};
    if (!split_columns(work, cols)) return -1;
    if (*cols[kVg] == '\0' || *cols[kLv] == '\0' || *cols[kAttr] == '\0') return -1;

    *info = LvInfo{};
    text_copy(info->vg_name, sizeof info->vg_name, cols[kVg]);
    text_copy(info->lv_name, sizeof info->lv_name, cols[kLv]);
    text_copy(info->lv_attr, sizeof info->lv_attr, cols[kAttr]);

    char* end = nullptr;
    info->lv_size = std::strtoull(cols[kSize], &end, 10);
    if (end == cols[kSize]) return -1;

    text_copy(info->segtype, sizeof info->segtype, cols[kSegtype]);
    text_copy(info->origin, sizeof info->origin, cols[kOrigin]);
    info->lv_kernel_major = parse_device_number(cols[kMajor]);
    info->lv_kernel_minor = parse_device_number(cols[kMinor]);
    return 0;
}

int lv_lookup(const char* vg, const char* lv, LvInfo* info, char* err, std::size_t err_size) {
    text_clear(err, err_size);
    if (vg == nullptr || *vg == '\0' || lv == nullptr || *lv == '\0' || info == nullptr) return 1;

    char path[kLvPathSize];
    text_format(path, sizeof path, "%s/%s", vg, lv);
    const char* argv[] = {
        "lvs",
        "--noheadings",
        "--separator",
        "|",
        "--units",
        "b",
        "--nosuffix",
        "-o",
        "vg_name,lv_name,lv_attr,lv_size,segtype,origin,lv_kernel_major,lv_kernel_minor",
        path,
        nullptr};
    char out[kLvsOutSize] = "";
    CommandResult result{};
    if (run_lvs(argv, out, &result) != 0 || result.exit_code != 0) {
        if (result.exit_code == kExitNotInstalled) {
            text_copy(err, err_size, kLvsMissing);
            return -1;
        }
        // A missing volume, a kill at the deadline and a failed start all read as absent.
        return 1;
    }

    // lvs puts warnings (merged from its standard error) before the row.
    char* save = nullptr;
    for (char* line = strtok_r(out, "\n", &save); line != nullptr;
         line = strtok_r(nullptr, "\n", &save)) {
        if (lv_parse_row(line, info) == 0) return 0;
    }
    text_format(err, err_size, "%s/%s not found", vg, lv);
    return 1;
}

int lv_has_tag(const char* vg, const char* lv, const char* tag, char* err, std::size_t err_size) {
    text_clear(err, err_size);
    if (vg == nullptr || *vg == '\0' || lv == nullptr || *lv == '\0' || tag == nullptr) return -1;

    char path[kLvPathSize];
    text_format(path, sizeof path, "%s/%s", vg, lv);
    const char* argv[] = {"lvs", "--noheadings", "-o", "lv_tags", path, nullptr};
    char out[kLvsOutSize] = "";
    CommandResult result{};
    if (run_lvs(argv, out, &result) == 0 && result.exit_code == 0) {
        return std::strstr(out, tag) != nullptr ? 1 : 0;
    }
    text_copy(err, err_size,
              result.exit_code == kExitNotInstalled ? kLvsMissing : "no such logical volume");
    return -1;
}

int lv_snapshot_invalid(const char* lv_attr) {
    // The fifth attribute character is the volume state.
    constexpr std::size_t kStateIndex = 4;
    if (lv_attr == nullptr || strnlen(lv_attr, kStateIndex + 1) <= kStateIndex) return 0;
    char state = lv_attr[kStateIndex];
    return state == 'I' || state == 'S' ? 1 : 0;
}

}  // namespace qor
