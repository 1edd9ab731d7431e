#include "common/options.h"

#include <gtest/gtest.h>

#include "support/test_argv.h"

namespace qor {
namespace {

struct ValueCase {
    const char* what;
    TestArgv args;
    const char* long_name;
    const char* short_name;
    const char* expected;  // null: the default "DFLT"
};

TEST(ArgValue, FindsValuesByTheScanningRules) {
    ValueCase cases[] = {
        {"separate word", {"--mode", "fs"}, "--mode", "-m", "fs"},
        {"after =", {"--mode=fs"}, "--mode", nullptr, "fs"},
        {"empty after =", {"--mode="}, "--mode", nullptr, ""},
        {"short name", {"-m", "fs"}, "--mode", "-m", "fs"},
        {"short name with = is no occurrence", {"-m=fs"}, "--mode", "-m", nullptr},
        {"short name glued is no occurrence", {"-mfs"}, "--mode", "-m", nullptr},
        {"longer word is no occurrence", {"--log-path", "/x"}, "--log", nullptr, nullptr},
        {"value may look like an option", {"--mode", "-x"}, "--mode", nullptr, "-x"},
        {"value may be --", {"--mode", "--"}, "--mode", nullptr, "--"},
        {"last word gives the default", {"--mode"}, "--mode", nullptr, nullptr},
        {"last word ends the search", {"--mode=a", "--mode"}, "--mode", nullptr, "a"},
        {"first occurrence wins", {"--mode", "a", "--mode", "b"}, "--mode", nullptr, "a"},
        {"next word taken whatever it is", {"--mode", "--mode=b"}, "--mode", nullptr, "--mode=b"},
        {"searched after --", {"--", "--mode", "b"}, "--mode", nullptr, "b"},
        {"both names null", {"--mode", "b"}, nullptr, nullptr, nullptr},
        {"program path is not examined", {}, "prog", nullptr, nullptr},
    };
    for (auto& c : cases) {
        const char* got =
            arg_value(c.args.argc(), c.args.argv(), c.long_name, c.short_name, "DFLT");
        EXPECT_STREQ(got, c.expected != nullptr ? c.expected : "DFLT") << c.what;
    }
}

TEST(ArgFlag, MatchesWholeWordsOnly) {
    TestArgv args{"--keep-restored=1", "x", "-h", "--", "--no-log"};
    EXPECT_EQ(arg_flag(args.argc(), args.argv(), "--keep-restored", nullptr), 0);
    EXPECT_EQ(arg_flag(args.argc(), args.argv(), "--help", "-h"), 1);
    EXPECT_EQ(arg_flag(args.argc(), args.argv(), "--no-log", nullptr), 1);
    EXPECT_EQ(arg_flag(args.argc(), args.argv(), "--no", nullptr), 0);
    EXPECT_EQ(arg_flag(args.argc(), args.argv(), nullptr, nullptr), 0);
    TestArgv none{};
    EXPECT_EQ(arg_flag(none.argc(), none.argv(), "prog", nullptr), 0);
}

const OptionSpec TABLE[] = {
    {"--keep", "-k", 0},
    {"--keep", "-q", 1},
    {"--mode", "-m", 1},
    {nullptr, nullptr, 0},
};

TEST(OptionMatch, ReturnsEntryAndInlineValue) {
    const char* inline_value = "unset";
    EXPECT_EQ(option_match(TABLE, "--mode", &inline_value), &TABLE[2]);
    EXPECT_EQ(inline_value, nullptr);
    EXPECT_EQ(option_match(TABLE, "--mode=fs", &inline_value), &TABLE[2]);
    EXPECT_STREQ(inline_value, "fs");
    EXPECT_EQ(option_match(TABLE, "-m", &inline_value), &TABLE[2]);
    EXPECT_EQ(inline_value, nullptr);
    EXPECT_EQ(option_match(TABLE, "--modes", &inline_value), nullptr);
    EXPECT_EQ(option_match(TABLE, "-m=fs", &inline_value), nullptr);
    EXPECT_EQ(option_match(nullptr, "--mode", &inline_value), nullptr);
}

TEST(OptionMatch, FlagWithInlineValueMovesOnToTheNextEntry) {
    const char* inline_value = nullptr;
    // "--keep=1" skips the flag entry and lands on the value-taking one.
    EXPECT_EQ(option_match(TABLE, "--keep=1", &inline_value), &TABLE[1]);
    EXPECT_STREQ(inline_value, "1");
    const OptionSpec flags_only[] = {{"--keep", "--keep=1", 0}, {nullptr, nullptr, 0}};
    // The short name of the entry is not tested after the "=" case.
    EXPECT_EQ(option_match(flags_only, "--keep=1", &inline_value), nullptr);
}

}  // namespace
}  // namespace qor
