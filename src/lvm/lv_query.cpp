#include "lvm/lv_query.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

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

// Runs one lvs query for vg/lv; returns what run_command returned. Only its
// standard output is read: warnings on standard error are no part of a row or
// of a tag list.
int run_lvs(const char* const* argv, char* out, CommandResult* result) {
    return run_command(argv, nullptr, LVS_TIMEOUT_SECONDS, RUN_CAPTURE_STDOUT, out, LVS_OUT_SIZE,
                       result);
}

// Whether tag is one whole entry of lvs's comma-separated tag list (blanks
// around entries are padding, and LVM allows neither commas nor blanks in a
// tag). A tag that merely contains the text is another tag.
bool tag_list_has(std::string_view list, std::string_view tag) {
    while (!list.empty()) {
        std::size_t comma = list.find_first_of(",\n");
        std::string_view entry = list.substr(0, comma);
        while (!entry.empty() && is_blank(entry.front())) entry.remove_prefix(1);
        while (!entry.empty() && is_blank(entry.back())) entry.remove_suffix(1);
        if (!entry.empty() && entry == tag) return true;
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return false;
}

constexpr std::size_t ATTR_TYPE = 0;   // volume type: "s" snapshot, "V" thin volume
constexpr std::size_t ATTR_STATE = 4;  // volume state: "a" active

char attr_at(const char* lv_attr, std::size_t index) {
    if (lv_attr == nullptr || strnlen(lv_attr, index + 1) <= index) return '\0';
    return lv_attr[index];
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
    const int ran = run_lvs(argv, out, &result);
    if (result.exit_code == CHILD_EXEC_FAILED) {
        text_copy(err, err_size, LVS_MISSING);
        return -1;
    }
    // An lvs that never started or was killed (at its deadline, or because the
    // run is being interrupted) has not said the volume is absent; reading it
    // so would let the caller go on to create one of that name.
    if (ran != 0 || result.exit_code < 0) {
        text_copy(err, err_size,
                  result.timed_out != 0 ? "lvs did not answer in time" : "lvs did not finish");
        return -1;
    }
    if (result.exit_code != 0) return 1;  // lvs says the volume does not exist

    // Only a row of the volume asked for is its answer.
    char* save = nullptr;
    for (char* line = strtok_r(out, "\n", &save); line != nullptr;
         line = strtok_r(nullptr, "\n", &save)) {
        if (lv_parse_row(line, info) == 0 && std::strcmp(info->vg_name, vg) == 0 &&
            std::strcmp(info->lv_name, lv) == 0) {
            return 0;
        }
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
        return tag_list_has(out, tag) ? 1 : 0;
    }
    text_copy(err, err_size,
              result.exit_code == CHILD_EXEC_FAILED ? LVS_MISSING : "no such logical volume");
    return -1;
}

int lv_snapshot_invalid(const char* lv_attr) {
    char state = attr_at(lv_attr, ATTR_STATE);
    return state == 'I' || state == 'S' ? 1 : 0;
}

int lv_is_active(const char* lv_attr) {
    // "-" is inactive and "h" a historical volume that no longer exists; every
    // other state (active, suspended, invalid, ...) has a device-mapper device.
    char state = attr_at(lv_attr, ATTR_STATE);
    return state != '\0' && state != '-' && state != 'h' ? 1 : 0;
}

int lv_is_snapshot_of(const LvInfo* info, const char* origin) {
    if (info == nullptr || origin == nullptr || *origin == '\0') return 0;
    char type = attr_at(info->lv_attr, ATTR_TYPE);
    if (type != 's' && type != 'V') return 0;
    return std::strcmp(info->origin, origin) == 0 ? 1 : 0;
}

}  // namespace qor
