#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "common/console_log.h"
#include "common/options.h"
#include "common/run_log.h"
#include "support/test_argv.h"
#include "support/test_log_line.h"

namespace qor {
namespace {

const OptionSpec PROGRAM[] = {
    {"--mode", nullptr, 1},
    {"--keep-restored", nullptr, 0},
    {"--target", "-t", 1},
    {nullptr, nullptr, 0},
};

struct Scan {
    int count;
    std::vector<std::string> warnings;  // console messages without their prefix
};

Scan scan(TestArgv& args, int max_positionals) {
    runlog_console_init("qor_verifier", 1);
    testing::internal::CaptureStderr();
    int count = warn_unknown_args(args.argc(), args.argv(), PROGRAM, max_positionals);
    std::istringstream lines(testing::internal::GetCapturedStderr());
    Scan result{count, {}};
    for (std::string line; std::getline(lines, line);) {
        std::string rest;
        bool ok = log_line_after_tag(line, "qor_verifier", &rest) && rest.rfind("WARN  ", 0) == 0;
        EXPECT_TRUE(ok) << line;
        result.warnings.push_back(ok ? rest.substr(6) : line);
    }
    return result;
}

using Warnings = std::vector<std::string>;

TEST(WarnUnknownArgs, AcceptsKnownOptionsAndTheirValues) {
    TestArgv args{"--mode", "--frob", "--mode=fs", "--keep-restored", "-t",      "-x",
                  "--help", "-h",     "--version", "--selftest",      "--target"};
    Scan s = scan(args, 0);
    EXPECT_EQ(s.count, 0);
    EXPECT_EQ(s.warnings, Warnings{});
}

TEST(WarnUnknownArgs, ReportsUnknownOptionsInTheirThreeForms) {
    TestArgv args{"--frobnicate=3", "--a", "--b", "-", "--c", "val", "--d"};
    Scan s = scan(args, 5);
    EXPECT_EQ(s.count, 5);
    EXPECT_EQ(s.warnings, (Warnings{
                              "unknown option '--frobnicate=...' ignored",
                              "unknown option '--a' ignored",
                              "unknown option '--b' ignored",
                              "unknown option '--c' ignored (with the value after it)",
                              "unknown option '--d' ignored",
                          }));
}

// A word may hold a line end or a terminal sequence: it is shown escaped,
// so the warning stays one line of its own.
TEST(WarnUnknownArgs, ShowsWordsEscaped) {
    TestArgv args{"--x\n2026-01-01T00:00:00Z [qor_verifier] INFO  y", "stray\x1b[2J"};
    Scan s = scan(args, 0);
    EXPECT_EQ(
        s.warnings,
        (Warnings{"unknown option '--x\\n2026-01-01T00:00:00Z [qor_verifier] INFO  y' ignored "
                  "(with the value after it)"}));
    TestArgv plain{"stray\x1b[2J\xff"};
    EXPECT_EQ(scan(plain, 0).warnings,
              Warnings{"unexpected argument 'stray\\x1b[2J\\xff' ignored"});
    // The console shows all of a long word; only the run log cuts its lines.
    const std::string long_word = "--" + std::string(600, 'w') + "\xE2\x80\xAE" + "\n";
    TestArgv long_args{long_word.c_str()};
    EXPECT_EQ(scan(long_args, 0).warnings,
              Warnings{"unknown option '--" + std::string(600, 'w') + "\\u{202E}\\n' ignored"});
}

TEST(WarnUnknownArgs, FlagWithInlineValueIsUnknown) {
    TestArgv args{"--keep-restored=1", "-h=x"};
    Scan s = scan(args, 0);
    EXPECT_EQ(s.warnings, (Warnings{"unknown option '--keep-restored=...' ignored",
                                    "unknown option '-h=...' ignored"}));
}

TEST(WarnUnknownArgs, ReportsPlainWordsBeyondMaxPositionals) {
    TestArgv args{"one", "two", "-", "three"};
    Scan s = scan(args, 2);
    EXPECT_EQ(s.count, 2);
    EXPECT_EQ(s.warnings,
              (Warnings{"unexpected argument '-' ignored", "unexpected argument 'three' ignored"}));
}

TEST(WarnUnknownArgs, StopsAtDoubleDash) {
    TestArgv args{"--frob", "--", "--other", "word"};
    Scan s = scan(args, 0);
    EXPECT_EQ(s.count, 1);
    EXPECT_EQ(s.warnings, Warnings{"unknown option '--frob' ignored"});
}

TEST(WarnUnknownArgs, ValueTakingOptionAsLastWordEndsTheScan) {
    TestArgv args{"stray", "--mode"};
    Scan s = scan(args, 0);
    EXPECT_EQ(s.count, 1);
    TestArgv nothing{};
    EXPECT_EQ(scan(nothing, 0).count, 0);
}

TEST(WarnUnknownArgs, LoggingOptionsAreUnknownBeforeTheRunLogIsReady) {
    ASSERT_EQ(runlog_ready(), 0);
    TestArgv args{"--log", "0", "--no-syslog"};
    Scan s = scan(args, 0);
    EXPECT_EQ(s.warnings, (Warnings{"unknown option '--log' ignored (with the value after it)",
                                    "unknown option '--no-syslog' ignored"}));
}

// The run log is process-wide, so it is set up in a child only.
[[noreturn]] void scan_after_runlog_init() {
    TestArgv args{"--log", "0", "--no-syslog", "--no-log", "--log-path=/x", "--syslog", "--frob"};
    runlog_init(args.argc(), args.argv(), "qor_verifier");
    std::exit(10 + warn_unknown_args(args.argc(), args.argv(), PROGRAM, 0));
}

TEST(WarnUnknownArgsDeathTest, LoggingOptionsAreKnownOnceTheRunLogIsReady) {
    // "--syslog" takes "--frob" as its value; no console warning follows.
    EXPECT_EXIT(scan_after_runlog_init(), testing::ExitedWithCode(10),
                "^warning: qor_runlog: invalid --syslog value '--frob' -- using default 1\n$");
}

}  // namespace
}  // namespace qor
