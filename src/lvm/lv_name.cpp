#include "lvm/lv_name.h"

namespace qor {
namespace {

constexpr std::size_t LVM_NAME_MAX = 127;

// LVM refuses new names starting with these...
constexpr std::string_view RESERVED_PREFIXES[] = {"snapshot", "pvmove"};
// ...or holding these anywhere: they mark its internal sub-volumes.
constexpr std::string_view RESERVED_PARTS[] = {
    "_cdata", "_cmeta", "_corig", "_mimage", "_mlog",    "_rimage",
    "_rmeta", "_tdata", "_tmeta", "_vdata",  "_pmspare", "_vorigin",
};

bool is_name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '_' || c == '.' || c == '-';
}

}  // namespace

bool lvm_vg_name_is_allowed(std::string_view name) {
    if (name.empty() || name.size() > LVM_NAME_MAX || name.front() == '-') return false;
    if (name == "." || name == "..") return false;
    for (char c : name) {
        if (!is_name_char(c)) return false;
    }
    return true;
}

bool lvm_lv_name_is_allowed(std::string_view name) {
    if (!lvm_vg_name_is_allowed(name)) return false;
    for (std::string_view prefix : RESERVED_PREFIXES) {
        if (name.starts_with(prefix)) return false;
    }
    for (std::string_view part : RESERVED_PARTS) {
        if (name.find(part) != std::string_view::npos) return false;
    }
    return true;
}

}  // namespace qor
