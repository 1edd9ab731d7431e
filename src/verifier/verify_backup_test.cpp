#include "verifier/verify_backup.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/fake_tool_dir.h"
#include "support/fs_fixture.h"
#include "support/image_writer.h"
#include "support/test_temp_dir.h"

namespace qor {
namespace {

using qor::test::FakeToolDir;

// A stand-in for the snapshot's device node: /dev/<vg>/home_snap as a plain
// file of the given size, in a volume group name of this process's own.
// Needs root, as /dev is root's.
class SnapshotNode {
  public:
    explicit SnapshotNode(std::uint64_t size) : vg_("qorunit" + std::to_string(::getpid())) {
        std::error_code ec;
        std::filesystem::create_directory("/dev/" + vg_, ec);
        std::ofstream(path()).close();
        std::filesystem::resize_file(path(), size, ec);
        ok_ = !ec && std::filesystem::file_size(path(), ec) == size;
    }
    ~SnapshotNode() {
        std::error_code ec;
        std::filesystem::remove(path(), ec);
        std::filesystem::remove("/dev/" + vg_, ec);
    }
    bool ok() const { return ok_; }
    const std::string& vg() const { return vg_; }
    std::string path() const { return "/dev/" + vg_ + "/home_snap"; }
    // An lvs that knows this snapshot, tagged qor_agent.
    std::string lvs() const {
        return "case \"$*\" in *lv_tags*) echo '  qor_agent';; *) echo '  " + vg_ +
               "|home_snap|swi-a-s---|4096|linear|home|253|7';; esac";
    }

  private:
    std::string vg_;
    bool ok_ = false;
};

#define REQUIRE_SNAPSHOT_NODE(node)                                             \
    do {                                                                        \
        if (::geteuid() != 0) GTEST_SKIP() << "needs root to make a /dev node"; \
        ASSERT_TRUE((node).ok());                                               \
    } while (0)

class VerifyBackupTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(tmp_.ok()); }

    // A valid header record recording ref, for a volume of source_size bytes.
    void write_meta(const std::string& ref, std::uint64_t source_size = 4096) {
        test::ImageFile file(meta_);
        test::MetaHeader h;
        h.source_size = source_size;
        h.snapshot_ref = ref;
        test::meta_put_header(file, h);
        ASSERT_TRUE(file.ok());
    }

    int run(std::string* msg, const char* target_file = nullptr) {
        VerifyOptions opts{};
        opts.meta_path = meta_.c_str();
        opts.search_dir = dir_.c_str();
        opts.target_file = target_file;
        char buf[512] = "junk";
        stats_.bytes_compared = 99;
        int r = verify_backup(&opts, &stats_, buf, sizeof buf);
        *msg = buf;
        return r;
    }

    TestTempDir tmp_;
    std::string dir_ = tmp_.path(), meta_ = tmp_ / "home.meta";
    CompareStats stats_{};
};

// The cases that make a snapshot node under /dev: root only.
class VerifyBackupAsRoot : public VerifyBackupTest {};

TEST_F(VerifyBackupTest, UnreadableHeaderNamesOnlyThePath) {
    std::string msg;
    EXPECT_EQ(run(&msg), 1);
    EXPECT_EQ(msg, "cannot read " + meta_);
    EXPECT_EQ(stats_.bytes_compared, 0u);
    EXPECT_EQ(stats_.first_mismatch_offset, NO_MISMATCH);
}

TEST_F(VerifyBackupTest, EmptyReferenceStopsBeforeAnyLvmCommand) {
    FakeToolDir bin;
    bin.add_tool("lvs", "exit 0");
    write_meta("");
    std::string msg;
    EXPECT_EQ(run(&msg), 1);
    EXPECT_EQ(msg,
              "this backup has no recorded snapshot (it was made without --keep-snapshot, or "
              "predates qor_verifier's snapshot tracking) -- nothing to verify against");
    EXPECT_FALSE(bin.ran("lvs"));
}

TEST_F(VerifyBackupTest, UnparseableReferenceIsQuotedCutTo80Characters) {
    FakeToolDir bin;
    bin.add_tool("lvs", "exit 0");
    std::string ref = "zfs:" + std::string(100, 'x');
    write_meta(ref);
    std::string msg;
    EXPECT_EQ(run(&msg), 1);
    EXPECT_EQ(msg,
              "the backup's recorded snapshot ('" + ref.substr(0, 80) +
                  "') is not in a format qor_verifier understands (only LVM is supported today)");
    EXPECT_FALSE(bin.ran("lvs"));
}

// Outside text reaches the verdict escaped, and a reference naming what LVM
// would never have created stops the run before any LVM command.
TEST_F(VerifyBackupTest, OutsideTextIsEscapedAndNamesLvmRefusesStopTheRun) {
    FakeToolDir bin;
    bin.add_tool("lvs", "exit 5");
    const struct {
        const char* ref;
        const char* shown;
    } refused[] = {
        // Cut at 80 bytes of the reference, then escaped.
        {"lvm:vg0/home=snap\n2026-12-08T00:00:00Z [qor_verifier] INFO  verified identical: "
         "4096 bytes compared",
         "lvm:vg0/home=snap\\n2026-12-08T00:00:00Z [qor_verifier] INFO  verified identical: "},
        {"lvm:vg0/home=sn\x1b[2Jap\xff", "lvm:vg0/home=sn\\x1b[2Jap\\xff"},
        {"lvm:vg0/home=s=n/ap", nullptr},  // "=" and "/" are no name characters
        {"lvm:vg 0/home=snap", nullptr},
        {"lvm:./home=snap", nullptr},
        {"lvm:vg0/..=snap", nullptr},
        {"lvm:vg0/home=snapshot0", nullptr},  // prefixes LVM keeps for itself
        {"lvm:vg0/pvmove0=snap", nullptr},
        {"lvm:vg0/home=pool_tmeta", nullptr},  // and the names of its sub-volumes
        {"lvm:vg0/home_mlog=snap", nullptr},
    };
    for (const auto& r : refused) {
        write_meta(r.ref);
        std::string msg;
        EXPECT_EQ(run(&msg), 1) << r.ref;
        EXPECT_EQ(msg, std::string("the backup's recorded snapshot ('") +
                           (r.shown != nullptr ? r.shown : r.ref) +
                           "') is not in a format qor_verifier understands (only LVM is "
                           "supported today)");
    }
    EXPECT_FALSE(bin.ran("lvs"));
    // What LVM does allow reaches lvs.
    write_meta("lvm:vg0/_home.1=+snap-2");
    std::string msg;
    EXPECT_EQ(run(&msg), 1);
    EXPECT_EQ(bin.recorded_args("lvs").back(), "vg0/+snap-2");

    const std::string odd = tmp_ / "a\nb\x1b.meta";
    VerifyOptions opts{};
    opts.meta_path = odd.c_str();
    opts.search_dir = dir_.c_str();
    char buf[512];
    EXPECT_EQ(verify_backup(&opts, &stats_, buf, sizeof buf), 1);
    EXPECT_EQ(std::string(buf), "cannot read " + dir_ + "/a\\nb\\x1b.meta");
}

TEST_F(VerifyBackupTest, SnapshotChecks) {
    write_meta("lvm:vg0/home=home_snap");
    const std::string row = "echo '  vg0|home_snap|";
    // Answers the row query with `attr` and the tag query with `tags`.
    auto lvs = [&](const std::string& attr, const std::string& tags) {
        return "case \"$*\" in *lv_tags*) echo '  " + tags + "';; *) " + row + attr +
               "|4096|linear|home|253|7';; esac";
    };
    struct Case {
        std::string lvs_body;
        bool have_lvs;
        std::string expected;
    } cases[] = {
        {"echo '  Failed to find logical volume \"vg0/home_snap\"' >&2; exit 5", true,
         "the kept snapshot vg0/home_snap recorded in this backup no longer exists"},
        {"", false,
         "the kept snapshot vg0/home_snap recorded in this backup no longer exists: the lvm tools "
         "(lvs) are not installed"},
        {lvs("swi-a-s---", "daily"), true,
         "vg0/home_snap exists but was not created by qor_agent -- refusing to use it"},
        {"case \"$*\" in *lv_tags*) exit 5;; *) " + row + "swi-a-s---|4096|linear|home||';; esac",
         true, "cannot check the snapshot's tags: no such logical volume"},
        {lvs("swi-a-s---", "xqor_agentx"), true,
         "vg0/home_snap exists but was not created by qor_agent -- refusing to use it"},
        {lvs("swi-I-s---", "qor_agent"), true,
         "the snapshot vg0/home_snap is invalid (its COW space overflowed) -- it is no longer a "
         "consistent point in time"},
        // A thin snapshot as created: inactive, with no device node to read.
        {lvs("Vwi---tz-k", "qor_agent"), true,
         "the kept snapshot vg0/home_snap is not active (it has no device node) -- activate it "
         "with 'lvchange -ay -K vg0/home_snap'"},
        {lvs("swi-a-s---", "qor_agent"), true,
         "cannot measure the snapshot vg0/home_snap: cannot open /dev/vg0/home_snap: No such "
         "file or directory"},
    };
    for (auto& c : cases) {
        FakeToolDir bin;
        if (c.have_lvs) bin.add_tool("lvs", c.lvs_body);
        bin.add_tool("lvcreate", "exit 0");
        std::string msg;
        EXPECT_EQ(run(&msg), 1) << c.expected;
        EXPECT_EQ(msg, c.expected);
        EXPECT_FALSE(bin.ran("lvcreate"));
    }
}

TEST_F(VerifyBackupAsRoot, FailedComparisonStillRemovesTheRestoredFile) {
    SnapshotNode node(4096);
    REQUIRE_SNAPSHOT_NODE(node);
    write_meta("lvm:" + node.vg() + "/home=home_snap");
    FakeToolDir bin;
    bin.add_tool("lvs", node.lvs());
    std::string target = dir_ + "/restored.img";
    bin.add_tool("qor_restore", "head -c 1000 /dev/zero > '" + target + "'");
    std::string msg;
    EXPECT_EQ(run(&msg, target.c_str()), 1);
    EXPECT_EQ(msg, "comparison failed: short read from " + target + " at offset 0");
    EXPECT_NE(::access(target.c_str(), F_OK), 0);
}

TEST_F(VerifyBackupAsRoot, FailedRestoreNamesTheTarget) {
    SnapshotNode node(4096);
    REQUIRE_SNAPSHOT_NODE(node);
    write_meta("lvm:" + node.vg() + "/home=home_snap");
    FakeToolDir bin;
    bin.add_tool("lvs", node.lvs());
    bin.add_tool("qor_restore", "exit 4");
    std::string target = dir_ + "/restored.img";
    std::string msg;
    EXPECT_EQ(run(&msg, target.c_str()), 1);
    EXPECT_EQ(msg, "restore into " + target + " failed: qor_restore exited with code 4");
}

// The restored file swapped for a link to the snapshot after it was claimed,
// here by the losetup that attaches it: only the claimed file is read, and
// the run fails saying that the restored file changed.
TEST_F(VerifyBackupTest, RestoredFileSwappedAfterTheClaimFailsTheRun) {
    SnapshotNode node(0);
    REQUIRE_SNAPSHOT_NODE(node);
    test::FsTestLock lock;
    const std::string tree = tmp_ / "tree", fs = tmp_ / "fs.img";
    std::filesystem::create_directories(tree);
    test::write_file(tree + "/name", "snapshot\n");
    ASSERT_TRUE(test::make_image({"ext4", fs, "8", tree}));
    ASSERT_TRUE(test::shell("cp '" + fs + "' '" + node.path() + "'"));
    write_meta("lvm:" + node.vg() + "/home=home_snap", std::filesystem::file_size(fs));
    const std::string target = dir_ + "/restored.img", roots = test::verifier_roots();
    FakeToolDir bin;
    bin.set_path_before_inherited();
    bin.add_tool("lvs", node.lvs());
    bin.add_tool("qor_restore", "cp '" + fs + "' '" + target + "'");
    bin.add_tool("udevadm", "exit 0");
    bin.add_tool("losetup", "case \"$*\" in *' /proc/'*) mv '" + target + "' '" + target +
                                ".orig'; ln -s '" + node.path() + "' '" + target +
                                "';; esac\nexec /usr/sbin/losetup \"$@\"");
    VerifyOptions opts{};
    opts.meta_path = meta_.c_str();
    opts.target_file = target.c_str();
    opts.mode = MODE_FS;
    char msg[512];
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(verify_backup(&opts, &stats_, msg, sizeof msg), 1);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::string(msg), "comparison failed: the restored file " + target +
                                    " changed after the restore (its path names another file now)");
    EXPECT_TRUE(bin.ran("losetup"));
    EXPECT_EQ(test::leftovers_since(roots, tmp_.path()), "");
}

// The snapshot's device, not the header, says how much there is to compare:
// a header that records less would let a truncated backup pass.
TEST_F(VerifyBackupAsRoot, SnapshotSizeMustMatchTheHeader) {
    SnapshotNode node(8192);
    REQUIRE_SNAPSHOT_NODE(node);
    write_meta("lvm:" + node.vg() + "/home=home_snap", 4096);
    FakeToolDir bin;
    bin.add_tool("lvs", node.lvs());
    bin.add_tool("lvcreate", "exit 0");
    bin.add_tool("qor_restore", "exit 0");
    std::string msg;
    EXPECT_EQ(run(&msg), 1);
    EXPECT_EQ(msg, "the snapshot " + node.vg() +
                       "/home_snap holds 8192 bytes but the backup records a volume of 4096 bytes "
                       "-- it was not made from this snapshot");
    EXPECT_FALSE(bin.ran("lvcreate"));
    EXPECT_FALSE(bin.ran("qor_restore"));
}

}  // namespace
}  // namespace qor
