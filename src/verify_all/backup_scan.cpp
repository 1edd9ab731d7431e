#include "verify_all/backup_scan.h"

#include <dirent.h>
#include <glob.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <string_view>

#include "common/error.h"
#include "meta/backup_header.h"
#include "meta/snapshot_ref.h"
#include "verify_all/escaped_text.h"

namespace qor {
namespace {

// How much of an unparsable snapshot reference a message shows.
constexpr std::size_t REF_SHOWN_MAX = 80;

bool has_glob_chars(const std::string& s) {
    return s.find_first_of("*?[") != std::string::npos;
}

bool ends_with_meta(std::string_view name) {
    return name.size() > 5 && name.substr(name.size() - 5) == ".meta";
}

bool is_regular_file(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void list_directory(const std::string& dir, std::vector<std::string>* out) {
    std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(dir.c_str()), closedir);
    if (!d) return;
    std::string prefix = dir.back() == '/' ? dir : dir + "/";
    while (const dirent* e = readdir(d.get())) {
        if (!ends_with_meta(e->d_name)) continue;
        std::string path = prefix + e->d_name;
        if (is_regular_file(path)) out->push_back(std::move(path));
    }
}

void expand_pattern(const std::string& pattern, std::vector<std::string>* out) {
    glob_t g{};
    if (glob(pattern.c_str(), GLOB_NOSORT, nullptr, &g) == 0) {
        for (std::size_t i = 0; i < g.gl_pathc; ++i) {
            if (is_regular_file(g.gl_pathv[i])) out->emplace_back(g.gl_pathv[i]);
        }
    }
    globfree(&g);
}

const char* header_problem(int code) {
    switch (code) {
        case ERR_FORMAT:
            return "is not a backup header";
        case ERR_UNSUPPORTED:
            return "has a header version newer than this program reads";
        case ERR_NOT_FOUND:
            return "no longer exists";
        default:
            return "cannot be read";
    }
}

}  // namespace

std::vector<std::string> backup_find_meta_files(const std::vector<std::string>& sources,
                                                std::vector<std::string>* unmatched) {
    std::vector<std::string> all;
    for (const std::string& source : sources) {
        std::size_t before = all.size();
        struct stat st {};
        if (has_glob_chars(source)) {
            expand_pattern(source, &all);
        } else if (stat(source.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            list_directory(source, &all);
        } else if (is_regular_file(source)) {
            all.push_back(source);
        }
        if (all.size() == before && unmatched != nullptr) {
            unmatched->push_back(std::string("backups = ") + EscapedText(source).c_str() +
                                 " gives no .meta file");
        }
    }
    std::sort(all.begin(), all.end());
    all.erase(std::unique(all.begin(), all.end()), all.end());
    return all;
}

ScannedBackup backup_scan_one(const std::string& meta_path) {
    ScannedBackup b;
    b.meta_path = meta_path;
    struct stat st {};
    if (stat(meta_path.c_str(), &st) == 0) {
        b.mtime_sec = st.st_mtim.tv_sec;
        b.mtime_nsec = st.st_mtim.tv_nsec;
    }
    auto header = std::make_unique<BackupHeader>();
    int rc = read_backup_header(meta_path.c_str(), header.get());
    if (rc != 0) {
        b.problem = std::string("the file ") + header_problem(rc);
        return b;
    }
    const char* ref_text = header->snapshot_ref();
    if (ref_text[0] == '\0') {
        b.problem = "this backup has no recorded snapshot (it was made without --keep-snapshot)";
        return b;
    }
    SnapshotRef ref{};
    if (parse_snapshot_ref(ref_text, &ref) != 0) {
        b.problem = "its recorded snapshot ('" +
                    std::string(EscapedText<REF_SHOWN_MAX * 4 + 1>(
                                    std::string_view(ref_text).substr(0, REF_SHOWN_MAX))
                                    .c_str()) +
                    "') is not an LVM snapshot reference";
        return b;
    }
    b.usable = true;
    b.vg = ref.vg_name;
    b.origin = ref.origin_lv;
    b.snapshot = ref.snapshot_lv;
    return b;
}

}  // namespace qor
