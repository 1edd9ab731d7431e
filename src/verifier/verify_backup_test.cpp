#include "verifier/verify_backup.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/fake_tool_dir.h"
#include "support/image_writer.h"
#include "support/test_temp_dir.h"

namespace qor {
namespace {

using qor::test::FakeToolDir;

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
        {lvs("swi-I-s---", "qor_agent"), true,
         "the snapshot vg0/home_snap is invalid (its COW space overflowed) -- it is no longer a "
         "consistent point in time"},
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

TEST_F(VerifyBackupTest, FailedComparisonStillRemovesTheRestoredFile) {
    write_meta("lvm:qornosuchvg/home=home_snap");
    FakeToolDir bin;
    bin.add_tool("lvs",
                 "case \"$*\" in *lv_tags*) echo '  qor_agent_old,daily';; *) echo '  "
                 "qornosuchvg|home_snap|swi-a-s---|4096|linear|home|253|7';; esac");
    std::string target = dir_ + "/restored.img";
    bin.add_tool("qor_restore", "head -c 4096 /dev/zero > '" + target + "'");
    std::string msg;
    EXPECT_EQ(run(&msg, target.c_str()), 1);
    EXPECT_EQ(
        msg,
        "comparison failed: cannot open /dev/qornosuchvg/home_snap: No such file or directory");
    EXPECT_NE(::access(target.c_str(), F_OK), 0);
}

TEST_F(VerifyBackupTest, FailedRestoreNamesTheTarget) {
    write_meta("lvm:vg0/home=home_snap");
    FakeToolDir bin;
    bin.add_tool("lvs",
                 "case \"$*\" in *lv_tags*) echo '  qor_agent';; *) echo '  "
                 "vg0|home_snap|swi-a-s---|4096|linear|home|253|7';; esac");
    bin.add_tool("qor_restore", "exit 4");
    std::string target = dir_ + "/restored.img";
    std::string msg;
    EXPECT_EQ(run(&msg, target.c_str()), 1);
    EXPECT_EQ(msg, "restore into " + target + " failed: qor_restore exited with code 4");
}

}  // namespace
}  // namespace qor
