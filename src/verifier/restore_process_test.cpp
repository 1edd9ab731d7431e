#include "verifier/restore_process.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/fake_tool_dir.h"

namespace qor {
namespace {

using qor::test::FakeToolDir;
using Args = std::vector<std::string>;

int restore(const char* search_dir, int no_progress, std::vector<std::string> forward,
            std::string* err) {
    std::vector<char*> fwd;
    for (auto& s : forward) fwd.push_back(s.data());
    char buf[400] = "junk";
    int r = run_restore("/b/x.meta", search_dir, "/dev/vg/x_qorverify", no_progress,
                        forward.empty() ? nullptr : fwd.data(), static_cast<int>(fwd.size()), buf,
                        sizeof buf);
    *err = buf;
    return r;
}

TEST(RestoreProcess, PassesTheFixedArgumentListThenForwardedWords) {
    FakeToolDir bin;
    bin.add_tool("qor_restore", "exit 0");
    std::string err;
    ASSERT_EQ(restore("/b", 1, {"--threads", "4", "--no-progress"}, &err), 0);
    EXPECT_EQ(err, "");
    EXPECT_EQ(bin.recorded_args("qor_restore"),
              (Args{"--meta", "/b/x.meta", "--search-dir", "/b", "--target", "/dev/vg/x_qorverify",
                    "--assume-zeroed", "--no-progress", "--threads", "4", "--no-progress"}));
}

TEST(RestoreProcess, OmitsEmptySearchDirectoryAndProgressFlag) {
    FakeToolDir bin;
    bin.add_tool("qor_restore", "exit 0");
    const Args expected{"--meta", "/b/x.meta", "--target", "/dev/vg/x_qorverify",
                        "--assume-zeroed"};
    std::string err;
    ASSERT_EQ(restore("", 0, {}, &err), 0);
    EXPECT_EQ(bin.recorded_args("qor_restore"), expected);
    ASSERT_EQ(restore(nullptr, 0, {}, &err), 0);
    EXPECT_EQ(bin.recorded_args("qor_restore"), expected);
}

TEST(RestoreProcess, CutsForwardedWordsToFitTheArgumentList) {
    FakeToolDir bin;
    bin.add_tool("qor_restore", "echo $# > '" + bin.dir() +
                                    "/count'; printf '%s' \"$(eval echo \\${$#})\" > '" +
                                    bin.dir() + "/last'");
    std::vector<std::string> forward;
    for (int i = 0; i < 200; ++i) forward.push_back("w" + std::to_string(i));
    std::string err;
    ASSERT_EQ(restore("/b", 1, forward, &err), 0);
    // 127 words before the terminator: the program name plus 126 arguments;
    // the fixed part holds 9 of them, so 118 forwarded words fit.
    std::ifstream count(bin.dir() + "/count");
    int n = 0;
    count >> n;
    EXPECT_EQ(n, 126);
    std::ifstream last(bin.dir() + "/last");
    std::string word;
    last >> word;
    EXPECT_EQ(word, "w117");
}

TEST(RestoreProcess, ReportsExitStatusSignalAndMissingProgram) {
    std::string err;
    {
        FakeToolDir bin;
        bin.add_tool("qor_restore", "exit 3");
        EXPECT_EQ(restore("/b", 0, {}, &err), -1);
        EXPECT_EQ(err, "qor_restore exited with code 3");
    }
    {
        FakeToolDir bin;
        bin.add_tool("qor_restore", "kill -KILL $$");
        EXPECT_EQ(restore("/b", 0, {}, &err), -1);
        EXPECT_EQ(err, "qor_restore exited with code -1");
    }
    {
        FakeToolDir bin;  // no qor_restore on PATH at all
        EXPECT_EQ(restore("/b", 0, {}, &err), -1);
        EXPECT_EQ(err, "qor_restore exited with code 127");
    }
}

TEST(RestoreProcess, RunsTheRestoreInItsOwnProcessGroup) {
    FakeToolDir bin;
    bin.add_tool("qor_restore", "cut -d' ' -f5 /proc/$$/stat > '" + bin.dir() +
                                    "/pgid'; echo $$ > '" + bin.dir() + "/pid'");
    std::string err;
    ASSERT_EQ(restore("/b", 0, {}, &err), 0);
    std::ifstream pg(bin.dir() + "/pgid"), pid(bin.dir() + "/pid");
    long g = 0, p = 0;
    pg >> g;
    pid >> p;
    EXPECT_EQ(g, p);
    EXPECT_NE(g, static_cast<long>(::getpgrp()));
}

}  // namespace
}  // namespace qor
