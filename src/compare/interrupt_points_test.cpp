#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "common/interrupt.h"
#include "compare/block_compare.h"
#include "compare/tree_compare.h"
#include "support/test_temp_dir.h"

namespace qor {
namespace {

// A signal that already arrived stops the comparisons at their first check.
class InterruptPoints : public ::testing::Test {
  protected:
    void SetUp() override {
        interrupt_clear();
        interrupt_install();
        ASSERT_TRUE(tmp_.ok());
        std::ofstream(file_) << std::string(8192, 'x');
    }
    void TearDown() override {
        for (int s : {SIGINT, SIGTERM, SIGHUP}) signal(s, SIG_DFL);
        interrupt_clear();
    }
    TestTempDir tmp_;
    std::string dir_ = tmp_.path(), file_ = tmp_ / "data";
};

TEST_F(InterruptPoints, BlockComparisonStopsBetweenChunks) {
    raise(SIGTERM);
    CompareStats stats;
    char err[400];
    EXPECT_EQ(compare_blocks(file_.c_str(), file_.c_str(), 4096, 8192, &stats, err, sizeof err),
              -1);
    EXPECT_STREQ(err, "interrupted");
    EXPECT_EQ(stats.bytes_compared, 0u);
}

TEST_F(InterruptPoints, BlockComparisonRunsWhileShielded) {
    raise(SIGHUP);
    InterruptShield shield;
    CompareStats stats;
    char err[400];
    EXPECT_EQ(compare_blocks(file_.c_str(), file_.c_str(), 4096, 8192, &stats, err, sizeof err), 0);
    EXPECT_EQ(stats.bytes_compared, 8192u);
}

TEST_F(InterruptPoints, TreeComparisonStopsBeforeTheNextDiff) {
    MountedImage a{}, b{};
    std::snprintf(a.root_dir, sizeof a.root_dir, "%s", dir_.c_str());
    std::snprintf(b.root_dir, sizeof b.root_dir, "%s", dir_.c_str());
    a.whole_mounted = b.whole_mounted = 1;
    raise(SIGINT);
    CompareStats stats{};
    char err[400];
    EXPECT_EQ(compare_trees(&a, &b, &stats, err, sizeof err), -1);
    EXPECT_STREQ(err, "interrupted");
}

}  // namespace
}  // namespace qor
