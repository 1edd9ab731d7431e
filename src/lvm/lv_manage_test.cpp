#include "lvm/lv_manage.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "support/fake_tool_dir.h"

namespace qor {
namespace {

using test::FakeToolDir;

TEST(LvNameValid, AcceptsAndRefusesNames) {
    struct Case {
        std::string name;
        int expected;
    } cases[] = {
        {"vg0", 1},
        {"data-2.snap_x+y", 1},
        {"9lives", 1},
        {std::string(126, 'a'), 1},  // longest accepted
        {std::string(127, 'a'), 0},
        {"-data", 0},
        {"_data", 0},
        {".data", 0},
        {"+data", 0},
        {"my data", 0},
        {"vg0/lv", 0},
        {"", 0},
        {"caf\xc3\xa9", 0},  // non-ASCII letters are not letters to LVM
    };
    for (const Case& c : cases) EXPECT_EQ(lv_name_valid(c.name.c_str()), c.expected) << c.name;
    EXPECT_EQ(lv_name_valid(nullptr), 0);
}

class LvManageWithFakeTools : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(tools_.ok()); }

    static std::vector<std::string> create_args(const std::string& size) {
        return {"-y", "-n", "scratch", "-L", size, "vg0"};
    }

    FakeToolDir tools_;
    char err_[512] = "stale text";
};

TEST_F(LvManageWithFakeTools, CreateRoundsSizeUpToWholeKib) {
    tools_.add_tool("lvcreate", "exit 0");
    struct Case {
        std::uint64_t bytes;
        const char* size;
    } cases[] = {
        {0, "1K"},
        {1, "1K"},
        {1024, "1K"},
        {1025, "2K"},
        {10737418240ULL, "10485760K"},
        {UINT64_MAX, "18014398509481984K"},  // must not wrap to a tiny volume
    };
    for (const Case& c : cases) {
        ASSERT_EQ(lv_create("vg0", "scratch", c.bytes, err_, sizeof err_), 0) << c.bytes;
        EXPECT_EQ(tools_.recorded_args("lvcreate"), create_args(c.size)) << c.bytes;
        EXPECT_STREQ(err_, "");
    }
}

TEST_F(LvManageWithFakeTools, InvalidNamesRunNoCommand) {
    tools_.add_tool("lvcreate", "exit 0");
    tools_.add_tool("lvremove", "exit 0");
    EXPECT_EQ(lv_create("vg0", "-scratch", 4096, err_, sizeof err_), -1);
    EXPECT_STREQ(err_, "invalid volume group or logical volume name");
    EXPECT_EQ(lv_create("vg 0", "scratch", 4096, err_, sizeof err_), -1);
    EXPECT_STREQ(err_, "invalid volume group or logical volume name");
    EXPECT_EQ(lv_remove("vg0", "a/b", err_, sizeof err_), -1);
    EXPECT_STREQ(err_, "invalid volume group or logical volume name");
    EXPECT_FALSE(tools_.ran("lvcreate"));
    EXPECT_FALSE(tools_.ran("lvremove"));
}

// Every line is quoted, inside the one line of the sentence: line ends and
// control bytes of the tool's output become visible escapes.
TEST_F(LvManageWithFakeTools, CreateAndRemoveFailuresQuoteAllOutputLinesEscaped) {
    tools_.add_tool("lvcreate",
                    "echo '  Volume group \"vg0\" has insufficient free space.' >&2\n"
                    "printf '  Run `vgdisplay` \\033[1mto check.\\n\\n'\n"
                    "exit 5");
    EXPECT_EQ(lv_create("vg0", "scratch", 4096, err_, sizeof err_), -1);
    EXPECT_STREQ(err_,
                 "could not create LV vg0/scratch:   Volume group \"vg0\" has insufficient free "
                 "space.\\n  Run `vgdisplay` \\x1b[1mto check.");
    tools_.add_tool("lvremove",
                    "printf 'busy\\n2026-01-01T00:00:00Z [qor_verifier] INFO  x\\n'; exit 5");
    EXPECT_EQ(lv_remove("vg0", "scratch", err_, sizeof err_), -1);
    EXPECT_STREQ(
        err_,
        "could not remove LV vg0/scratch: busy\\n2026-01-01T00:00:00Z [qor_verifier] INFO  x");
}

TEST_F(LvManageWithFakeTools, CreateQuotesAtMost400Characters) {
    tools_.add_tool("lvcreate", "head -c 900 /dev/zero | tr '\\0' 'x'; exit 1");
    EXPECT_EQ(lv_create("vg0", "scratch", 4096, err_, sizeof err_), -1);
    EXPECT_EQ(std::string(err_), "could not create LV vg0/scratch: " + std::string(400, 'x'));

    char small[300];
    EXPECT_EQ(lv_create("vg0", "scratch", 4096, small, sizeof small), -1);
    EXPECT_EQ(std::strlen(small), sizeof small - 1);
}

TEST_F(LvManageWithFakeTools, MissingToolsGiveGenericSentences) {
    tools_.set_path_only_here();
    EXPECT_EQ(lv_create("vg0", "scratch", 4096, err_, sizeof err_), -1);
    EXPECT_STREQ(err_, "could not create LV vg0/scratch: lvcreate failed");
    EXPECT_EQ(lv_remove("vg0", "scratch", err_, sizeof err_), -1);
    EXPECT_STREQ(err_, "could not remove LV vg0/scratch: lvremove failed");
}

TEST_F(LvManageWithFakeTools, SilentFailureGivesGenericSentence) {
    tools_.add_tool("lvcreate", "exit 3");
    EXPECT_EQ(lv_create("vg0", "scratch", 4096, err_, sizeof err_), -1);
    EXPECT_STREQ(err_, "could not create LV vg0/scratch: lvcreate failed");
}

TEST_F(LvManageWithFakeTools, RemoveRunsForcedAndNamesVolumeOnFailure) {
    tools_.add_tool("lvremove", "exit 0");
    EXPECT_EQ(lv_remove("vg0", "scratch", err_, sizeof err_), 0);
    EXPECT_STREQ(err_, "");
    const std::vector<std::string> expected = {"-f", "-y", "vg0/scratch"};
    EXPECT_EQ(tools_.recorded_args("lvremove"), expected);

    tools_.add_tool(
        "lvremove",
        "echo '  Logical volume vg0/scratch contains a filesystem in use.' >&2; exit 5");
    EXPECT_EQ(lv_remove("vg0", "scratch", err_, sizeof err_), -1);
    EXPECT_STREQ(err_,
                 "could not remove LV vg0/scratch:   Logical volume vg0/scratch contains a "
                 "filesystem in use.");
}

TEST_F(LvManageWithFakeTools, RemoveQuotesAtMost255CollectedBytes) {
    tools_.add_tool("lvremove", "head -c 600 /dev/zero | tr '\\0' 'y'; exit 5");
    EXPECT_EQ(lv_remove("vg0", "scratch", err_, sizeof err_), -1);
    EXPECT_EQ(std::string(err_), "could not remove LV vg0/scratch: " + std::string(255, 'y'));
}

}  // namespace
}  // namespace qor
