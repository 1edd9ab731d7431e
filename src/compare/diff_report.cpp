#include "compare/diff_report.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <climits>
#include <cstring>

#include "common/text.h"

namespace qor {
namespace {

// diff's names for file types that have no contents to compare, with the
// type lstat gives them.
struct SpecialType {
    std::string_view name;
    mode_t type;
};
constexpr SpecialType SPECIAL_TYPES[] = {
    {"fifo", S_IFIFO},
    {"socket", S_IFSOCK},
    {"character special file", S_IFCHR},
    {"block special file", S_IFBLK},
};

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// "<prefix><root>/" at the start of text; with only_in, "<prefix><root>:" also.
bool starts_with_root(std::string_view text, std::string_view prefix, std::string_view root,
                      bool only_in) {
    if (!starts_with(text, prefix)) return false;
    text.remove_prefix(prefix.size());
    if (!starts_with(text, root) || text.size() == root.size()) return false;
    const char after = text[root.size()];
    return after == '/' || (only_in && after == ':');
}

// lstat of root/name, false when the path does not fit or is not there.
bool stat_below(std::string_view root, std::string_view name, struct stat* st) {
    char path[PATH_MAX];
    if (root.size() + 1 + name.size() >= sizeof path) return false;
    std::memcpy(path, root.data(), root.size());
    path[root.size()] = '/';
    std::memcpy(path + root.size() + 1, name.data(), name.size());
    path[root.size() + 1 + name.size()] = '\0';
    return lstat(path, st) == 0;
}

// "<prefix><S>/<left><middle><T>/<right><tail>" split into left and right.
// A name cannot hold the target root, so the split is diff's own.
bool split_halves(std::string_view record, std::string_view prefix, std::string_view middle,
                  std::string_view tail, std::string_view snapshot_root,
                  std::string_view target_root, std::string_view* left, std::string_view* right) {
    if (!starts_with_root(record, prefix, snapshot_root, false)) return false;
    record.remove_prefix(prefix.size() + snapshot_root.size() + 1);
    if (record.size() < tail.size() || record.substr(record.size() - tail.size()) != tail) {
        return false;
    }
    record.remove_suffix(tail.size());
    char separator[PATH_MAX + 32];
    const int n =
        text_format(separator, sizeof separator, "%.*s%.*s/", static_cast<int>(middle.size()),
                    middle.data(), static_cast<int>(target_root.size()), target_root.data());
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof separator) return false;
    const std::size_t split = record.find(std::string_view(separator, static_cast<std::size_t>(n)));
    if (split == std::string_view::npos) return false;
    *left = record.substr(0, split);
    *right = record.substr(split + static_cast<std::size_t>(n));
    return true;
}

}  // namespace

bool diff_record_names_both(std::string_view record, std::string_view snapshot_root,
                            std::string_view target_root, std::string_view* name) {
    std::string_view left;
    std::string_view right;
    if (split_halves(record, "Files ", " and ", " differ", snapshot_root, target_root, &left,
                     &right) ||
        split_halves(record, "Symbolic links ", " and ", " differ", snapshot_root, target_root,
                     &left, &right)) {
        *name = left;
        return left == right;
    }
    // "x is a A" and "x is a B": the name ends before the last " is a " of
    // the left half, as no type name holds those words.
    if (!split_halves(record, "File ", " while file ", "", snapshot_root, target_root, &left,
                      &right)) {
        return false;
    }
    constexpr std::string_view IS_A = " is a ";
    const std::size_t is_a = left.rfind(IS_A);
    if (is_a == std::string_view::npos || is_a == 0) return false;
    if (right.substr(0, is_a + IS_A.size()) != left.substr(0, is_a + IS_A.size())) return false;
    *name = left.substr(0, is_a);
    return true;
}

bool DiffOutput::starts_record(std::size_t at) const {
    const std::string_view text = output_.substr(at);
    return starts_with_root(text, "Files ", snapshot_root_, false) ||
           starts_with_root(text, "File ", snapshot_root_, false) ||
           starts_with_root(text, "Symbolic links ", snapshot_root_, false) ||
           starts_with_root(text, "Only in ", snapshot_root_, true) ||
           starts_with_root(text, "Only in ", target_root_, true);
}

bool DiffOutput::next(std::string_view* record) {
    if (at_ >= output_.size()) return false;
    const std::size_t start = at_;
    std::size_t end = output_.size();
    for (std::size_t line_end = output_.find('\n', start); line_end != std::string_view::npos;
         line_end = output_.find('\n', line_end + 1)) {
        if (line_end + 1 < output_.size() && starts_record(line_end + 1)) {
            end = line_end + 1;
            break;
        }
    }
    at_ = end;
    *record = output_.substr(start, end - start);
    if (!record->empty() && record->back() == '\n') record->remove_suffix(1);
    return true;
}

bool diff_record_is_equal_special_pair(std::string_view record, std::string_view snapshot_root,
                                       std::string_view target_root) {
    if (!starts_with_root(record, "File ", snapshot_root, false)) return false;
    record.remove_prefix(std::strlen("File ") + snapshot_root.size() + 1);
    // Both halves read "<name> is a <type>": equal halves mean one name and
    // one type. A name cannot hold the target root, so the split is diff's own.
    char middle[PATH_MAX + 32];
    const int n = text_format(middle, sizeof middle, " while file %.*s/",
                              static_cast<int>(target_root.size()), target_root.data());
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof middle) return false;
    const std::size_t split = record.find(std::string_view(middle, static_cast<std::size_t>(n)));
    if (split == std::string_view::npos) return false;
    const std::string_view left = record.substr(0, split);
    const std::string_view right = record.substr(split + static_cast<std::size_t>(n));
    if (left != right) return false;
    for (const SpecialType& t : SPECIAL_TYPES) {
        const std::size_t suffix = std::strlen(" is a ") + t.name.size();
        if (left.size() <= suffix) continue;
        const std::string_view tail = left.substr(left.size() - suffix);
        if (!starts_with(tail, " is a ") || tail.substr(std::strlen(" is a ")) != t.name) continue;
        const std::string_view name = left.substr(0, left.size() - suffix);
        struct stat a {};
        struct stat b {};
        if (!stat_below(snapshot_root, name, &a) || !stat_below(target_root, name, &b)) {
            return false;
        }
        if ((a.st_mode & S_IFMT) != t.type || (b.st_mode & S_IFMT) != t.type) return false;
        const bool device = t.type == S_IFCHR || t.type == S_IFBLK;
        return !device ||
               (major(a.st_rdev) == major(b.st_rdev) && minor(a.st_rdev) == minor(b.st_rdev));
    }
    return false;
}

}  // namespace qor
