#include "compare/tree_compare.h"

#include <cstdint>

#include "common/console_log.h"
#include "common/interrupt.h"
#include "common/progress.h"
#include "common/text.h"
#include "common/tool_output.h"
#include "lvm/command_runner.h"

namespace qor {
namespace {

constexpr std::uint32_t DIFF_SECONDS = 300;
constexpr std::size_t DIFF_OUT_BYTES = 4096;

// Exit statuses of diff: 0 the trees are equal, 1 they differ, anything else
// means it could not compare.
constexpr int DIFF_SAME = 0;
constexpr int DIFF_DIFFERENT = 1;

// Compares pair `index`; 0 when diff gave an answer (a difference is logged
// and recorded in stats), -1 with the sentence in err when it gave none.
int compare_pair(const MountedImage* snapshot, const MountedImage* target, int index,
                 CompareStats* stats, char* err, std::size_t err_size) {
    char snapshot_mp[MOUNT_POINT_BYTES];
    char target_mp[MOUNT_POINT_BYTES];
    mount_point_path(snapshot->root_dir, snapshot->whole_mounted != 0, index, snapshot_mp,
                     sizeof snapshot_mp);
    mount_point_path(target->root_dir, target->whole_mounted != 0, index, target_mp,
                     sizeof target_mp);

    // Links are compared as links: following them would read outside the image.
    const char* argv[] = {"diff", "-rq", "--no-dereference", snapshot_mp, target_mp, nullptr};
    char out[DIFF_OUT_BYTES];
    out[0] = '\0';
    CommandResult result{};
    int rc = run_command(argv, nullptr, DIFF_SECONDS, RUN_CAPTURE_OUTPUT, out, sizeof out, &result);
    tool_output_trim(out);
    if (rc != 0 || (result.exit_code != DIFF_SAME && result.exit_code != DIFF_DIFFERENT)) {
        text_format(err, err_size, "could not run diff between %s and %s: %.300s", snapshot_mp,
                    target_mp, out[0] != '\0' ? out : "diff failed");
        return -1;
    }
    if (result.exit_code == DIFF_DIFFERENT) {
        stats->files_differ = 1;
        runlog_log(RUNLOG_WARN, "qor_verifier: differences found (%s vs %s):\n%.2000s", snapshot_mp,
                   target_mp, out);
    }
    return 0;
}

}  // namespace

int compare_trees(const MountedImage* snapshot, const MountedImage* target, CompareStats* stats,
                  char* err, std::size_t err_size) {
    text_clear(err, err_size);
    stats->files_differ = 0;
    if (snapshot->whole_mounted != target->whole_mounted ||
        snapshot->partitions_mounted != target->partitions_mounted) {
        text_copy(err, err_size,
                  "the snapshot and the restored target have a different partition layout -- "
                  "cannot compare file by file");
        return -1;
    }
    int pairs = snapshot->whole_mounted ? 1 : snapshot->partitions_mounted;
    for (int index = 0; index < pairs; ++index) {
        if (interrupt_should_abort()) {
            text_copy(err, err_size, "interrupted");
            return -1;
        }
        progress_set_pair(index, pairs, snapshot->whole_mounted != 0);
        if (compare_pair(snapshot, target, index, stats, err, err_size) != 0) return -1;
    }
    return stats->files_differ ? 1 : 0;
}

}  // namespace qor
