#include "verifier/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_argv.h"

namespace qor {
namespace {

struct Parsed {
    bool usable;
    int status;  // the exit status of a usage error
    VerifyOptions opts;
    std::string err;
    char search[SEARCH_DIR_BUFFER];
};

Parsed parse(TestArgv& a) {
    Parsed p{};
    ::testing::internal::CaptureStderr();
    p.usable = cli_read_options(a.argc(), a.argv(), &p.opts, p.search, sizeof p.search, &p.status);
    p.err = ::testing::internal::GetCapturedStderr();
    return p;
}

TEST(CommandLine, UsageErrorsInOrder) {
    struct Case {
        std::vector<std::string> words;
        const char* expected;
    } cases[] = {
        {{"--mode", "fs"}, "error: --meta is required (use --help)\n"},
        {{"--mode", "fs", "--meta"}, "error: --meta is required (use --help)\n"},
        // An empty --target-lv still counts as given.
        {{"-m", "x.meta", "--target-lv=", "--target-file", "f"},
         "error: --target-lv and --target-file are mutually exclusive\n"},
        {{"-m", "x.meta", "--mode", "FS"}, "error: --mode must be 'byte' or 'fs'\n"},
        {{"-m", "x.meta", "--mode="}, "error: --mode must be 'byte' or 'fs'\n"},
    };
    for (auto& c : cases) {
        TestArgv a(c.words);
        Parsed p = parse(a);
        EXPECT_FALSE(p.usable) << c.expected;
        EXPECT_EQ(p.status, 2) << c.expected;
        EXPECT_EQ(p.err, c.expected);
    }
}

TEST(CommandLine, ModeForms) {
    TestArgv last({"-m", "x.meta", "--mode"});
    EXPECT_EQ(parse(last).opts.mode, MODE_BYTE);
    TestArgv joined({"-m", "x.meta", "--mode=fs"});
    EXPECT_EQ(parse(joined).opts.mode, MODE_FS);
    TestArgv separate({"-m", "x.meta", "--mode", "fs"});
    Parsed p = parse(separate);
    EXPECT_TRUE(p.usable);
    EXPECT_EQ(p.opts.mode, MODE_FS);
}

TEST(CommandLine, DerivesSearchDirectoryFromMetaPath) {
    struct Case {
        const char* meta;
        const char* dir;
    } cases[] = {{"/srv/b/x.meta", "/srv/b"}, {"x.meta", "."}, {"/x.meta", ""}, {"a/b/", "a/b"}};
    for (auto& c : cases) {
        TestArgv a({"--meta", c.meta});
        Parsed p = parse(a);
        ASSERT_TRUE(p.usable);
        EXPECT_STREQ(p.opts.search_dir, c.dir) << c.meta;
    }
}

TEST(CommandLine, SearchDirectoryFromLongMetaPathUsesFirst1023Characters) {
    std::string meta = std::string(1100, 'a');
    meta[1000] = '/';
    meta[1050] = '/';  // beyond the cut: must not be the one found
    TestArgv a({"--meta", meta});
    Parsed p = parse(a);
    ASSERT_TRUE(p.usable);
    EXPECT_EQ(std::string(p.opts.search_dir), meta.substr(0, 1000));
}

TEST(CommandLine, GivenSearchDirectoryIsUsedUnchangedEvenWhenEmpty) {
    TestArgv a({"--meta", "/srv/b/x.meta", "--search-dir="});
    Parsed p = parse(a);
    EXPECT_STREQ(p.opts.search_dir, "");
}

TEST(CommandLine, SplitsForwardedWordsAtFirstDoubleDash) {
    TestArgv a({"-m", "m", "--", "--threads", "4", "--", "x"});
    Parsed p = parse(a);
    ASSERT_EQ(p.opts.forward_argc, 4);
    EXPECT_STREQ(p.opts.forward_argv[0], "--threads");
    EXPECT_STREQ(p.opts.forward_argv[2], "--");

    TestArgv trailing({"-m", "m", "--"});
    Parsed t = parse(trailing);
    EXPECT_NE(t.opts.forward_argv, nullptr);
    EXPECT_EQ(t.opts.forward_argc, 0);

    TestArgv none({"-m", "m"});
    EXPECT_EQ(parse(none).opts.forward_argv, nullptr);

    // An option value that is exactly "--" starts the forwarded list too.
    TestArgv value({"-m", "m", "--target-file", "--", "w"});
    Parsed v = parse(value);
    ASSERT_EQ(v.opts.forward_argc, 1);
    EXPECT_STREQ(v.opts.forward_argv[0], "w");
    EXPECT_STREQ(v.opts.target_file, "--");
}

TEST(CommandLine, OptionsAfterDoubleDashAreReadToo) {
    TestArgv a({"-m", "m", "--", "--mode", "fs", "--keep-restored"});
    Parsed p = parse(a);
    EXPECT_EQ(p.opts.mode, MODE_FS);
    EXPECT_EQ(p.opts.keep_restored, 1);
    EXPECT_EQ(p.opts.forward_argc, 3);
}

TEST(CommandLine, OutcomeLinesAndStatus) {
    VerifyOptions byte{};
    byte.mode = MODE_BYTE;
    VerifyOptions fs{};
    fs.mode = MODE_FS;
    CompareStats stats{};
    stats.bytes_compared = 8388608;

    ::testing::internal::CaptureStderr();
    EXPECT_EQ(cli_report_outcome(0, &byte, &stats, ""), 0);
    std::string out = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(out.find("] INFO  verified identical: 8388608 bytes compared, 0 mismatches\n"),
              std::string::npos)
        << out;

    ::testing::internal::CaptureStderr();
    EXPECT_EQ(cli_report_outcome(0, &fs, &stats, ""), 0);
    out = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(out.find("INFO  verified identical: no differing files found\n"), std::string::npos);

    ::testing::internal::CaptureStderr();
    EXPECT_EQ(cli_report_outcome(1, &byte, &stats, "cannot read /x"), 1);
    out = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(out.find("ERROR verification failed: cannot read /x\n"), std::string::npos);
}

}  // namespace
}  // namespace qor
