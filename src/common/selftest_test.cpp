#include "common/selftest.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/test_argv.h"

namespace qor {
namespace {

struct Outcome {
    int result;
    std::string out;
    std::string err;
};

Outcome handle(TestArgv& args) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int result = handle_version_selftest(args.argc(), args.argv(), "qor_verifier");
    std::fflush(stdout);
    Outcome o{result, testing::internal::GetCapturedStdout(),
              testing::internal::GetCapturedStderr()};
    return o;
}

TEST(Selftest, PassesOnThisMachine) {
    char msg[256];
    std::memset(msg, 'x', sizeof msg);
    EXPECT_EQ(run_selftest(msg, sizeof msg), 0);
    EXPECT_STREQ(msg, "");
    EXPECT_EQ(run_selftest(nullptr, 0), 0);
}

TEST(Selftest, RoundTripReportsItsSentence) {
    std::vector<unsigned char> data(262144, 0);
    char msg[64];
    EXPECT_EQ(codec_round_trip(2, "lz4 round trip failed", data.data(), msg, sizeof msg), 0);
    // An unknown codec cannot compress.
    EXPECT_EQ(codec_round_trip(9, "odd round trip failed", data.data(), msg, sizeof msg), 1);
    EXPECT_STREQ(msg, "odd round trip failed");
    char tiny[4];
    EXPECT_EQ(codec_round_trip(9, "odd round trip failed", data.data(), tiny, sizeof tiny), 1);
    EXPECT_STREQ(tiny, "odd");
}

TEST(VersionSelftest, VersionWinsAndIsFoundAnywhere) {
    std::string version_line = std::string("qor_verifier ") + version_string() + "\n";
    TestArgv both{"--selftest", "--", "--version"};
    Outcome o = handle(both);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.out, version_line);
    EXPECT_EQ(o.err, "");
}

TEST(VersionSelftest, SelftestAfterDoubleDashRuns) {
    TestArgv args{"--", "--selftest"};
    Outcome o = handle(args);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.out, std::string("qor_verifier ") + version_string() + ": selftest ok\n");
    EXPECT_EQ(o.err, "");
}

TEST(VersionSelftest, NeitherFlagIsNotHandled) {
    TestArgv args{"--version=1", "--selftest=1", "-v", "x"};
    Outcome o = handle(args);
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "");
}

}  // namespace
}  // namespace qor
