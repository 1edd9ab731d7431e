#include "verify_all/backup_scan.h"

#include <dirent.h>
#include <glob.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <string_view>

#include "common/error.h"
#include "lvm/lv_name.h"
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

ScannedBackup backup_scan_one(const std::string& meta_path, std::int64_t scan_time) {
    ScannedBackup b;
    b.meta_path = meta_path;
    struct stat st {};
    if (stat(meta_path.c_str(), &st) == 0) {
        b.mtime_sec = st.st_mtim.tv_sec;
        b.mtime_nsec = st.st_mtim.tv_nsec;
        b.ctime_sec = st.st_ctim.tv_sec;
        b.ctime_nsec = st.st_ctim.tv_nsec;
        b.size = st.st_size;
        b.dev = st.st_dev;
        b.ino = st.st_ino;
    }
    // A date in the future would keep a file the newest for every night until then.
    bool future = b.mtime_sec > scan_time;
    b.order_sec = future ? scan_time : b.mtime_sec;
    b.order_nsec = future ? 0 : b.mtime_nsec;
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
    const bool parsed = parse_snapshot_ref(ref_text, &ref) == 0;
    if (!parsed || !lvm_vg_name_is_allowed(ref.vg_name) || !lvm_lv_name_is_allowed(ref.origin_lv) ||
        !lvm_lv_name_is_allowed(ref.snapshot_lv)) {
        b.problem = "its recorded snapshot ('" +
                    std::string(EscapedText<REF_SHOWN_MAX * 4 + 1>(
                                    std::string_view(ref_text).substr(0, REF_SHOWN_MAX))
                                    .c_str()) +
                    (parsed ? "') names a volume group or LV that LVM does not allow"
                            : "') is not an LVM snapshot reference");
        return b;
    }
    b.usable = true;
    b.ref = ref_text;
    b.vg = ref.vg_name;
    b.origin = ref.origin_lv;
    b.snapshot = ref.snapshot_lv;
    return b;
}

bool backup_is_unchanged(const ScannedBackup& before, const ScannedBackup& again) {
    return again.usable && again.ref == before.ref && again.size == before.size &&
           again.mtime_sec == before.mtime_sec && again.mtime_nsec == before.mtime_nsec &&
           again.ctime_sec == before.ctime_sec && again.ctime_nsec == before.ctime_nsec &&
           again.dev == before.dev && again.ino == before.ino;
}

}  // namespace qor
