#include "compare/metadata_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <string_view>
#include <vector>

#include "common/text.h"
#include "common/text_escape.h"
#include "common/unique_fd.h"

namespace qor {
namespace {

// The kernel's limits for one attribute value and for one name list.
constexpr std::size_t XATTR_BYTES = 65536;
constexpr std::size_t LINE_BYTES = 8192;
constexpr std::size_t SHOWN_VALUE_BYTES = 48;  // of an attribute value in a line
constexpr std::size_t PROC_PATH_BYTES = 320;
constexpr mode_t PERMISSION_BITS = 07777;  // with set-user-ID, set-group-ID and sticky

// Not listed by ntfs-3g, read by name: the security descriptor (owner, group,
// access lists) and the attribute flags (read-only, hidden, system, ...).
constexpr const char* NTFS_NAMES[] = {"system.ntfs_acl", "system.ntfs_attrib"};

// One side of an attribute or a name list: its bytes, or the error that
// reading it gave (ENODATA: not there).
struct XattrRead {
    std::size_t size = 0;
    int error = 0;
};

// What one side holds of one attribute, for a line: "missing", its value
// quoted and cut, or why it could not be read.
std::string xattr_shown(const XattrRead& read, const char* value) {
    if (read.error == ENODATA) return "missing";
    if (read.error != 0) return std::string("unreadable (") + std::strerror(read.error) + ")";
    std::string shown = "\"" + std::string(value, std::min(read.size, SHOWN_VALUE_BYTES)) + "\"";
    if (read.size > SHOWN_VALUE_BYTES) shown += "... (" + std::to_string(read.size) + " bytes)";
    return shown;
}

bool xattr_reads_equal(const XattrRead& a, const char* va, const XattrRead& b, const char* vb) {
    if (a.error != 0 || b.error != 0) return a.error == b.error;
    return a.size == b.size && std::memcmp(va, vb, a.size) == 0;
}

std::string utc_seconds(time_t seconds) {
    std::tm tm{};
    char text[32] = "";
    if (gmtime_r(&seconds, &tm) != nullptr) std::strftime(text, sizeof text, "%FT%TZ", &tm);
    return text;
}

// The sorted names of a directory, "." and ".." left out.
int dir_names(int dir_fd, std::vector<std::string>* names) {
    const int fd = fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return errno;
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
        const int errnum = errno;
        close(fd);
        return errnum;
    }
    rewinddir(dir);
    errno = 0;
    while (const dirent* entry = readdir(dir)) {
        const std::string_view name(entry->d_name);
        if (name != "." && name != "..") names->emplace_back(name);
    }
    const int errnum = errno;
    closedir(dir);
    std::sort(names->begin(), names->end());
    return errnum;
}

// One side of the walk: its mount point, the device of its root, and the
// open directory now walked.
struct Side {
    const char* root;
    dev_t dev;
};

class Walk {
  public:
    Walk(const Side& snapshot, const Side& target, const MetadataRules& rules,
         const std::set<std::string>& reported, std::atomic<std::uint64_t>* entries, int out_fd)
        : snapshot_(snapshot),
          target_(target),
          rules_(rules),
          reported_(reported),
          entries_(entries),
          out_fd_(out_fd) {}

    // 0, or an errno with failure_ naming where it happened.
    int walk_dir(int snapshot_fd, int target_fd);
    void compare(int snapshot_dir, int target_dir, const char* name, const struct stat& a,
                 const struct stat& b);
    bool differs() const { return differs_; }
    const std::string& failure() const { return failure_; }
    std::string& rel() { return rel_; }

  private:
    int walk_entry(int snapshot_fd, int target_fd, const std::string& name);
    void report(const char* what, const std::string& a, const std::string& b);
    void compare_xattrs(int snapshot_dir, int target_dir, const char* name);
    void compare_xattr(const char* path_a, const char* path_b, const char* xattr);
    XattrRead xattr_list(const char* path, char* buf) const;

    std::string path_of(const Side& side) const {
        return rel_.empty() ? std::string(side.root) : std::string(side.root) + "/" + rel_;
    }

    Side snapshot_;
    Side target_;
    const MetadataRules& rules_;
    const std::set<std::string>& reported_;
    std::atomic<std::uint64_t>* entries_;
    int out_fd_;
    std::string rel_;  // the name now compared, relative to both roots
    std::string failure_;
    bool differs_ = false;
    // Shared by every attribute compared: a list and a value per side.
    std::unique_ptr<char[]> list_a_{new char[XATTR_BYTES]};
    std::unique_ptr<char[]> list_b_{new char[XATTR_BYTES]};
    std::unique_ptr<char[]> value_a_{new char[XATTR_BYTES]};
    std::unique_ptr<char[]> value_b_{new char[XATTR_BYTES]};
};

void Walk::report(const char* what, const std::string& a, const std::string& b) {
    differs_ = true;
    const std::string line = std::string(what) + " of " + path_of(snapshot_) + " is " + a +
                             ", of " + path_of(target_) + " " + b;
    char shown[LINE_BYTES];
    std::size_t n = text_escape(shown, sizeof shown - 1, line);
    shown[n++] = '\n';
    for (std::size_t done = 0; done < n;) {
        const ssize_t w = write(out_fd_, shown + done, n - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return;
        done += static_cast<std::size_t>(w);
    }
}

XattrRead Walk::xattr_list(const char* path, char* buf) const {
    XattrRead read;
    const ssize_t n = llistxattr(path, buf, XATTR_BYTES);
    if (n < 0) {
        read.error = errno;
    } else {
        read.size = static_cast<std::size_t>(n);
    }
    return read;
}

void Walk::compare_xattr(const char* path_a, const char* path_b, const char* xattr) {
    XattrRead a;
    XattrRead b;
    const ssize_t na = lgetxattr(path_a, xattr, value_a_.get(), XATTR_BYTES);
    if (na < 0)
        a.error = errno;
    else
        a.size = static_cast<std::size_t>(na);
    const ssize_t nb = lgetxattr(path_b, xattr, value_b_.get(), XATTR_BYTES);
    if (nb < 0)
        b.error = errno;
    else
        b.size = static_cast<std::size_t>(nb);
    if (xattr_reads_equal(a, value_a_.get(), b, value_b_.get())) return;
    report((std::string("extended attribute ") + xattr).c_str(), xattr_shown(a, value_a_.get()),
           xattr_shown(b, value_b_.get()));
}

// Names read from the list of one side, sorted; empty for a failed list.
std::vector<std::string_view> xattr_names(const XattrRead& list, const char* buf) {
    std::vector<std::string_view> names;
    if (list.error != 0) return names;
    for (std::size_t at = 0; at < list.size;) {
        const std::size_t len = strnlen(buf + at, list.size - at);
        if (len > 0) names.emplace_back(buf + at, len);
        at += len + 1;
    }
    std::sort(names.begin(), names.end());
    return names;
}

void Walk::compare_xattrs(int snapshot_dir, int target_dir, const char* name) {
    // The open directory through /proc, so that no part of the path is
    // looked up again by name; the last one is not followed.
    char path_a[PROC_PATH_BYTES];
    char path_b[PROC_PATH_BYTES];
    text_format(path_a, sizeof path_a, "/proc/self/fd/%d/%s", snapshot_dir, name);
    text_format(path_b, sizeof path_b, "/proc/self/fd/%d/%s", target_dir, name);
    const XattrRead list_a = xattr_list(path_a, list_a_.get());
    const XattrRead list_b = xattr_list(path_b, list_b_.get());
    if (list_a.error != list_b.error) {
        const auto shown = [](const XattrRead& list) {
            return list.error == 0 ? std::string("readable")
                                   : std::string("unreadable (") + std::strerror(list.error) + ")";
        };
        report("extended attribute list", shown(list_a), shown(list_b));
        return;
    }
    const std::vector<std::string_view> names_a = xattr_names(list_a, list_a_.get());
    const std::vector<std::string_view> names_b = xattr_names(list_b, list_b_.get());
    std::vector<std::string> all(names_a.begin(), names_a.end());
    all.insert(all.end(), names_b.begin(), names_b.end());
    if (rules_.ntfs_names) all.insert(all.end(), std::begin(NTFS_NAMES), std::end(NTFS_NAMES));
    std::sort(all.begin(), all.end());
    all.erase(std::unique(all.begin(), all.end()), all.end());
    for (const std::string& xattr : all) compare_xattr(path_a, path_b, xattr.c_str());
}

void Walk::compare(int snapshot_dir, int target_dir, const char* name, const struct stat& a,
                   const struct stat& b) {
    if (rules_.owner_and_mode) {
        char mode_a[16];
        char mode_b[16];
        text_format(mode_a, sizeof mode_a, "%04o", a.st_mode & PERMISSION_BITS);
        text_format(mode_b, sizeof mode_b, "%04o", b.st_mode & PERMISSION_BITS);
        if ((a.st_mode & PERMISSION_BITS) != (b.st_mode & PERMISSION_BITS)) {
            report("mode", mode_a, mode_b);
        }
        if (a.st_uid != b.st_uid) {
            report("owner", std::to_string(a.st_uid), std::to_string(b.st_uid));
        }
        if (a.st_gid != b.st_gid) {
            report("group", std::to_string(a.st_gid), std::to_string(b.st_gid));
        }
    }
    if (rules_.mtime && a.st_mtim.tv_sec != b.st_mtim.tv_sec) {
        report("modification time", utc_seconds(a.st_mtim.tv_sec), utc_seconds(b.st_mtim.tv_sec));
    }
    const bool device = S_ISCHR(a.st_mode) || S_ISBLK(a.st_mode);
    if (device && a.st_rdev != b.st_rdev) {
        report("device number",
               std::to_string(major(a.st_rdev)) + ":" + std::to_string(minor(a.st_rdev)),
               std::to_string(major(b.st_rdev)) + ":" + std::to_string(minor(b.st_rdev)));
    }
    compare_xattrs(snapshot_dir, target_dir, name);
}

int Walk::walk_entry(int snapshot_fd, int target_fd, const std::string& name) {
    const std::size_t parent_len = rel_.size();
    rel_ += rel_.empty() ? name : "/" + name;
    struct stat a {};
    struct stat b {};
    int rc = 0;
    if (fstatat(snapshot_fd, name.c_str(), &a, AT_SYMLINK_NOFOLLOW) != 0 ||
        fstatat(target_fd, name.c_str(), &b, AT_SYMLINK_NOFOLLOW) != 0) {
        rc = errno;
        failure_ = "cannot read the metadata of " + rel_ + ": " + std::strerror(rc);
    } else if ((a.st_mode & S_IFMT) == (b.st_mode & S_IFMT) && a.st_dev == snapshot_.dev &&
               b.st_dev == target_.dev) {
        // A type that differs is diff's to report, and so is a name it named.
        entries_->fetch_add(1, std::memory_order_relaxed);
        if (reported_.count(rel_) == 0) compare(snapshot_fd, target_fd, name.c_str(), a, b);
        if (S_ISDIR(a.st_mode)) {
            constexpr int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
            UniqueFd sub_a(openat(snapshot_fd, name.c_str(), flags));
            UniqueFd sub_b(openat(target_fd, name.c_str(), flags));
            if (!sub_a.is_open() || !sub_b.is_open()) {
                rc = errno;
                failure_ = "cannot open " + rel_ + ": " + std::strerror(rc);
            } else {
                rc = walk_dir(sub_a.get(), sub_b.get());
            }
        }
    }
    if (rc == 0) rel_.resize(parent_len);
    return rc;
}

int Walk::walk_dir(int snapshot_fd, int target_fd) {
    std::vector<std::string> names_a;
    std::vector<std::string> names_b;
    int rc = dir_names(snapshot_fd, &names_a);
    if (rc == 0) rc = dir_names(target_fd, &names_b);
    if (rc != 0) {
        failure_ =
            "cannot read the directory " + (rel_.empty() ? "/" : rel_) + ": " + std::strerror(rc);
        return rc;
    }
    // Names on one side only are diff's to report; the walk takes those of both.
    auto a = names_a.begin();
    auto b = names_b.begin();
    while (a != names_a.end() && b != names_b.end()) {
        if (*a < *b) {
            ++a;
        } else if (*b < *a) {
            ++b;
        } else {
            if ((rc = walk_entry(snapshot_fd, target_fd, *a)) != 0) return rc;
            ++a;
            ++b;
        }
    }
    return 0;
}

void write_failure(int fd, const std::string& sentence) {
    char shown[LINE_BYTES];
    const std::size_t n = text_escape(shown, sizeof shown, sentence);
    if (write(fd, shown, n) < 0) return;
}

// Each level of the tree holds two open directories: the soft limit on
// descriptors must not decide how deep a tree can be.
void raise_descriptor_limit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace

MetadataRules metadata_rules_for(const char* fs_name) {
    const std::string_view name(fs_name != nullptr ? fs_name : "");
    if (name == "vfat") return MetadataRules{false, false, false};
    if (name == "ntfs") return MetadataRules{false, true, true};
    return MetadataRules{true, true, false};
}

int metadata_walk(const char* snapshot_root, const char* target_root, const MetadataRules& rules,
                  const std::set<std::string>& reported, std::atomic<std::uint64_t>* entries,
                  int out_fd) {
    raise_descriptor_limit();
    constexpr int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    UniqueFd root_a(open(snapshot_root, flags));
    UniqueFd root_b(open(target_root, flags));
    struct stat a {};
    struct stat b {};
    if (!root_a.is_open() || !root_b.is_open() || fstat(root_a.get(), &a) != 0 ||
        fstat(root_b.get(), &b) != 0) {
        write_failure(out_fd, std::string("cannot open the mount points: ") + std::strerror(errno));
        return WALK_FAILED;
    }
    Walk walk(Side{snapshot_root, a.st_dev}, Side{target_root, b.st_dev}, rules, reported, entries,
              out_fd);
    entries->fetch_add(1, std::memory_order_relaxed);
    walk.compare(root_a.get(), root_b.get(), ".", a, b);
    if (walk.walk_dir(root_a.get(), root_b.get()) != 0) {
        write_failure(out_fd, walk.failure());
        return WALK_FAILED;
    }
    return walk.differs() ? WALK_DIFFERENT : WALK_SAME;
}

}  // namespace qor
