#include "verifier/restore_target.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "common/console_log.h"
#include "common/interrupt.h"
#include "common/text.h"
#include "common/text_escape.h"
#include "common/unique_fd.h"
#include "lvm/lv_manage.h"
#include "lvm/lv_query.h"

namespace qor {

namespace {

constexpr std::size_t NAME_MAX_CHARS = 127;
constexpr int ORIGIN_PREFIX_MAX = 100;  // leaves room for the suffix within LVM's limit
constexpr std::size_t PATH_SHOWN_BYTES = 600;
constexpr std::size_t PROC_FD_PATH_BYTES = sizeof RestoreTarget::path;

// A path from the command line, made fit to stand in a message.
struct ShownPath {
    explicit ShownPath(const char* path) { text_escape(text, sizeof text, path); }
    char text[PATH_SHOWN_BYTES];
};

int target_use_file(const char* path, RestoreTarget* target, char* err, std::size_t err_size) {
    // lstat, so that a dangling symbolic link is refused too: writing through
    // it would create a file elsewhere that this run would never remove.
    struct stat st;
    if (::lstat(path, &st) == 0) {
        text_format(err, err_size, "%s already exists; refusing to overwrite it",
                    ShownPath(path).text);
        return -1;
    }
    text_copy(target->path, sizeof target->path, path);
    target->is_lv = 0;
    target->valid = 1;
    return 0;
}

// Splits "<vg>/<lv>" at its first "/" into the record's vg and lv.
int target_split_lv(const char* target_lv, RestoreTarget* target, char* err, std::size_t err_size) {
    const char* slash = std::strchr(target_lv, '/');
    if (slash == nullptr || slash == target_lv || slash[1] == '\0') {
        text_format(err, err_size, "--target-lv must be <vg>/<lv>");
        return -1;
    }
    std::size_t vg_len = static_cast<std::size_t>(slash - target_lv);
    if (vg_len > NAME_MAX_CHARS) {
        text_format(err, err_size, "volume group name too long");
        return -1;
    }
    if (std::strlen(slash + 1) > NAME_MAX_CHARS) {
        text_format(err, err_size, "logical volume name too long");
        return -1;
    }
    text_copy(target->vg, sizeof target->vg, std::string_view(target_lv, vg_len));
    text_copy(target->lv, sizeof target->lv, slash + 1);
    return 0;
}

// Creates vg/lv after making sure it does not exist yet.
int target_create_lv(std::uint64_t size_bytes, RestoreTarget* target, char* err,
                     std::size_t err_size) {
    // Checked before the look-up too, so that no name from the command line
    // reaches lvs as an option word or a message.
    if (!lv_name_valid(target->vg) || !lv_name_valid(target->lv)) {
        text_copy(err, err_size, LV_NAME_REFUSED);
        return -1;
    }
    LvInfo info;
    char lookup_err[300] = "";
    int found = lv_lookup(target->vg, target->lv, &info, lookup_err, sizeof lookup_err);
    if (found < 0) {
        text_copy(err, err_size, lookup_err);
        return -1;
    }
    if (found == 0) {
        text_format(err, err_size, "%s/%s already exists; refusing to overwrite it", target->vg,
                    target->lv);
        return -1;
    }
    const int created = lv_create(target->vg, target->lv, size_bytes, err, err_size);
    // An lvcreate killed half-way may have made the volume: it was absent just
    // before, so one found now is ours, and the record lets clean-up remove it.
    if (created == 0 ||
        (created == LV_CREATE_UNFINISHED &&
         lv_lookup(target->vg, target->lv, &info, lookup_err, sizeof lookup_err) == 0)) {
        text_format(target->path, sizeof target->path, "/dev/%s/%s", target->vg, target->lv);
        target->is_lv = 1;
        target->valid = 1;
    }
    return created == 0 ? 0 : -1;
}

// The directory part of a file target's path (".", "/" or the text before
// its last "/") and the name within it.
const char* target_split_path(const char* path, char* dir, std::size_t dir_size) {
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        text_copy(dir, dir_size, ".");
        return path;
    }
    text_copy(dir, dir_size, std::string_view(path, slash == path ? 1 : slash - path));
    return slash + 1;
}

std::int64_t stat_mtime_ns(const struct stat& st) {
    return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
}

// Why the claimed file is no longer what the restore left, or null: the path
// names another file (or nothing), or the file was written since.
const char* target_file_change(const RestoreTarget& target) {
    struct stat now;
    struct stat claimed;
    if (!target.file.is_open() || ::fstat(target.file.get(), &claimed) != 0) {
        return "it was never claimed";
    }
    if (::lstat(target.path, &now) != 0 || now.st_dev != claimed.st_dev ||
        now.st_ino != claimed.st_ino) {
        return "its path names another file now";
    }
    if (claimed.st_size != target.file_size || stat_mtime_ns(claimed) != target.file_mtime_ns) {
        return "it was written to since";
    }
    return nullptr;
}

// Deletes the claimed file through a descriptor of its directory, so that
// the name checked is the name removed, and only while it is still that file.
void target_remove_claimed_file(const RestoreTarget& target) {
    char dir[sizeof target.path];
    const char* name = target_split_path(target.path, dir, sizeof dir);
    UniqueFd dir_fd(::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat now;
    struct stat claimed;
    if (!dir_fd.is_open() || ::fstatat(dir_fd.get(), name, &now, AT_SYMLINK_NOFOLLOW) != 0 ||
        ::fstat(target.file.get(), &claimed) != 0) {
        return;  // already gone
    }
    if (now.st_dev != claimed.st_dev || now.st_ino != claimed.st_ino) {
        runlog_log(RUNLOG_WARN, "left %s in place: it is no longer the file the restore wrote",
                   ShownPath(target.path).text);
        return;
    }
    ::unlinkat(dir_fd.get(), name, 0);
}

}  // namespace

int restore_target_claim_file(RestoreTarget* target, char* err, std::size_t err_size) {
    text_clear(err, err_size);
    if (target == nullptr || !target->valid || target->is_lv) return 0;
    const ShownPath shown(target->path);
    // O_PATH opens nothing (no device or FIFO side effects); with O_NOFOLLOW
    // a link yields a descriptor of the link itself.
    UniqueFd file(::open(target->path, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!file.is_open() || ::fstat(file.get(), &st) != 0) {
        text_format(err, err_size, "%s does not exist after the restore", shown.text);
        return -1;
    }
    if (S_ISLNK(st.st_mode)) {
        text_format(err, err_size, "%s is a symbolic link after the restore; refusing to follow it",
                    shown.text);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        text_format(err, err_size, "%s is not a regular file after the restore", shown.text);
        return -1;
    }
    target->file = std::move(file);
    target->file_size = st.st_size;
    target->file_mtime_ns = stat_mtime_ns(st);
    return 0;
}

int restore_target_check_unchanged(const RestoreTarget& target, char* err, std::size_t err_size) {
    text_clear(err, err_size);
    if (!target.valid || target.is_lv) return 0;
    const char* why = target_file_change(target);
    if (why == nullptr) return 0;
    text_format(err, err_size, "the restored file %s changed after the restore (%s)",
                ShownPath(target.path).text, why);
    return -1;
}

int restore_target_open_read(const RestoreTarget& target, UniqueFd* fd, char* err,
                             std::size_t err_size) {
    text_clear(err, err_size);
    fd->reset();
    if (!target.is_lv && restore_target_check_unchanged(target, err, err_size) != 0) return -1;
    char path[PROC_FD_PATH_BYTES];
    if (target.is_lv) {
        text_copy(path, sizeof path, target.path);
    } else {
        text_format(path, sizeof path, "/proc/self/fd/%d", target.file.get());
    }
    fd->reset(::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!fd->is_open()) {
        const int errnum = errno;
        text_format(err, err_size, "cannot open %s: %s", ShownPath(target.path).text,
                    std::strerror(errnum));
        return -1;
    }
    return 0;
}

int prepare_restore_target(const char* vg_name, const char* origin_lv, std::uint64_t size_bytes,
                           const char* target_lv, const char* target_file, RestoreTarget* target,
                           char* err, std::size_t err_size) {
    text_clear(err, err_size);
    *target = RestoreTarget{};
    if (target_lv != nullptr && target_file != nullptr) {
        text_format(err, err_size, "--target-lv and --target-file are mutually exclusive");
        return -1;
    }
    if (target_file != nullptr) return target_use_file(target_file, target, err, err_size);

    if (target_lv != nullptr) {
        if (target_split_lv(target_lv, target, err, err_size) != 0) {
            *target = RestoreTarget{};
            return -1;
        }
    } else {
        text_copy(target->vg, sizeof target->vg, vg_name);
        text_format(target->lv, sizeof target->lv, "%.*s%s", ORIGIN_PREFIX_MAX, origin_lv,
                    RESTORE_TARGET_SUFFIX);
    }
    if (target_create_lv(size_bytes, target, err, err_size) != 0) {
        if (!target->valid) *target = RestoreTarget{};
        return -1;
    }
    return 0;
}

int remove_restore_target(RestoreTarget* target) {
    if (target == nullptr || !target->valid || target->path[0] == '\0') return 0;
    InterruptShield shield;
    if (target->is_lv) {
        char remove_err[300] = "";
        if (lv_remove(target->vg, target->lv, remove_err, sizeof remove_err) != 0) {
            runlog_log(RUNLOG_WARN,
                       "could not remove the restore-target LV %s/%s: %s (remove it manually)",
                       target->vg, target->lv, remove_err);
            return -1;
        }
    } else if (target->file.is_open()) {
        target_remove_claimed_file(*target);
        target->file.reset();
    }
    return 0;
}

}  // namespace qor
