#include "compare/tree_compare.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "common/console_log.h"
#include "common/interrupt.h"
#include "common/progress.h"
#include "common/text.h"
#include "common/text_escape.h"
#include "common/tool_output.h"
#include "compare/diff_report.h"
#include "lvm/command_runner.h"

namespace qor {
namespace {

constexpr std::uint32_t DIFF_SECONDS = 300;
// All of one run's output is read: it can only be judged record by record
// when none of it is missing. Past this, what was cut counts as a difference.
constexpr std::size_t DIFF_OUT_BYTES = 262144;
constexpr std::size_t LOGGED_BYTES = 2001;       // the logged differences, escaped
constexpr std::size_t SHOWN_OUTPUT_BYTES = 301;  // diff's words in a failure sentence
constexpr std::size_t SHOWN_PATH_BYTES = MOUNT_POINT_BYTES;
// Every logged line of diff's is indented, so none can read as a log line.
constexpr std::string_view INDENT = "    ";

// Exit statuses of diff: 0 the trees are equal, 1 they differ, anything else
// means it could not compare.
constexpr int DIFF_SAME = 0;
constexpr int DIFF_DIFFERENT = 1;

// diff's words are parsed, so they must not come in the operator's language.
const char* const DIFF_ENV[] = {"LC_ALL=C", nullptr};

// The differences of one run, as they are logged: one indented line per
// record, escaped, cut whole at LOGGED_BYTES.
class DifferenceBlock {
  public:
    void add(std::string_view record) {
        ++count_;
        if (full_) return;
        const std::size_t before = len_;
        if (count_ > 1 && !put("\n")) return;
        if (!put(INDENT)) return;
        const std::size_t room = sizeof text_ - len_;
        const std::size_t written = text_escape(text_ + len_, room, record);
        len_ += written;
        if (written == 0 && !record.empty()) {
            len_ = before;  // not even a piece of it fitted: no empty line
            text_[len_] = '\0';
            full_ = true;
        }
    }
    int count() const { return count_; }
    const char* text() const { return text_; }

  private:
    bool put(std::string_view piece) {
        if (len_ + piece.size() + 1 > sizeof text_) {
            full_ = true;
            return false;
        }
        std::memcpy(text_ + len_, piece.data(), piece.size());
        len_ += piece.size();
        text_[len_] = '\0';
        return true;
    }

    char text_[LOGGED_BYTES] = "";
    std::size_t len_ = 0;
    int count_ = 0;
    bool full_ = false;
};

// diff's answer "different", judged record by record: pairs of FIFOs, sockets
// or device nodes that match are no difference; everything else stays one.
// Logs what is left and returns whether anything is.
bool report_differences(const char* out, std::size_t out_size, const char* snapshot_mp,
                        const char* target_mp) {
    DifferenceBlock block;
    DiffOutput records(out, snapshot_mp, target_mp);
    std::string_view record;
    while (records.next(&record)) {
        if (!diff_record_is_equal_special_pair(record, snapshot_mp, target_mp)) block.add(record);
    }
    // diff said "different": with nothing to show for it, or with output cut
    // off, that answer stands.
    if (std::strlen(out) + 1 >= out_size) {
        block.add("(diff's output was cut off here; the rest was not examined)");
    } else if (block.count() == 0 && out[0] == '\0') {
        block.add("(diff reported a difference without naming it)");
    }
    if (block.count() == 0) return false;
    char shown_snapshot[SHOWN_PATH_BYTES];
    char shown_target[SHOWN_PATH_BYTES];
    text_escape(shown_snapshot, sizeof shown_snapshot, snapshot_mp);
    text_escape(shown_target, sizeof shown_target, target_mp);
    runlog_log(RUNLOG_WARN, "qor_verifier: differences found (%s vs %s):\n%s", shown_snapshot,
               shown_target, block.text());
    return true;
}

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

    std::unique_ptr<char[]> out(new (std::nothrow) char[DIFF_OUT_BYTES]);
    if (!out) {
        text_copy(err, err_size, "out of memory");
        return -1;
    }
    out[0] = '\0';
    // Links are compared as links: following them would read outside the image.
    const char* argv[] = {"diff", "-rq", "--no-dereference", snapshot_mp, target_mp, nullptr};
    CommandResult result{};
    int rc = run_command(argv, DIFF_ENV, DIFF_SECONDS, RUN_CAPTURE_OUTPUT, out.get(),
                         DIFF_OUT_BYTES, &result);
    if (rc != 0 || (result.exit_code != DIFF_SAME && result.exit_code != DIFF_DIFFERENT)) {
        tool_output_trim(out.get());
        char shown[SHOWN_OUTPUT_BYTES];
        text_escape(shown, sizeof shown, out[0] != '\0' ? out.get() : "diff failed");
        text_format(err, err_size, "could not run diff between %s and %s: %s", snapshot_mp,
                    target_mp, shown);
        return -1;
    }
    if (result.exit_code == DIFF_DIFFERENT &&
        report_differences(out.get(), DIFF_OUT_BYTES, snapshot_mp, target_mp)) {
        stats->files_differ = 1;
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
