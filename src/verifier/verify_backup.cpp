#include "verifier/verify_backup.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "common/block_device.h"
#include "common/console_log.h"
#include "common/file_io.h"
#include "common/interrupt.h"
#include "common/progress.h"
#include "common/text.h"
#include "common/text_escape.h"
#include "compare/block_compare.h"
#include "compare/mounted_image.h"
#include "compare/region_compare.h"
#include "compare/tree_compare.h"
#include "lvm/lv_manage.h"
#include "lvm/lv_name.h"
#include "lvm/lv_query.h"
#include "meta/backup_header.h"
#include "meta/snapshot_ref.h"
#include "verifier/restore_process.h"
#include "verifier/restore_target.h"

namespace qor {

namespace {

constexpr std::size_t STEP_MSG_SIZE = 400;
constexpr std::size_t DEVICE_PATH_BYTES = 300;
constexpr const char* SNAPSHOT_TAG = "qor_agent";
constexpr std::size_t SHOWN_PATH_BYTES = 512;  // as long as the verdict's own buffer
// The first 80 bytes of a refused reference, each of which may become a
// four-character escape.
constexpr std::size_t SHOWN_REF_CHARS = 80;
constexpr std::size_t SHOWN_REF_BYTES = 4 * SHOWN_REF_CHARS + 1;

// What compare_mounted answers besides a comparison's own result (negative:
// failed, 0: identical, 1: different): which image could not be mounted, the
// mount's sentence in the comparison's message buffer.
constexpr int SNAPSHOT_UNMOUNTABLE = 2;
constexpr int TARGET_UNMOUNTABLE = 3;

// What clean-up could not undo, named in the sentence of an interrupted run
// (a failure's own sentence stays as it is; the warnings name them there).
struct Leftovers {
    char text[256] = "";

    // Notes what, unless it is null.
    void add(const char* what) {
        if (what == nullptr) return;
        std::size_t len = std::strlen(text);
        text_format(text + len, sizeof text - len, "%s%s", len > 0 ? ", " : "", what);
    }
};

// The scratch target from its creation on: removed when the sequence is done
// with it, on every path, unless the operator asked to keep it.
class ScratchTarget {
  public:
    ScratchTarget(bool keep, Leftovers* leftovers) : keep_(keep), leftovers_(leftovers) {}
    ~ScratchTarget() { dispose(); }
    ScratchTarget(const ScratchTarget&) = delete;
    ScratchTarget& operator=(const ScratchTarget&) = delete;

    RestoreTarget* get() { return &target_; }
    void dispose() {
        if (!keep_ && target_.valid) {
            progress_set_phase(ProgressPhase::removing);
            if (remove_restore_target(&target_) != 0) leftovers_->add(target_.path);
        }
        target_.valid = 0;
    }

  private:
    RestoreTarget target_{};
    bool keep_;
    Leftovers* leftovers_;
};

// A reference LVM could not have written: refused by the parser, or naming
// a group or volume LVM would refuse to create.
bool snapshot_ref_is_unusable(const char* text, SnapshotRef* ref) {
    return parse_snapshot_ref(text, ref) != 0 || !lvm_vg_name_is_allowed(ref->vg_name) ||
           !lvm_lv_name_is_allowed(ref->origin_lv) || !lvm_lv_name_is_allowed(ref->snapshot_lv);
}

// The header and its recorded snapshot reference. The path and the raw
// reference are outside text, escaped wherever they are shown.
int load_snapshot_ref(const char* meta_path, BackupHeader* header, SnapshotRef* ref, char* msg,
                      std::size_t msg_size) {
    if (read_backup_header(meta_path, header) != 0) {
        char shown[SHOWN_PATH_BYTES];
        text_escape(shown, sizeof shown, meta_path);
        text_format(msg, msg_size, "cannot read %s", shown);
        return 1;
    }
    const char* text = header->snapshot_ref();
    if (text[0] == '\0') {
        text_format(msg, msg_size,
                    "this backup has no recorded snapshot (it was made without --keep-snapshot, "
                    "or predates qor_verifier's snapshot tracking) -- nothing to verify against");
        return 1;
    }
    if (snapshot_ref_is_unusable(text, ref)) {
        *ref = SnapshotRef{};
        char shown[SHOWN_REF_BYTES];
        text_escape(shown, sizeof shown, std::string_view(text, strnlen(text, SHOWN_REF_CHARS)));
        text_format(msg, msg_size,
                    "the backup's recorded snapshot ('%s') is not in a format qor_verifier "
                    "understands (only LVM is supported today)",
                    shown);
        return 1;
    }
    return 0;
}

// The snapshot's device holds as many bytes as the backed-up volume had: a
// header that says otherwise would make the comparison cover too little (a
// truncated backup would pass) or size the scratch LV from a wrong number.
// The device is measured, not lvs's lv_size: for a thick snapshot that is the
// size of its COW space.
int check_snapshot_size(const SnapshotRef& ref, std::uint64_t source_size, char* msg,
                        std::size_t msg_size) {
    char dev[DEVICE_PATH_BYTES];
    text_format(dev, sizeof dev, "/dev/%s/%s", ref.vg_name, ref.snapshot_lv);
    std::uint64_t size = 0;
    char size_err[STEP_MSG_SIZE] = "";
    if (block_device_size(dev, &size, size_err, sizeof size_err) != 0) {
        text_format(msg, msg_size, "cannot measure the snapshot %s/%s: %s", ref.vg_name,
                    ref.snapshot_lv, size_err);
        return 1;
    }
    if (size != source_size) {
        text_format(msg, msg_size,
                    "the snapshot %s/%s holds %llu bytes but the backup records a volume of %llu "
                    "bytes -- it was not made from this snapshot",
                    ref.vg_name, ref.snapshot_lv, static_cast<unsigned long long>(size),
                    static_cast<unsigned long long>(source_size));
        return 1;
    }
    return 0;
}

// The snapshot still exists, is ours, has not overflowed, has a device node,
// and is as large as the backed-up volume.
int check_snapshot(const SnapshotRef& ref, std::uint64_t source_size, char* msg,
                   std::size_t msg_size) {
    LvInfo info;
    char lvm_err[STEP_MSG_SIZE] = "";
    int found = lv_lookup(ref.vg_name, ref.snapshot_lv, &info, lvm_err, sizeof lvm_err);
    if (found != 0) {
        text_format(msg, msg_size,
                    "the kept snapshot %s/%s recorded in this backup no longer exists%s%s",
                    ref.vg_name, ref.snapshot_lv, found < 0 ? ": " : "", found < 0 ? lvm_err : "");
        return 1;
    }
    int tagged = lv_has_tag(ref.vg_name, ref.snapshot_lv, SNAPSHOT_TAG, lvm_err, sizeof lvm_err);
    if (tagged < 0) {
        text_format(msg, msg_size, "cannot check the snapshot's tags: %s", lvm_err);
        return 1;
    }
    if (tagged == 0) {
        text_format(msg, msg_size,
                    "%s/%s exists but was not created by qor_agent -- refusing to use it",
                    ref.vg_name, ref.snapshot_lv);
        return 1;
    }
    if (lv_snapshot_invalid(info.lv_attr)) {
        text_format(msg, msg_size,
                    "the snapshot %s/%s is invalid (its COW space overflowed) -- it is no longer a "
                    "consistent point in time",
                    ref.vg_name, ref.snapshot_lv);
        return 1;
    }
    // Found before anything is created: restoring first would waste the
    // whole restore on a snapshot that cannot be read.
    if (!lv_is_active(info.lv_attr)) {
        text_format(msg, msg_size,
                    "the kept snapshot %s/%s is not active (it has no device node) -- activate "
                    "it with 'lvchange -ay -K %s/%s'",
                    ref.vg_name, ref.snapshot_lv, ref.vg_name, ref.snapshot_lv);
        return 1;
    }
    return check_snapshot_size(ref, source_size, msg, msg_size);
}

// Mounts the restored target like the snapshot. A file target is read and
// attached only through its claimed descriptor, never by its path.
int mount_restored(const RestoreTarget& restored, const MountedImage& snapshot, MountedImage* image,
                   char* err, std::size_t err_size) {
    if (restored.is_lv) return mount_image(restored.path, &snapshot, image, err, err_size);
    UniqueFd fd;
    if (restore_target_open_read(restored, &fd, err, err_size) != 0) return -1;
    return mount_image_file(restored.path, fd.get(), &snapshot, image, err, err_size);
}

// Compares block by block what no mount shows; a file target is read through
// its claimed descriptor, as everywhere else.
int compare_restored_regions(const char* snapshot_dev, const RestoreTarget& restored,
                             const BackupHeader& header, const ImageLayout& layout,
                             CompareStats* stats, char* err, std::size_t err_size) {
    UniqueFd fd;
    char held[32];  // "/proc/self/fd/<n>"
    const char* target_path = restored.path;
    if (!restored.is_lv) {
        if (restore_target_open_read(restored, &fd, err, err_size) != 0) return -1;
        text_format(held, sizeof held, "/proc/self/fd/%d", fd.get());
        target_path = held;
    }
    return compare_unmounted_regions(snapshot_dev, target_path, layout, header.source_size,
                                     header.chunk_size, stats, err, err_size);
}

// Mode fs: mount the snapshot, then the target, compare the trees and then,
// block by block, what no mount shows, and unmount the target first. Returns
// the comparison's result, or SNAPSHOT_UNMOUNTABLE or TARGET_UNMOUNTABLE with
// the mount's sentence in err.
int compare_mounted(const char* snapshot_dev, const RestoreTarget& restored,
                    const BackupHeader& header, CompareStats* stats, char* err,
                    std::size_t err_size, Leftovers* leftovers) {
    MountedImage snapshot{};
    MountedImage target{};
    MountedImageGuard snapshot_guard(&snapshot);
    MountedImageGuard target_guard(&target);
    int r;
    progress_set_phase(ProgressPhase::mounting);
    if (mount_image(snapshot_dev, nullptr, &snapshot, err, err_size) != 0) {
        r = SNAPSHOT_UNMOUNTABLE;
    } else if (int m = mount_restored(restored, snapshot, &target, err, err_size); m != 0) {
        // A target unlike the snapshot is a failed comparison, found before mounting it.
        r = m == MOUNT_LAYOUT_DIFFERS ? -1 : TARGET_UNMOUNTABLE;
    } else {
        progress_set_phase(ProgressPhase::comparing);
        r = compare_trees(&snapshot, &target, stats, err, err_size);
        // A difference in the trees still lets every region be compared and logged.
        if (r >= 0) {
            const int blocks = compare_restored_regions(snapshot_dev, restored, header,
                                                        snapshot.layout, stats, err, err_size);
            r = blocks < 0 ? -1 : std::max(r, blocks);
        }
    }
    progress_set_phase(ProgressPhase::removing);
    leftovers->add(target_guard.undo());
    leftovers->add(snapshot_guard.undo());
    return r;
}

// Mode byte: the snapshot's device against the target, read through the
// descriptor restore_target_open_read gives.
int compare_restored_blocks(const char* snapshot_dev, const RestoreTarget& restored,
                            const BackupHeader& header, CompareStats* stats, char* err,
                            std::size_t err_size) {
    UniqueFd snapshot;
    if (file_open_read(snapshot_dev, &snapshot) != 0) {
        const int errnum = errno;
        char shown[SHOWN_PATH_BYTES];
        text_escape(shown, sizeof shown, snapshot_dev);
        text_format(err, err_size, "cannot open %s: %s", shown, std::strerror(errnum));
        return -1;
    }
    UniqueFd target;
    if (restore_target_open_read(restored, &target, err, err_size) != 0) return -1;
    progress_set_phase(ProgressPhase::comparing, header.source_size);
    return compare_block_range(BlockSide{snapshot.get(), 0, snapshot_dev},
                               BlockSide{target.get(), 0, restored.path}, header.chunk_size,
                               header.source_size, stats, err, err_size);
}

// The sentence for a comparison that did not come out identical.
void judge_comparison(int r, std::int32_t mode, const CompareStats& stats, const char* cmp_err,
                      char* msg, std::size_t msg_size) {
    if (r == SNAPSHOT_UNMOUNTABLE) {
        text_format(msg, msg_size, "cannot mount the snapshot: %s", cmp_err);
    } else if (r == TARGET_UNMOUNTABLE) {
        text_format(msg, msg_size, "cannot mount the restored target: %s", cmp_err);
    } else if (r < 0) {
        text_format(msg, msg_size, "comparison failed: %s", cmp_err);
    } else if (mode == MODE_FS) {
        text_format(msg, msg_size,
                    "the restored target differs from the snapshot (see the logged 'diff -rq' "
                    "output above for which files)");
    } else {
        text_format(msg, msg_size,
                    "the restored target differs from the snapshot: %llu of the compared chunks "
                    "mismatched, first at byte offset %llu",
                    static_cast<unsigned long long>(stats.mismatched_chunks),
                    static_cast<unsigned long long>(stats.first_mismatch_offset));
    }
}

// The source snapshot goes only after a clean comparison; failing to remove
// it is worth a warning, not a failed verification. Why it failed is not shown.
// It is looked up again first: only a snapshot of the recorded origin that
// still carries the backup program's tag is removed, never a volume that
// merely has the recorded name.
void remove_source_snapshot(const SnapshotRef& ref) {
    progress_set_phase(ProgressPhase::removing);
    LvInfo info;
    char unused[STEP_MSG_SIZE];
    bool found = lv_lookup(ref.vg_name, ref.snapshot_lv, &info, unused, sizeof unused) == 0;
    if (found &&
        (!lv_is_snapshot_of(&info, ref.origin_lv) ||
         lv_has_tag(ref.vg_name, ref.snapshot_lv, SNAPSHOT_TAG, unused, sizeof unused) != 1)) {
        runlog_log(RUNLOG_WARN,
                   "verified OK but did not remove %s/%s: it is not a snapshot of %s/%s made by "
                   "qor_agent",
                   ref.vg_name, ref.snapshot_lv, ref.vg_name, ref.origin_lv);
        return;
    }
    if (!found || lv_remove(ref.vg_name, ref.snapshot_lv, unused, sizeof unused) != 0) {
        char name[DEVICE_PATH_BYTES];
        text_format(name, sizeof name, "%s/%s", ref.vg_name, ref.snapshot_lv);
        runlog_log(RUNLOG_WARN,
                   "verified OK but could not remove the snapshot %s: remove it manually", name);
    }
}

int verify_restored(const VerifyOptions& opts, const BackupHeader& header, const SnapshotRef& ref,
                    CompareStats* stats, char* msg, std::size_t msg_size, Leftovers* leftovers) {
    char snapshot_dev[DEVICE_PATH_BYTES];
    text_format(snapshot_dev, sizeof snapshot_dev, "/dev/%s/%s", ref.vg_name, ref.snapshot_lv);

    char step_err[STEP_MSG_SIZE] = "";
    ScratchTarget scratch(opts.keep_restored != 0, leftovers);
    RestoreTarget* target = scratch.get();
    if (prepare_restore_target(ref.vg_name, ref.origin_lv, header.source_size, opts.target_lv,
                               opts.target_file, target, step_err, sizeof step_err) != 0) {
        text_format(msg, msg_size, "cannot create the restore target: %s", step_err);
        return 1;
    }
    // A signal that came while the target was made stops the run before the
    // restore starts; the scratch target goes as on any failure.
    if (interrupt_should_abort()) return 1;
    // Zeroing the new LV is the first part of the restore, as far as
    // progress reports go.
    progress_set_phase(ProgressPhase::restoring);
    // The restore is told that its target reads as zeros, so it may skip the
    // backup's zero blocks. A new LV holds whatever its extents held before;
    // unzeroed, that stale data would read as a difference.
    if (target->is_lv && block_device_zero(target->path, step_err, sizeof step_err) != 0) {
        text_format(msg, msg_size, "cannot create the restore target: could not zero %s/%s: %s",
                    target->vg, target->lv, step_err);
        return 1;
    }
    const int restored =
        run_restore(opts.meta_path, opts.search_dir, target->path, opts.no_progress,
                    opts.forward_argv, opts.forward_argc, step_err, sizeof step_err);
    // Looked at as soon as the restore has ended, so that clean-up removes the
    // file the restore left and nothing put in its place afterwards.
    char claim_err[STEP_MSG_SIZE] = "";
    const int claimed = restore_target_claim_file(target, claim_err, sizeof claim_err);
    if (restored != 0) {
        char shown[SHOWN_PATH_BYTES];
        text_escape(shown, sizeof shown, target->path);
        text_format(msg, msg_size, "restore into %s failed: %s", shown, step_err);
        return 1;
    }
    if (claimed != 0) {
        text_format(msg, msg_size, "cannot use the restored target: %s", claim_err);
        return 1;
    }

    char cmp_err[STEP_MSG_SIZE] = {};
    int r;
    if (opts.mode == MODE_FS) {
        r = compare_mounted(snapshot_dev, *target, header, stats, cmp_err, sizeof cmp_err,
                            leftovers);
    } else {
        r = compare_restored_blocks(snapshot_dev, *target, header, stats, cmp_err, sizeof cmp_err);
    }
    // Whatever was found is void when the file changed while it was compared.
    char change_err[STEP_MSG_SIZE];
    if (r >= 0 && r != SNAPSHOT_UNMOUNTABLE &&
        restore_target_check_unchanged(*target, change_err, sizeof change_err) != 0) {
        text_copy(cmp_err, sizeof cmp_err, change_err);
        r = -1;
    }
    scratch.dispose();  // gone whatever the comparison found
    if (r != 0) {
        judge_comparison(r, opts.mode, *stats, cmp_err, msg, msg_size);
        return 1;
    }
    // An interrupted run never goes on to remove the source snapshot.
    if (opts.remove_snapshot_after && interrupt_pending() == 0) remove_source_snapshot(ref);
    return 0;
}

}  // namespace

int verify_backup(const VerifyOptions* opts, CompareStats* stats, char* msg, std::size_t msg_size) {
    text_clear(msg, msg_size);
    compare_stats_reset(stats);
    progress_set_phase(ProgressPhase::preparing);

    // 128 KiB: on the heap rather than the stack of a long call chain.
    std::unique_ptr<BackupHeader> header(new (std::nothrow) BackupHeader);
    if (!header) {
        text_format(msg, msg_size, "out of memory");
        return 1;
    }
    SnapshotRef ref;
    Leftovers leftovers;
    int result = 1;
    if (load_snapshot_ref(opts->meta_path, header.get(), &ref, msg, msg_size) == 0 &&
        check_snapshot(ref, header->source_size, msg, msg_size) == 0) {
        result = verify_restored(*opts, *header, ref, stats, msg, msg_size, &leftovers);
    }
    // Whatever a step said after a signal, the run was stopped by the signal.
    if (int signum = interrupt_pending(); signum != 0) {
        text_format(msg, msg_size, "interrupted by %s%s%s%s", interrupt_signal_name(signum),
                    leftovers.text[0] != '\0' ? " (could not clean up: " : "", leftovers.text,
                    leftovers.text[0] != '\0' ? ")" : "");
        return 1;
    }
    return result;
}

}  // namespace qor
