#include "verifier/restore_process.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/fake_bin.h"

namespace qor {
namespace {

using qor::testing::FakeBin;

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
    FakeBin bin;
    bin.add_recording("qor_restore", 0);
    std::string err;
    ASSERT_EQ(restore("/b", 1, {"--threads", "4", "--no-progress"}, &err), 0);
    EXPECT_EQ(err, "");
    EXPECT_EQ(bin.args_of("qor_restore"),
              "--meta\n/b/x.meta\n--search-dir\n/b\n--target\n/dev/vg/x_qorverify\n"
              "--assume-zeroed\n--no-progress\n--threads\n4\n--no-progress\n--end\n");
}

TEST(RestoreProcess, OmitsEmptySearchDirectoryAndProgressFlag) {
    FakeBin bin;
    bin.add_recording("qor_restore", 0);
    std::string err;
    ASSERT_EQ(restore("", 0, {}, &err), 0);
    ASSERT_EQ(restore(nullptr, 0, {}, &err), 0);
    EXPECT_EQ(bin.args_of("qor_restore"),
              "--meta\n/b/x.meta\n--target\n/dev/vg/x_qorverify\n--assume-zeroed\n--end\n"
              "--meta\n/b/x.meta\n--target\n/dev/vg/x_qorverify\n--assume-zeroed\n--end\n");
}

TEST(RestoreProcess, CutsForwardedWordsToFitTheArgumentList) {
    FakeBin bin;
    bin.add("qor_restore", "echo $# > '" + bin.dir() + "/count'; printf '%s' \"$(eval echo \\${$#})\" > '" +
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
        FakeBin bin;
        bin.add("qor_restore", "exit 3");
        EXPECT_EQ(restore("/b", 0, {}, &err), -1);
        EXPECT_EQ(err, "qor_restore exited with code 3");
    }
    {
        FakeBin bin;
        bin.add("qor_restore", "kill -KILL $$");
        EXPECT_EQ(restore("/b", 0, {}, &err), -1);
        EXPECT_EQ(err, "qor_restore exited with code -1");
    }
    {
        FakeBin bin;  // no qor_restore on PATH at all
        EXPECT_EQ(restore("/b", 0, {}, &err), -1);
        EXPECT_EQ(err, "qor_restore exited with code 127");
    }
}

TEST(RestoreProcess, RunsTheRestoreInItsOwnProcessGroup) {
    FakeBin bin;
    bin.add("qor_restore", "cut -d' ' -f5 /proc/$$/stat > '" + bin.dir() + "/pgid'; echo $$ > '" +
                               bin.dir() + "/pid'");
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
