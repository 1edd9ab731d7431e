// The LVM operations against the test world's LVM stand-in, end to end: what
// the stand-in prints must be what the parser and the sentences expect, or
// every integration test built on it would test the wrong thing.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "lvm/lv_manage.h"
#include "lvm/lv_query.h"
#include "support/fake_tool_dir.h"

namespace qor {
namespace {

class LvAgainstFakeLvmAsRoot : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root to create /dev/<vg> entries";
        ASSERT_TRUE(state_.ok());
        setenv("QOR_FAKE_LVM_DIR", state_.path().c_str(), 1);
        path_ = std::make_unique<test::ScopedPath>(support_ + "/lvm:/usr/sbin:/usr/bin:/sbin:/bin");
        vg_ = "qorunit" + std::to_string(getpid());
        ASSERT_EQ(fake_lvm("vg-create " + vg_), 0);
    }

    void TearDown() override {
        if (!path_) return;
        fake_lvm("destroy");
        path_.reset();
        unsetenv("QOR_FAKE_LVM_DIR");
    }

    int fake_lvm(const std::string& args) {
        return std::system((support_ + "/fake-lvm " + args).c_str());
    }

    std::string support_ = test::support_dir();
    TestTempDir state_;
    std::unique_ptr<test::ScopedPath> path_;
    std::string vg_;
    LvInfo info_{};
    char err_[400] = "";
};

TEST_F(LvAgainstFakeLvmAsRoot, SnapshotRowAndTagsReadBack) {
    ASSERT_EQ(fake_lvm("lv-add " + vg_ +
                       " home_snap --size 8192 --attr swi-a-s--- --origin home --tags qor_agent"),
              0);
    ASSERT_EQ(fake_lvm("warn lvs '  WARNING: stand-in warning'"), 0);
    ASSERT_EQ(lv_lookup(vg_.c_str(), "home_snap", &info_, err_, sizeof err_), 0) << err_;
    EXPECT_EQ(std::string(info_.vg_name), vg_);
    EXPECT_STREQ(info_.lv_attr, "swi-a-s---");
    EXPECT_STREQ(info_.origin, "home");
    // As LVM reports a thick snapshot: the size of its COW space.
    EXPECT_EQ(info_.lv_size, 4194304u);
    EXPECT_EQ(info_.lv_kernel_major, 253);
    EXPECT_EQ(lv_is_active(info_.lv_attr), 1);
    EXPECT_EQ(lv_has_tag(vg_.c_str(), "home_snap", "qor_agent", err_, sizeof err_), 1);
    EXPECT_EQ(lv_has_tag(vg_.c_str(), "home_snap", "daily", err_, sizeof err_), 0);

    ASSERT_EQ(fake_lvm("lv-set " + vg_ + " home_snap attr swi-I-s---"), 0);
    ASSERT_EQ(lv_lookup(vg_.c_str(), "home_snap", &info_, err_, sizeof err_), 0);
    EXPECT_EQ(lv_snapshot_invalid(info_.lv_attr), 1);

    ASSERT_EQ(fake_lvm("lv-set " + vg_ + " home_snap attr Vwi---tz-k"), 0);
    ASSERT_EQ(lv_lookup(vg_.c_str(), "home_snap", &info_, err_, sizeof err_), 0);
    EXPECT_EQ(lv_is_active(info_.lv_attr), 0);
    EXPECT_EQ(info_.lv_kernel_major, -1);
    EXPECT_EQ(info_.lv_kernel_minor, -1);
}

TEST_F(LvAgainstFakeLvmAsRoot, CreateLookupRemoveRoundTrip) {
    const char* vg = vg_.c_str();
    EXPECT_EQ(lv_lookup(vg, "scratch", &info_, err_, sizeof err_), 1);
    EXPECT_STREQ(err_, "");
    EXPECT_EQ(lv_has_tag(vg, "scratch", "qor_agent", err_, sizeof err_), -1);
    EXPECT_STREQ(err_, "no such logical volume");

    ASSERT_EQ(lv_create(vg, "scratch", 5000, err_, sizeof err_), 0) << err_;
    ASSERT_EQ(lv_lookup(vg, "scratch", &info_, err_, sizeof err_), 0);
    EXPECT_EQ(info_.lv_size, 4194304u);  // rounded up to a whole extent
    EXPECT_TRUE(std::filesystem::exists("/dev/" + vg_ + "/scratch"));

    EXPECT_EQ(lv_create(vg, "scratch", 5000, err_, sizeof err_), -1);
    EXPECT_EQ(std::string(err_), "could not create LV " + vg_ + "/scratch:   Logical Volume " +
                                     "\"scratch\" already exists in volume group \"" + vg_ + "\"");

    ASSERT_EQ(lv_remove(vg, "scratch", err_, sizeof err_), 0) << err_;
    EXPECT_EQ(lv_lookup(vg, "scratch", &info_, err_, sizeof err_), 1);
    EXPECT_FALSE(std::filesystem::exists("/dev/" + vg_ + "/scratch"));
    EXPECT_EQ(lv_remove(vg, "scratch", err_, sizeof err_), -1);
    EXPECT_EQ(std::string(err_), "could not remove LV " + vg_ + "/scratch:   Failed to find " +
                                     "logical volume \"" + vg_ + "/scratch\"");
}

TEST_F(LvAgainstFakeLvmAsRoot, FailingLvcreateQuotesItsMessage) {
    ASSERT_EQ(fake_lvm("fail lvcreate 5 '  Insufficient free space: 2 extents needed'"), 0);
    EXPECT_EQ(lv_create(vg_.c_str(), "scratch", 4096, err_, sizeof err_), -1);
    EXPECT_EQ(std::string(err_), "could not create LV " + vg_ +
                                     "/scratch:   Insufficient free space: 2 extents needed");
}

}  // namespace
}  // namespace qor
