#include "compare/tree_compare.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/fs_fixture.h"
#include "support/test_temp_dir.h"

namespace qor {
namespace {

using test::FakeToolDir;
using test::write_file;

constexpr char LAYOUT_SENTENCE[] =
    "the snapshot and the restored target have a different partition layout -- cannot compare "
    "file by file";

// Two hand-made "mounted" images: records whose mount points are plain
// directories under a temporary directory, and a recording diff first in PATH.
class TreeCompareTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(temp_.ok());
        snapshot_ = record("snap");
        target_ = record("target");
        tools_ = std::make_unique<FakeToolDir>();
        tools_->add_tool("diff", "exec /usr/bin/diff \"$@\"");
        compare_stats_reset(&stats_);
        stats_.bytes_compared = 4096;
        stats_.files_differ = 1;  // must be cleared on entry
        std::strcpy(err_, "stale");
    }

    MountedImage record(const std::string& name) {
        MountedImage image{};
        std::string root = temp_ / name;
        std::filesystem::create_directories(root);
        std::strcpy(image.root_dir, root.c_str());
        return image;
    }

    void mount_whole() {
        snapshot_.whole_mounted = 1;
        target_.whole_mounted = 1;
        std::filesystem::create_directories(side("snap", "whole"));
        std::filesystem::create_directories(side("target", "whole"));
    }

    void mount_partitions(int count) {
        snapshot_.partitions_mounted = count;
        target_.partitions_mounted = count;
        for (int i = 0; i < count; ++i) {
            std::filesystem::create_directories(side("snap", "p" + std::to_string(i)));
            std::filesystem::create_directories(side("target", "p" + std::to_string(i)));
        }
    }

    std::string side(const std::string& name, const std::string& mount) {
        return temp_ / name + "/" + mount;
    }

    // Writes the same file on both sides.
    void write_both(const std::string& mount, const std::string& file, const std::string& text) {
        write_file(side("snap", mount) + "/" + file, text);
        write_file(side("target", mount) + "/" + file, text);
    }

    // The two trees are written a moment apart, and what these tests compare
    // is names and contents: the target takes the snapshot's times.
    void align_times() {
        const std::filesystem::path snap = temp_ / "snap";
        for (const auto& entry : std::filesystem::recursive_directory_iterator(snap)) {
            struct stat st {};
            if (lstat(entry.path().c_str(), &st) != 0) continue;
            const std::string other = temp_ / "target" / entry.path().lexically_relative(snap);
            const timespec times[2] = {st.st_atim, st.st_mtim};
            utimensat(AT_FDCWD, other.c_str(), times, AT_SYMLINK_NOFOLLOW);
        }
    }

    int compare(std::uint32_t min_seconds = TREE_MIN_SECONDS) {
        align_times();
        return compare_trees(&snapshot_, &target_, &stats_, err_, sizeof err_, min_seconds);
    }

    // Runs the comparison with standard error captured into logged_.
    int compare_logged() {
        ::testing::internal::CaptureStderr();
        int rc = compare();
        logged_ = ::testing::internal::GetCapturedStderr();
        return rc;
    }

    std::string diff_call(const std::string& mount) {
        return "diff -rq --no-dereference " + side("snap", mount) + " " + side("target", mount);
    }

    TestTempDir temp_;
    MountedImage snapshot_{};
    MountedImage target_{};
    std::unique_ptr<FakeToolDir> tools_;
    CompareStats stats_{};
    char err_[400];
    std::string logged_;
};

TEST_F(TreeCompareTest, IdenticalWholeTreesRunOneDiffOnTheWholeDirectories) {
    mount_whole();
    write_both("whole", "a.txt", "same\n");
    std::filesystem::create_directories(side("snap", "whole") + "/dir");
    std::filesystem::create_directories(side("target", "whole") + "/dir");
    write_both("whole", "dir/b.txt", "also the same\n");

    EXPECT_EQ(compare_logged(), 0);
    EXPECT_STREQ(err_, "");
    EXPECT_EQ(stats_.files_differ, 0);
    EXPECT_EQ(stats_.bytes_compared, 4096u);  // block fields are not this engine's
    EXPECT_EQ(stats_.first_mismatch_offset, NO_MISMATCH);
    EXPECT_EQ(tools_->calls(), std::vector<std::string>{diff_call("whole")});
    EXPECT_EQ(logged_, "");
}

TEST_F(TreeCompareTest, DifferingFileIsLoggedWithTheDiffOutput) {
    mount_whole();
    write_file(side("snap", "whole") + "/a.txt", "before\n");
    write_file(side("target", "whole") + "/a.txt", "after!\n");

    EXPECT_EQ(compare_logged(), 1);
    EXPECT_EQ(stats_.files_differ, 1);
    EXPECT_STREQ(err_, "");
    std::string expected = "qor_verifier: differences found (" + side("snap", "whole") + " vs " +
                           side("target", "whole") + "):\n    Files " + side("snap", "whole") +
                           "/a.txt and " + side("target", "whole") + "/a.txt differ\n";
    EXPECT_NE(logged_.find(" WARN  " + expected), std::string::npos) << logged_;
}

TEST_F(TreeCompareTest, FileOnOneSideOnlyIsADifference) {
    mount_whole();
    write_both("whole", "a.txt", "same\n");
    write_file(side("target", "whole") + "/extra", "x");

    EXPECT_EQ(compare_logged(), 1);
    EXPECT_EQ(stats_.files_differ, 1);
    EXPECT_NE(logged_.find("Only in " + side("target", "whole") + ": extra"), std::string::npos)
        << logged_;
}

TEST_F(TreeCompareTest, SymlinkWithOtherTargetTextDiffersWithoutFollowingIt) {
    mount_whole();
    // Both links lead to equal contents; only the link text differs.
    write_both("whole", "x", "content\n");
    write_both("whole", "y", "content\n");
    ASSERT_EQ(symlink("x", (side("snap", "whole") + "/link").c_str()), 0);
    ASSERT_EQ(symlink("y", (side("target", "whole") + "/link").c_str()), 0);

    EXPECT_EQ(compare_logged(), 1);
    EXPECT_NE(logged_.find("Symbolic links " + side("snap", "whole") + "/link and " +
                           side("target", "whole") + "/link differ"),
              std::string::npos)
        << logged_;
}

TEST_F(TreeCompareTest, EveryPartitionPairIsComparedAndEachDifferenceLogged) {
    mount_partitions(3);
    write_file(side("snap", "p0") + "/f", "one");
    write_file(side("target", "p0") + "/f", "two");
    write_both("p1", "f", "same");
    write_file(side("snap", "p2") + "/only-in-snapshot", "gone");

    EXPECT_EQ(compare_logged(), 1);
    EXPECT_EQ(stats_.files_differ, 1);
    EXPECT_EQ(tools_->calls(),
              (std::vector<std::string>{diff_call("p0"), diff_call("p1"), diff_call("p2")}));
    EXPECT_NE(logged_.find("differences found (" + side("snap", "p0") + " vs " +
                           side("target", "p0") + "):\n    Files "),
              std::string::npos)
        << logged_;
    EXPECT_NE(
        logged_.find("differences found (" + side("snap", "p2") + " vs " + side("target", "p2") +
                     "):\n    Only in " + side("snap", "p2") + ": only-in-snapshot"),
        std::string::npos)
        << logged_;
    EXPECT_EQ(logged_.find(side("snap", "p1")), std::string::npos) << logged_;
}

TEST_F(TreeCompareTest, FailedDiffStopsTheLoopAndKeepsEarlierDifference) {
    mount_partitions(3);
    write_file(side("snap", "p0") + "/f", "one");
    write_file(side("target", "p0") + "/f", "two");
    tools_->add_tool("diff",
                     "case \"$3\" in\n"
                     "  */p1) echo 'diff: cannot read a directory'; exit 2 ;;\n"
                     "esac\n"
                     "exec /usr/bin/diff \"$@\"");

    EXPECT_EQ(compare_logged(), -1);
    EXPECT_EQ(stats_.files_differ, 1);
    EXPECT_EQ(std::string(err_), "could not run diff between " + side("snap", "p1") + " and " +
                                     side("target", "p1") + ": diff: cannot read a directory");
    EXPECT_EQ(tools_->calls(), (std::vector<std::string>{diff_call("p0"), diff_call("p1")}));
}

// Each way diff can fail to give an answer, and the text the message quotes.
TEST_F(TreeCompareTest, DiffWithoutAnAnswerFailsTheComparison) {
    struct Case {
        const char* what;
        const char* body;
        std::string quoted;
    };
    const Case cases[] = {
        {"status 2, silent", "exit 2", "diff failed"},
        {"status 3 with text", "echo 'diff: boom'; exit 3", "diff: boom"},
        {"killed by a signal", "kill -9 $$", "diff failed"},
        {"long output is cut at 300 characters", "head -c 1000 /dev/zero | tr '\\0' x; exit 2",
         std::string(300, 'x')},
    };
    mount_whole();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        tools_->add_tool("diff", c.body);
        EXPECT_EQ(compare(), -1);
        EXPECT_EQ(stats_.files_differ, 0);
        EXPECT_EQ(std::string(err_), "could not run diff between " + side("snap", "whole") +
                                         " and " + side("target", "whole") + ": " + c.quoted);
    }
}

TEST_F(TreeCompareTest, LoggedDifferencesAreCutAt2000Characters) {
    mount_whole();
    tools_->add_tool("diff", "head -c 3000 /dev/zero | tr '\\0' x; exit 1");
    EXPECT_EQ(compare_logged(), 1);
    std::size_t start = logged_.find("):\n");
    ASSERT_NE(start, std::string::npos) << logged_;
    EXPECT_EQ(logged_.substr(start + 3), "    " + std::string(1996, 'x') + "\n");
}

// The logged block: after the WARN line, one line per difference, indented.
std::vector<std::string> logged_block(const std::string& logged) {
    std::vector<std::string> lines;
    std::size_t at = logged.find("):\n");
    if (at == std::string::npos) return lines;
    std::istringstream rest(logged.substr(at + 3));
    for (std::string line; std::getline(rest, line);) lines.push_back(line);
    return lines;
}

// FIFOs, sockets and device nodes have no contents: a pair of the same type
// (device nodes with the same numbers) is equal, whatever diff says of it.
// A pair of another type, or of other numbers, stays a difference, and so
// does every other difference diff reports in the same run.
TEST_F(TreeCompareTest, SpecialFilesOfTheSameKindAreEqualWithoutHidingDifferences) {
    mount_whole();
    const std::string snap = side("snap", "whole");
    const std::string target = side("target", "whole");
    for (const std::string& root : {snap, target}) {
        ASSERT_EQ(mkfifo((root + "/fifo").c_str(), 0600), 0);
        ASSERT_TRUE(test::make_socket(root + "/socket"));
        ASSERT_EQ(mkfifo((root + "/fifo is a fifo while file x is a fifo").c_str(), 0600), 0);
    }
    EXPECT_EQ(compare_logged(), 0);
    EXPECT_EQ(logged_, "");
    EXPECT_EQ(stats_.files_differ, 0);

    ASSERT_EQ(mkfifo((snap + "/was-fifo").c_str(), 0600), 0);
    write_file(target + "/was-fifo", "now a file");
    ASSERT_EQ(mkfifo((snap + "/f is a fifo").c_str(), 0600), 0);
    ASSERT_TRUE(test::make_socket(target + "/f is a fifo"));
    write_file(snap + "/text", "one");
    write_file(target + "/text", "two");
    // diff's own order: by name.
    std::vector<std::string> want{
        "    File " + snap + "/f is a fifo is a fifo while file " + target +
            "/f is a fifo is a socket",
        "    Files " + snap + "/text and " + target + "/text differ",
        "    File " + snap + "/was-fifo is a fifo while file " + target +
            "/was-fifo is a regular file",
    };
    if (test::running_as_root()) {
        for (const std::string& root : {snap, target}) {
            ASSERT_EQ(mknod((root + "/null").c_str(), S_IFCHR | 0600, makedev(1, 3)), 0);
            ASSERT_EQ(mknod((root + "/loop").c_str(), S_IFBLK | 0600, makedev(7, 200)), 0);
        }
        ASSERT_EQ(mknod((snap + "/tty").c_str(), S_IFCHR | 0600, makedev(5, 0)), 0);
        ASSERT_EQ(mknod((target + "/tty").c_str(), S_IFCHR | 0600, makedev(5, 1)), 0);
        want.insert(want.begin() + 2, "    File " + snap +
                                          "/tty is a character special file while file " + target +
                                          "/tty is a character special file");
    }
    EXPECT_EQ(compare_logged(), 1);
    EXPECT_EQ(stats_.files_differ, 1);
    EXPECT_EQ(logged_block(logged_), want) << logged_;
}

// Names from an image can hold line ends and forged log lines: each record
// is logged as one indented line with its line ends escaped, so no line of
// the log starts like one of the verifier's own.
TEST_F(TreeCompareTest, ForgedNamesStayInsideOneEscapedLine) {
    mount_whole();
    const std::string forged =
        "x\n2026-12-08T00:00:00Z [qor_verifier] INFO  verified identical: no differing files "
        "found\x1b[0m";
    const std::string snap = side("snap", "whole");
    const std::string target = side("target", "whole");
    for (const std::string& root : {snap, target}) {
        ASSERT_EQ(mkfifo((root + "/" + forged).c_str(), 0600), 0);  // equal: not a difference
    }
    write_file(snap + "/" + forged + ".txt", "one");
    write_file(target + "/" + forged + ".txt", "two");
    ASSERT_EQ(mkfifo((snap + "/only " + forged).c_str(), 0600), 0);
    const std::string shown =
        "x\\n2026-12-08T00:00:00Z [qor_verifier] INFO  verified identical: no differing files "
        "found\\x1b[0m";

    EXPECT_EQ(compare_logged(), 1);
    EXPECT_EQ(logged_block(logged_), (std::vector<std::string>{
                                         "    Only in " + snap + ": only " + shown,
                                         "    Files " + snap + "/" + shown + ".txt and " + target +
                                             "/" + shown + ".txt differ",
                                     }))
        << logged_;
}

// diff's whole output is judged: past what is read, it stays a difference.
TEST_F(TreeCompareTest, CutOutputStaysADifference) {
    mount_whole();
    for (const std::string& mount : {side("snap", "whole"), side("target", "whole")}) {
        ASSERT_EQ(mkfifo((mount + "/fifo").c_str(), 0600), 0);
    }
    // Equal FIFOs, named 3000 times over: 400 KiB, of which the last is unread.
    tools_->add_tool("diff",
                     "record=$(/usr/bin/diff \"$@\")\n"
                     "for i in $(seq 3000); do printf '%s\\n' \"$record\"; done; exit 1");
    EXPECT_EQ(compare_logged(), 1);
    std::vector<std::string> block = logged_block(logged_);
    ASSERT_EQ(block.size(), 2u) << logged_;
    EXPECT_EQ(block[0].rfind("    File " + side("snap", "whole") + "/fifo is a f", 0), 0u)
        << block[0];  // the record cut in two
    EXPECT_EQ(block[1], "    (diff's output was cut off here; the rest was not examined)");
}

// diff runs in the C locale, whose words are the ones taken apart; what it
// says when it fails reaches the sentence escaped, on one line.
TEST_F(TreeCompareTest, DiffRunsInTheCLocaleAndItsFailureIsEscaped) {
    mount_whole();
    tools_->add_tool("diff",
                     "printf 'diff: %s\\n2026-12-08T00:00:00Z [qor_verifier] INFO  ok\\033' "
                     "\"LC_ALL=$LC_ALL\"; exit 2");
    EXPECT_EQ(compare(), -1);
    EXPECT_EQ(std::string(err_), "could not run diff between " + side("snap", "whole") + " and " +
                                     side("target", "whole") +
                                     ": diff: LC_ALL=C\\n2026-12-08T00:00:00Z [qor_verifier] "
                                     "INFO  ok\\x1b");
}

TEST_F(TreeCompareTest, DiffNotInPathFailsTheComparison) {
    mount_whole();
    FakeToolDir no_tools;
    no_tools.set_path_only_here();
    EXPECT_EQ(compare(), -1);
    EXPECT_EQ(std::string(err_), "could not run diff between " + side("snap", "whole") + " and " +
                                     side("target", "whole") + ": diff failed");
}

// Mounts real file systems: labelled apart from the tests any user can run.
class TreeCompareAsRoot : public TreeCompareTest {};

// A run past its deadline is killed, and first the FUSE connections of the
// pair are aborted: a process waiting in a request its daemon has taken
// would not end on SIGKILL. Here ntfs-3g serves both sides; diff never ends,
// or it stops the target's daemon and the walk hangs on it.
TEST_F(TreeCompareAsRoot, RunPastItsDeadlineEndsAndAbortsTheFuseMounts) {
    if (!test::running_as_root()) GTEST_SKIP() << "needs root: mounts ntfs-3g";
    test::FsTestLock lock;
    // The control file system, as systemd mounts it at boot, for this test only.
    struct ControlMount {
        const std::string dir = "/sys/fs/fuse/connections";
        const bool made =
            test::mountinfo_line(dir).empty() && test::shell("mount -t fusectl fusectl " + dir);
        ~ControlMount() {
            if (made) test::shell("umount " + dir);
        }
    } control;
    ASSERT_NE(test::mountinfo_line(control.dir), "");
    std::filesystem::create_directories(temp_ / "tree/dir");
    write_file(temp_ / "tree/dir/f", "x");
    const std::string image = temp_ / "ntfs.img";
    ASSERT_TRUE(test::make_image({"ntfs", image, "16", temp_ / "tree"}));
    mount_whole();
    const std::string snap = side("snap", "whole");
    const std::string target = side("target", "whole");
    struct Case {
        const char* diff_body;  // %PID% is the target's ntfs-3g
        std::string sentence;
    };
    const Case cases[] = {
        {"exec sleep 600",
         "could not run diff between " + snap + " and " + target + ": diff failed"},
        {"kill -STOP %PID%; exit 0", "could not compare the metadata of " + snap + " and " +
                                         target + ": it did not end within 1 s"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.diff_body);
        for (const std::string& mp : {snap, target}) {
            ASSERT_TRUE(test::shell("mount -t ntfs-3g -o ro '" + image + "' '" + mp + "'"));
        }
        std::string pid = test::shell_output("pgrep -f -- ' " + target + "( |$)'");
        pid = pid.substr(0, pid.find('\n'));
        std::string body = c.diff_body;
        if (std::size_t at = body.find("%PID%"); at != std::string::npos) body.replace(at, 5, pid);
        tools_->add_tool("diff", body);
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(compare(1), -1);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
        EXPECT_EQ(std::string(err_), c.sentence);
        for (const std::string& mp : {snap, target}) {
            struct statvfs st {};  // always asks the daemon, unlike a cached stat
            EXPECT_EQ(statvfs(mp.c_str(), &st), -1);
            EXPECT_EQ(errno, ENOTCONN) << mp << " was not aborted";
        }
        test::shell("kill -CONT " + pid);
        for (const std::string& mp : {snap, target}) {
            EXPECT_TRUE(test::shell("umount '" + mp + "'"));
            EXPECT_EQ(test::mountinfo_line(mp), "");
        }
    }
}

TEST_F(TreeCompareTest, DifferentLayoutsFailWithoutRunningDiff) {
    struct Layout {
        int snap_whole, snap_parts, target_whole, target_parts;
    };
    const Layout layouts[] = {
        {0, 2, 1, 0},  // partitioned snapshot, whole target
        {1, 0, 0, 2},
        {0, 2, 0, 3},  // different number of partitions
        {1, 0, 0, 0},  // target with nothing mounted
    };
    for (const Layout& l : layouts) {
        SCOPED_TRACE(testing::Message()
                     << l.snap_whole << l.snap_parts << l.target_whole << l.target_parts);
        snapshot_.whole_mounted = l.snap_whole;
        snapshot_.partitions_mounted = l.snap_parts;
        target_.whole_mounted = l.target_whole;
        target_.partitions_mounted = l.target_parts;
        stats_.files_differ = 1;
        EXPECT_EQ(compare(), -1);
        EXPECT_STREQ(err_, LAYOUT_SENTENCE);
        EXPECT_EQ(stats_.files_differ, 0);
    }
    EXPECT_TRUE(tools_->calls().empty());
}

TEST_F(TreeCompareTest, NothingMountedOnEitherSideIsIdenticalWithoutDiff) {
    EXPECT_EQ(compare(), 0);
    EXPECT_STREQ(err_, "");
    EXPECT_EQ(stats_.files_differ, 0);
    EXPECT_TRUE(tools_->calls().empty());
}

TEST_F(TreeCompareTest, AbsentOrEmptyMessageBufferIsNotWritten) {
    mount_partitions(1);
    snapshot_.partitions_mounted = 2;
    EXPECT_EQ(compare_trees(&snapshot_, &target_, &stats_, nullptr, 0), -1);
    char small[8] = "keep";
    EXPECT_EQ(compare_trees(&snapshot_, &target_, &stats_, small, 0), -1);
    EXPECT_STREQ(small, "keep");
    EXPECT_EQ(compare_trees(&snapshot_, &target_, &stats_, small, sizeof small), -1);
    EXPECT_STREQ(small, "the sna");
}

}  // namespace
}  // namespace qor
