#include "compare/tree_compare.h"

#include <sys/mman.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <string_view>

#include "common/console_log.h"
#include "common/interrupt.h"
#include "common/progress.h"
#include "common/text.h"
#include "common/text_escape.h"
#include "common/tool_output.h"
#include "compare/diff_report.h"
#include "compare/fuse_abort.h"
#include "compare/metadata_walk.h"
#include "lvm/command_runner.h"

namespace qor {
namespace {

// Each run of diff or of the metadata walk may take as long as reading
// every used byte of both file systems at 20 MB/s: the slowest disk a
// server still has, reading the two sides at once. diff reads at most that
// (both sides of every equal-sized file); the walk reads far less.
constexpr std::uint64_t FLOOR_BYTES_PER_SECOND = 20'000'000;
// All of one run's output is read: it can only be judged record by record
// when none of it is missing. Past this, what was cut counts as a difference.
constexpr std::size_t DIFF_OUT_BYTES = 262144;
// The walk's lines past this are dropped; far more than is ever logged.
constexpr std::size_t WALK_OUT_BYTES = 65536;
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
    // A line escaped already (the walk's), kept whole or not at all.
    void add_escaped(std::string_view line) {
        ++count_;
        if (full_) return;
        const std::size_t before = len_;
        if ((count_ > 1 && !put("\n")) || !put(INDENT) || !put(line)) {
            len_ = before;
            text_[len_] = '\0';
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

// The two mount points of one pair, and what its runs need.
struct Pair {
    char snapshot_mp[MOUNT_POINT_BYTES];
    char target_mp[MOUNT_POINT_BYTES];
    std::uint32_t seconds;  // deadline of each run
    MetadataRules rules;
    std::set<std::string> reported;  // names diff reported, relative to the roots
    std::atomic<std::uint64_t>* entries;
};

// Undoes, at a run's deadline, what may keep its killed child from ending.
void pair_abort_fuse(const void* context) {
    const auto* pair = static_cast<const Pair*>(context);
    fuse_abort_mount(pair->snapshot_mp);
    fuse_abort_mount(pair->target_mp);
}

// Used bytes of the file system mounted on mount_point; 0 when unknown.
std::uint64_t used_bytes(const char* mount_point) {
    struct statvfs st {};
    if (statvfs(mount_point, &st) != 0 || st.f_blocks < st.f_bfree) return 0;
    return static_cast<std::uint64_t>(st.f_blocks - st.f_bfree) * st.f_frsize;
}

std::uint32_t pair_deadline_seconds(const Pair& pair, std::uint32_t min_seconds) {
    const std::uint64_t bytes = used_bytes(pair.snapshot_mp) + used_bytes(pair.target_mp);
    const std::uint64_t seconds = (bytes + FLOOR_BYTES_PER_SECOND - 1) / FLOOR_BYTES_PER_SECOND;
    if (seconds <= min_seconds) return min_seconds;
    return seconds >= UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(seconds);
}

// diff's answer "different", judged record by record: pairs of FIFOs, sockets
// or device nodes that match are no difference; everything else stays one,
// in the block, and its name in pair->reported.
void collect_differences(const char* out, std::size_t out_size, Pair* pair,
                         DifferenceBlock* block) {
    DiffOutput records(out, pair->snapshot_mp, pair->target_mp);
    std::string_view record;
    std::string_view name;
    while (records.next(&record)) {
        if (diff_record_is_equal_special_pair(record, pair->snapshot_mp, pair->target_mp)) continue;
        block->add(record);
        if (diff_record_names_both(record, pair->snapshot_mp, pair->target_mp, &name)) {
            pair->reported.emplace(name);
        }
    }
    // diff said "different": with nothing to show for it, or with output cut
    // off, that answer stands.
    if (std::strlen(out) + 1 >= out_size) {
        block->add("(diff's output was cut off here; the rest was not examined)");
    } else if (block->count() == 0 && out[0] == '\0') {
        block->add("(diff reported a difference without naming it)");
    }
}

// Runs diff on the pair; 0 when it gave an answer (what differs is in the
// block), -1 with the sentence in err when it gave none.
int pair_run_diff(Pair* pair, DifferenceBlock* block, char* err, std::size_t err_size) {
    std::unique_ptr<char[]> out(new (std::nothrow) char[DIFF_OUT_BYTES]);
    if (!out) {
        text_copy(err, err_size, "out of memory");
        return -1;
    }
    out[0] = '\0';
    // Links are compared as links: following them would read outside the image.
    const char* argv[] = {"diff",          "-rq",  "--no-dereference", pair->snapshot_mp,
                          pair->target_mp, nullptr};
    CommandResult result{};
    const CommandHooks hooks{nullptr, pair_abort_fuse, pair};
    int rc = run_command_hooked(argv, DIFF_ENV, pair->seconds, RUN_CAPTURE_OUTPUT, out.get(),
                                DIFF_OUT_BYTES, &result, &hooks);
    if (rc != 0 || (result.exit_code != DIFF_SAME && result.exit_code != DIFF_DIFFERENT)) {
        tool_output_trim(out.get());
        char shown[SHOWN_OUTPUT_BYTES];
        text_escape(shown, sizeof shown, out[0] != '\0' ? out.get() : "diff failed");
        text_format(err, err_size, "could not run diff between %s and %s: %s", pair->snapshot_mp,
                    pair->target_mp, shown);
        return -1;
    }
    if (result.exit_code == DIFF_DIFFERENT)
        collect_differences(out.get(), DIFF_OUT_BYTES, pair, block);
    return 0;
}

// In the walking child: its standard output is the capture.
int pair_walk_main(const void* context) {
    const auto* pair = static_cast<const Pair*>(context);
    return metadata_walk(pair->snapshot_mp, pair->target_mp, pair->rules, pair->reported,
                         pair->entries, STDOUT_FILENO);
}

// A counter in memory shared with the walking child, for the progress line.
class SharedCounter {
  public:
    SharedCounter() {
        void* at = mmap(nullptr, sizeof(std::atomic<std::uint64_t>), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (at != MAP_FAILED) counter_ = new (at) std::atomic<std::uint64_t>(0);
    }
    ~SharedCounter() {
        progress_watch_entries(nullptr);
        if (counter_ != nullptr) munmap(counter_, sizeof *counter_);
    }
    SharedCounter(const SharedCounter&) = delete;
    SharedCounter& operator=(const SharedCounter&) = delete;
    std::atomic<std::uint64_t>* get() const { return counter_; }

  private:
    std::atomic<std::uint64_t>* counter_ = nullptr;
};

// Compares the metadata of the pair in a child of its own: a walk blocked in
// a call on a hung FUSE mount cannot look at a clock, but a child can be
// killed at the deadline, after the mount's connection was aborted, like
// diff. Its lines go into the block; 0, or -1 with the sentence in err.
int pair_run_walk(Pair* pair, DifferenceBlock* block, char* err, std::size_t err_size) {
    SharedCounter entries;
    std::unique_ptr<char[]> out(new (std::nothrow) char[WALK_OUT_BYTES]);
    if (entries.get() == nullptr || !out) {
        text_copy(err, err_size, "out of memory");
        return -1;
    }
    pair->entries = entries.get();
    progress_watch_entries(entries.get());
    const char* argv[] = {"metadata walk", nullptr};
    CommandResult result{};
    const CommandHooks hooks{pair_walk_main, pair_abort_fuse, pair};
    int rc = run_command_hooked(argv, nullptr, pair->seconds, RUN_CAPTURE_OUTPUT, out.get(),
                                WALK_OUT_BYTES, &result, &hooks);
    std::string_view text(out.get());
    if (rc == 0 && (result.exit_code == WALK_SAME || result.exit_code == WALK_DIFFERENT)) {
        const bool cut = text.size() + 1 >= WALK_OUT_BYTES;
        const int before = block->count();
        for (std::size_t end = text.find('\n'); end != std::string_view::npos;
             end = text.find('\n')) {
            block->add_escaped(text.substr(0, end));
            text.remove_prefix(end + 1);
        }
        if (cut || !text.empty()) {
            block->add("(the metadata walk's output was cut off here)");
        } else if (result.exit_code == WALK_DIFFERENT && block->count() == before) {
            block->add("(the metadata walk reported a difference without naming it)");
        }
        return 0;
    }
    char why[SHOWN_OUTPUT_BYTES] = "the walk failed";
    if (result.timed_out != 0) {
        text_format(why, sizeof why, "it did not end within %u s", pair->seconds);
    } else if (rc == 0 && result.exit_code == WALK_FAILED) {
        const std::size_t last = text.rfind('\n');
        text_copy(why, sizeof why, last == std::string_view::npos ? text : text.substr(last + 1));
    }
    text_format(err, err_size, "could not compare the metadata of %s and %s: %s", pair->snapshot_mp,
                pair->target_mp, why);
    return -1;
}

// The file system mounted as pair `index`: the index-th entry of the layout
// that is mounted. The layouts of both sides match, so the snapshot's serves.
const char* pair_fs_name(const MountedImage& image, int index) {
    if (image.whole_mounted) return image.layout.entries[0].fs.name;
    int seen = 0;
    for (std::uint32_t i = 0; i < image.layout.count; ++i) {
        if (image.layout.entries[i].handling != LayoutHandling::mounted) continue;
        if (seen++ == index) return image.layout.entries[i].fs.name;
    }
    return "";
}

// Compares pair `index`: diff judges the contents, the walk the metadata,
// and what both found is logged as one block. 0 when both gave an answer (a
// difference is recorded in stats), -1 with the sentence in err otherwise.
int compare_pair(const MountedImage* snapshot, const MountedImage* target, int index,
                 std::uint32_t min_seconds, CompareStats* stats, char* err, std::size_t err_size) {
    Pair pair{};
    mount_point_path(snapshot->root_dir, snapshot->whole_mounted != 0, index, pair.snapshot_mp,
                     sizeof pair.snapshot_mp);
    mount_point_path(target->root_dir, target->whole_mounted != 0, index, pair.target_mp,
                     sizeof pair.target_mp);
    pair.seconds = pair_deadline_seconds(pair, min_seconds);
    pair.rules = metadata_rules_for(pair_fs_name(*snapshot, index));
    DifferenceBlock block;
    if (pair_run_diff(&pair, &block, err, err_size) != 0) return -1;
    if (interrupt_should_abort()) {
        text_copy(err, err_size, "interrupted");
        return -1;
    }
    if (pair_run_walk(&pair, &block, err, err_size) != 0) return -1;
    if (block.count() == 0) return 0;
    char shown_snapshot[SHOWN_PATH_BYTES];
    char shown_target[SHOWN_PATH_BYTES];
    text_escape(shown_snapshot, sizeof shown_snapshot, pair.snapshot_mp);
    text_escape(shown_target, sizeof shown_target, pair.target_mp);
    runlog_log(RUNLOG_WARN, "qor_verifier: differences found (%s vs %s):\n%s", shown_snapshot,
               shown_target, block.text());
    stats->files_differ = 1;
    return 0;
}

}  // namespace

int compare_trees(const MountedImage* snapshot, const MountedImage* target, CompareStats* stats,
                  char* err, std::size_t err_size, std::uint32_t min_seconds) {
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
        if (compare_pair(snapshot, target, index, min_seconds, stats, err, err_size) != 0) {
            return -1;
        }
    }
    return stats->files_differ ? 1 : 0;
}

}  // namespace qor
