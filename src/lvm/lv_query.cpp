#include "lvm/lv_query.h"

#include <cstdlib>
#include <cstring>

#include "common/child_process.h"
#include "common/text.h"
#include "lvm/command_runner.h"

namespace qor {
namespace {

constexpr std::size_t ROW_BUF_SIZE = 1024;
constexpr std::size_t LVS_OUT_SIZE = 2048;  // one row plus room for leading warnings
constexpr std::uint32_t LVS_TIMEOUT_SECONDS = 30;
constexpr std::size_t LV_PATH_SIZE = 300;
constexpr int ROW_COLUMNS = 8;

constexpr const char* LVS_MISSING = "the lvm tools (lvs) are not installed";

enum RowColumn {
    COL_VG,
    COL_LV,
    COL_ATTR,
    COL_SIZE,
    COL_SEGTYPE,
    COL_ORIGIN,
    COL_MAJOR,
    COL_MINOR
};

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
bool split_columns(char* row, char* (&cols)[ROW_COLUMNS]) {
    char* p = row;
    for (int i = 0; i < ROW_COLUMNS; ++i) {
        cols[i] = p;
        char* sep = std::strchr(p, '|');
        if (sep == nullptr) {
            if (i < ROW_COLUMNS - 1) return false;
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
    return run_command(argv, nullptr, LVS_TIMEOUT_SECONDS, RUN_CAPTURE_OUTPUT, out, LVS_OUT_SIZE,
                       result);
}

}  // namespace

int lv_parse_row(const char* row, LvInfo* info) {
    if (row == nullptr || info == nullptr) return -1;
    if (strnlen(row, ROW_BUF_SIZE) >= ROW_BUF_SIZE) return -1;

    char work[ROW_BUF_SIZE];
    text_copy(work, sizeof work, row);
    char* cols[ROW_COLUMNS] = {};
    if (!split_columns(work, cols)) return -1;
    if (*cols[COL_VG] == '\0' || *cols[COL_LV] == '\0' || *cols[COL_ATTR] == '\0') return -1;

    *info = LvInfo{};
    text_copy(info->vg_name, sizeof info->vg_name, cols[COL_VG]);
    text_copy(info->lv_name, sizeof info->lv_name, cols[COL_LV]);
    text_copy(info->lv_attr, sizeof info->lv_attr, cols[COL_ATTR]);

    char* end = nullptr;
    info->lv_size = std::strtoull(cols[COL_SIZE], &end, 10);
    if (end == cols[COL_SIZE]) return -1;

    text_copy(info->segtype, sizeof info->segtype, cols[COL_SEGTYPE]);
    text_copy(info->origin, sizeof info->origin, cols[COL_ORIGIN]);
    info->lv_kernel_major = parse_device_number(cols[COL_MAJOR]);
    info->lv_kernel_minor = parse_device_number(cols[COL_MINOR]);
    return 0;
}

int lv_lookup(const char* vg, const char* lv, LvInfo* info, char* err, std::size_t err_size) {
    text_clear(err, err_size);
    if (vg == nullptr || *vg == '\0' || lv == nullptr || *lv == '\0' || info == nullptr) return 1;

    char path[LV_PATH_SIZE];
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
    char out[LVS_OUT_SIZE] = "";
    CommandResult result{};
    if (run_lvs(argv, out, &result) != 0 || result.exit_code != 0) {
        if (result.exit_code == CHILD_EXEC_FAILED) {
            text_copy(err, err_size, LVS_MISSING);
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

    char path[LV_PATH_SIZE];
    text_format(path, sizeof path, "%s/%s", vg, lv);
    const char* argv[] = {"lvs", "--noheadings", "-o", "lv_tags", path, nullptr};
    char out[LVS_OUT_SIZE] = "";
    CommandResult result{};
    if (run_lvs(argv, out, &result) == 0 && result.exit_code == 0) {
        return std::strstr(out, tag) != nullptr ? 1 : 0;
    }
    text_copy(err, err_size,
              result.exit_code == CHILD_EXEC_FAILED ? LVS_MISSING : "no such logical volume");
    return -1;
}

int lv_snapshot_invalid(const char* lv_attr) {
    // The fifth attribute character is the volume state.
    constexpr std::size_t STATE_INDEX = 4;
    if (lv_attr == nullptr || strnlen(lv_attr, STATE_INDEX + 1) <= STATE_INDEX) return 0;
    char state = lv_attr[STATE_INDEX];
    return state == 'I' || state == 'S' ? 1 : 0;
}

}  // namespace qor
