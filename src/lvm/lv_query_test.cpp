#include "lvm/lv_query.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/fake_tool_dir.h"

namespace qor {
namespace {

using test::FakeToolDir;

constexpr const char* EXAMPLE_ROW = "  vg0|home_snap|swi-a-s---|10737418240|linear|home|253|7";

const std::vector<std::string> LOOKUP_ARGS = {
    "--noheadings",
    "--separator",
    "|",
    "--units",
    "b",
    "--nosuffix",
    "-o",
    "vg_name,lv_name,lv_attr,lv_size,segtype,origin,lv_kernel_major,lv_kernel_minor",
    "vg0/home_snap"};
const std::vector<std::string> TAG_ARGS = {"--noheadings", "-o", "lv_tags", "vg0/home_snap"};

LvInfo filled_info() {
    LvInfo info;
    std::memset(&info, 'x', sizeof info);
    return info;
}

TEST(LvParseRow, ParsesExampleRow) {
    LvInfo info = filled_info();
    ASSERT_EQ(lv_parse_row(EXAMPLE_ROW, &info), 0);
    EXPECT_STREQ(info.vg_name, "vg0");
    EXPECT_STREQ(info.lv_name, "home_snap");
    EXPECT_STREQ(info.lv_attr, "swi-a-s---");
    EXPECT_EQ(info.lv_size, 10737418240ULL);
    EXPECT_STREQ(info.segtype, "linear");
    EXPECT_STREQ(info.origin, "home");
    EXPECT_EQ(info.lv_kernel_major, 253);
    EXPECT_EQ(info.lv_kernel_minor, 7);
}

TEST(LvParseRow, EmptyColumnsGiveEmptyTextAndMinusOneDeviceNumbers) {
    LvInfo info = filled_info();
    ASSERT_EQ(lv_parse_row("  vg0|data|-wi-a-----|4096|linear||  | \t\r\n", &info), 0);
    EXPECT_STREQ(info.origin, "");
    EXPECT_EQ(info.lv_kernel_major, -1);
    EXPECT_EQ(info.lv_kernel_minor, -1);
}

TEST(LvParseRow, NinthColumnIsIgnored) {
    LvInfo info;
    ASSERT_EQ(lv_parse_row("vg0|home_snap|swi-a-s---|512|linear|home|253|7|extra|more", &info), 0);
    EXPECT_EQ(info.lv_kernel_minor, 7);
    EXPECT_EQ(info.lv_size, 512u);
}

TEST(LvParseRow, RejectsMalformedRows) {
    const char* rows[] = {
        "vg0|home_snap|swi-a-s---|10737418240|linear|home|253",  // six separators
        "vg0|home_snap|swi-a-s---|abc|linear|home|253|7",        // size holds no digits
        "vg0|home_snap|swi-a-s---|+|linear|home|253|7",          // a sign alone
        "vg0|home_snap|swi-a-s---||linear|home|253|7",           // size empty
        "vg0|home_snap|   |10737418240|linear|home|253|7",       // blank attr
        " |home_snap|swi-a-s---|1|linear|home|253|7",            // blank vg
        "vg0||swi-a-s---|1|linear|home|253|7",                   // empty lv
        "  WARNING: something odd happened",                     // a warning line
        "",
    };
    for (const char* row : rows) {
        LvInfo info;
        EXPECT_EQ(lv_parse_row(row, &info), -1) << row;
    }
    LvInfo info;
    EXPECT_EQ(lv_parse_row(nullptr, &info), -1);
}

TEST(LvParseRow, RejectedNameColumnLeavesRecordUntouched) {
    LvInfo info = filled_info();
    LvInfo before = info;
    ASSERT_EQ(lv_parse_row("vg0|home_snap| |1|linear|home|253|7", &info), -1);
    EXPECT_EQ(std::memcmp(&info, &before, sizeof info), 0);
}

TEST(LvParseRow, RowLengthLimitIs1023Characters) {
    std::string row = "vg0|home_snap|swi-a-s---|1|linear|home|253|7";
    row.append(1023 - row.size(), ' ');
    LvInfo info;
    EXPECT_EQ(lv_parse_row(row.c_str(), &info), 0);
    row.push_back(' ');
    EXPECT_EQ(lv_parse_row(row.c_str(), &info), -1);
}

TEST(LvParseRow, NumbersFollowStrtoulSemantics) {
    LvInfo info;
    ASSERT_EQ(lv_parse_row("vg0|lv|-wi-a-----|  42bytes|linear||-1|abc", &info), 0);
    EXPECT_EQ(info.lv_size, 42u);
    EXPECT_EQ(info.lv_kernel_major, -1);
    EXPECT_EQ(info.lv_kernel_minor, 0);  // text without digits reads as 0, not as empty
}

TEST(LvParseRow, CutsLongTextsToTheirFields) {
    std::string vg(200, 'v');
    std::string attr(40, 'a');
    std::string seg(50, 's');
    std::string row = vg + "|lv|" + attr + "|1|" + seg + "|" + std::string(300, 'o') + "||";
    LvInfo info;
    ASSERT_EQ(lv_parse_row(row.c_str(), &info), 0);
    EXPECT_EQ(std::string(info.vg_name), vg.substr(0, 127));
    EXPECT_EQ(std::string(info.lv_attr), attr.substr(0, 15));
    EXPECT_EQ(std::string(info.segtype), seg.substr(0, 31));
    EXPECT_EQ(std::strlen(info.origin), 127u);
}

TEST(LvSnapshotInvalid, OnlyUpperCaseIAndSInFifthPlaceCount) {
    struct Case {
        const char* attr;
        int expected;
    } cases[] = {
        {"swi-I-s---", 1}, {"swi-S-s---", 1}, {"swi-a-s---", 0},
        {"swi-s-s---", 0}, {"swi-i-s---", 0}, {"swiI", 0},
        {"swi-I", 1},      {"", 0},           {nullptr, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(lv_snapshot_invalid(c.attr), c.expected) << (c.attr ? c.attr : "(null)");
    }
}

class LvQueryWithFakeLvs : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(tools_.ok()); }
    FakeToolDir tools_;
    LvInfo info_ = filled_info();
    char err_[400] = "stale text";
};

TEST_F(LvQueryWithFakeLvs, LookupSkipsWarningLineAndParsesRow) {
    tools_.add_tool("lvs",
                    "echo '  WARNING: Not using device /dev/sdz for PV x.' >&2\n"
                    "echo '  vg0|home_snap|swi-a-s---|10737418240|linear|home|253|7'");
    ASSERT_EQ(lv_lookup("vg0", "home_snap", &info_, err_, sizeof err_), 0);
    EXPECT_EQ(tools_.recorded_args("lvs"), LOOKUP_ARGS);
    EXPECT_STREQ(info_.lv_name, "home_snap");
    EXPECT_EQ(info_.lv_size, 10737418240ULL);
    EXPECT_STREQ(err_, "");
}

// A row of another volume is no answer about this one; warnings on standard
// error are never read as rows.
TEST_F(LvQueryWithFakeLvs, LookupTakesOnlyTheRowOfTheVolumeAskedFor) {
    tools_.add_tool("lvs", "printf '\\n\\n  other|name|-wi-a-----|1|linear|||\\n'");
    EXPECT_EQ(lv_lookup("vg0", "home_snap", &info_, err_, sizeof err_), 1);
    EXPECT_STREQ(err_, "vg0/home_snap not found");
    tools_.add_tool("lvs",
                    "echo '  vg0|home_snap|swi-a-s---|1|linear|home|253|1' >&2;"
                    "echo '  vg0|home_snap|swi-a-s---|4096|linear|home|253|7'");
    ASSERT_EQ(lv_lookup("vg0", "home_snap", &info_, err_, sizeof err_), 0);
    EXPECT_EQ(info_.lv_size, 4096u);
}

TEST_F(LvQueryWithFakeLvs, LookupNonZeroExitIsAbsentWithoutMessage) {
    tools_.add_tool("lvs", "echo '  Failed to find logical volume \"vg0/home_snap\"' >&2; exit 5");
    EXPECT_EQ(lv_lookup("vg0", "home_snap", &info_, err_, sizeof err_), 1);
    EXPECT_STREQ(err_, "");
}

TEST_F(LvQueryWithFakeLvs, LookupWithoutParsableRowNamesTheVolume) {
    tools_.add_tool("lvs", "echo '  WARNING: nothing useful'");
    EXPECT_EQ(lv_lookup("vg0", "home_snap", &info_, err_, sizeof err_), 1);
    EXPECT_STREQ(err_, "vg0/home_snap not found");
}

TEST_F(LvQueryWithFakeLvs, MissingLvsIsReportedByBothQueries) {
    tools_.set_path_only_here();
    EXPECT_EQ(lv_lookup("vg0", "home_snap", &info_, err_, sizeof err_), -1);
    EXPECT_STREQ(err_, "the lvm tools (lvs) are not installed");
    std::strcpy(err_, "stale text");
    EXPECT_EQ(lv_has_tag("vg0", "home_snap", "qor_agent", err_, sizeof err_), -1);
    EXPECT_STREQ(err_, "the lvm tools (lvs) are not installed");
}

TEST_F(LvQueryWithFakeLvs, EmptyNamesRunNothing) {
    tools_.add_tool("lvs", "exit 0");
    EXPECT_EQ(lv_lookup("", "home_snap", &info_, err_, sizeof err_), 1);
    EXPECT_EQ(lv_lookup("vg0", nullptr, &info_, err_, sizeof err_), 1);
    EXPECT_STREQ(err_, "");
    EXPECT_EQ(lv_has_tag("vg0", "", "qor_agent", err_, sizeof err_), -1);
    EXPECT_EQ(lv_has_tag("vg0", "home_snap", nullptr, err_, sizeof err_), -1);
    EXPECT_STREQ(err_, "");
    EXPECT_FALSE(tools_.ran("lvs"));
}

// The tag must be one whole entry of the list on standard output: a tag that
// merely contains it, or the text in a warning, is not it.
TEST_F(LvQueryWithFakeLvs, TagIsOneWholeEntryOfTheList) {
    const struct {
        const char* lvs_body;
        int expected;
    } rows[] = {
        {"echo '  qor_agent'", 1},
        {"echo '  other,qor_agent'", 1},
        {"echo '  qor_agent,daily '", 1},
        {"echo '  qor_agent_old,daily'", 0},
        {"echo '  xqor_agentx'", 0},
        {"echo '  '", 0},
        {"echo 'WARNING: qor_agent' >&2; echo '  daily'", 0},
    };
    for (const auto& r : rows) {
        tools_.add_tool("lvs", r.lvs_body);
        EXPECT_EQ(lv_has_tag("vg0", "home_snap", "qor_agent", err_, sizeof err_), r.expected)
            << r.lvs_body;
        EXPECT_STREQ(err_, "");
    }
    EXPECT_EQ(tools_.recorded_args("lvs"), TAG_ARGS);
    EXPECT_EQ(lv_has_tag("vg0", "home_snap", "", err_, sizeof err_), 0);
}

TEST(LvAttr, ActiveAndSnapshotIdentity) {
    EXPECT_EQ(lv_is_active("swi-a-s---"), 1);
    EXPECT_EQ(lv_is_active("Vwi---tz-k"), 0);
    EXPECT_EQ(lv_is_active("swi-I-s---"), 1);  // invalid, but it has its device
    EXPECT_EQ(lv_is_active("swi-s-s---"), 1);  // suspended
    EXPECT_EQ(lv_is_active("-wi-h-----"), 0);  // historical
    EXPECT_EQ(lv_is_active("swi"), 0);
    LvInfo info{};
    std::strcpy(info.origin, "home");
    const struct {
        const char* attr;
        const char* origin;
        int expected;
    } rows[] = {
        {"swi-a-s---", "home", 1},   // thick snapshot of home
        {"Vwi-a-tz-k", "home", 1},   // thin snapshot of home
        {"swi-a-s---", "other", 0},  // a snapshot, but of another volume
        {"-wi-ao----", "home", 0},   // a plain volume with a recorded origin name
        {"Swi-a-s---", "home", 0},   // a snapshot being merged into its origin
    };
    for (const auto& r : rows) {
        std::strcpy(info.lv_attr, r.attr);
        EXPECT_EQ(lv_is_snapshot_of(&info, r.origin), r.expected) << r.attr << " " << r.origin;
    }
    std::strcpy(info.lv_attr, "-wi-ao----");
    info.origin[0] = '\0';
    EXPECT_EQ(lv_is_snapshot_of(&info, ""), 0);
}

TEST_F(LvQueryWithFakeLvs, TagQueryOfMissingVolumeSaysSo) {
    tools_.add_tool("lvs", "echo '  Failed to find logical volume \"vg0/home_snap\"' >&2; exit 5");
    EXPECT_EQ(lv_has_tag("vg0", "home_snap", "qor_agent", err_, sizeof err_), -1);
    EXPECT_STREQ(err_, "no such logical volume");
}

}  // namespace
}  // namespace qor
