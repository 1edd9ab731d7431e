#include "lvm/command_runner.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "support/fd_count.h"
#include "support/test_temp_dir.h"

namespace qor {
namespace {

using Clock = std::chrono::steady_clock;

struct Outcome {
    int rc = 99;
    CommandResult result{99, 99};
    char out[4096];
    double seconds = 0;
};

// Runs a shell snippet with capture on and no extra environment.
Outcome sh(const char* script, std::uint32_t timeout = 10, std::size_t out_size = 4096,
           const char* const* extra_env = nullptr) {
    Outcome r;
    std::memset(r.out, 'x', sizeof r.out);
    const char* argv[] = {"/bin/sh", "-c", script, nullptr};
    auto t0 = Clock::now();
    r.rc = run_command(argv, extra_env, timeout, RUN_CAPTURE_OUTPUT, r.out, out_size, &r.result);
    r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    return r;
}

using qor::test::open_fd_count;

double cpu_seconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// True when some process of the group is still alive (zombies do not count:
// an orphan's reaper here may be slow or absent).
bool group_has_live_member(pid_t pgid) {
    DIR* d = opendir("/proc");
    bool live = false;
    while (dirent* e = d != nullptr ? readdir(d) : nullptr) {
        std::string stat_path = std::string("/proc/") + e->d_name + "/stat";
        FILE* f = std::fopen(stat_path.c_str(), "r");
        if (f == nullptr) continue;
        char line[1024] = {};
        std::fgets(line, sizeof line, f);
        std::fclose(f);
        const char* after = std::strrchr(line, ')');
        char state = 0;
        int ppid = 0, pgrp = 0;
        if (after != nullptr && std::sscanf(after + 1, " %c %d %d", &state, &ppid, &pgrp) == 3 &&
            pgrp == pgid && state != 'Z' && state != 'X') {
            live = true;
        }
    }
    if (d != nullptr) closedir(d);
    return live;
}

// SIGKILLed members may take a moment to die.
bool group_is_gone(pid_t pgid) {
    for (int i = 0; i < 50; ++i) {
        if (!group_has_live_member(pgid)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

void expect_no_zombie() {
    errno = 0;
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST(CommandRunner, ProgramNotFoundExits127WithNoText) {
    Outcome r;
    std::memset(r.out, 'x', sizeof r.out);
    const char* argv[] = {"qor-no-such-program", nullptr};
    r.rc = run_command(argv, nullptr, 10, RUN_CAPTURE_OUTPUT, r.out, sizeof r.out, &r.result);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.result.exit_code, 127);
    EXPECT_EQ(r.result.timed_out, 0);
    EXPECT_STREQ(r.out, "");
}

TEST(CommandRunner, CollectsBothStreamsInOrderAndTheExitStatus) {
    Outcome r = sh("echo one; echo two >&2; echo three; exit 3");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.result.exit_code, 3);
    EXPECT_EQ(r.result.timed_out, 0);
    EXPECT_STREQ(r.out, "one\ntwo\nthree\n");
    expect_no_zombie();
}

// A report's rows must not be mixed with the warnings a tool prints.
TEST(CommandRunner, CapturesStandardOutputAloneWhenAsked) {
    const char* argv[] = {"/bin/sh", "-c", "echo row1; echo warning >&2; echo row2", nullptr};
    char out[64];
    CommandResult result{};
    ASSERT_EQ(run_command(argv, nullptr, 10, RUN_CAPTURE_STDOUT, out, sizeof out, &result), 0);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_STREQ(out, "row1\nrow2\n");
    expect_no_zombie();
}

TEST(CommandRunner, KeepsOnlyWhatFitsTheBuffer) {
    Outcome r = sh("printf '0123456789abcdefghij%.0s' 1 2 3 4 5", 10, 16);  // 100 bytes
    EXPECT_EQ(r.result.exit_code, 0);
    EXPECT_EQ(std::string(r.out, 16), std::string("0123456789abcde\0", 16));
    EXPECT_EQ(r.out[16], 'x');
}

TEST(CommandRunner, DrainsOutputWithoutABuffer) {
    // Far more than a pipe holds: the child would block forever if not read.
    Outcome r = sh("head -c 300000 /dev/zero | tr '\\0' a; exit 4", 10, 0);
    EXPECT_EQ(r.result.exit_code, 4);
    EXPECT_EQ(r.result.timed_out, 0);
    EXPECT_EQ(r.out[0], 'x');
}

TEST(CommandRunner, LargeOutputKeepsItsStart) {
    Outcome r = sh("echo start; head -c 300000 /dev/zero | tr '\\0' a", 10, 64);
    EXPECT_EQ(r.result.exit_code, 0);
    EXPECT_EQ(std::strlen(r.out), 63u);
    EXPECT_EQ(std::string(r.out, 6), "start\n");
}

TEST(CommandRunner, KillsTheGroupAtTheDeadline) {
    Outcome r = sh("echo $$; echo before; sleep 30 & wait", 1);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.result.exit_code, -1);
    EXPECT_EQ(r.result.timed_out, 1);
    EXPECT_LT(r.seconds, 1.6);
    pid_t pgid = static_cast<pid_t>(std::atoi(r.out));
    ASSERT_GT(pgid, 1);
    EXPECT_NE(std::strstr(r.out, "\nbefore\n"), nullptr) << r.out;
    EXPECT_TRUE(group_is_gone(pgid));
    expect_no_zombie();
}

TEST(CommandRunner, ZeroTimeoutKillsAtTheFirstCheck) {
    Outcome r = sh("sleep 5", 0);
    EXPECT_EQ(r.result.timed_out, 1);
    EXPECT_EQ(r.result.exit_code, -1);
    EXPECT_LT(r.seconds, 0.5);
}

TEST(CommandRunner, SignalFromElsewhereIsNotATimeout) {
    Outcome r = sh("kill -TERM $$");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.result.exit_code, -1);
    EXPECT_EQ(r.result.timed_out, 0);
}

TEST(CommandRunner, ChildEnvironmentIsSetAndParentsIsNot) {
    ASSERT_EQ(setenv("LVM_SUPPRESS_FD_WARNINGS", "7", 1), 0);
    unsetenv("QOR_TEST_EXTRA");
    Outcome plain = sh("printf %s \"$LVM_SUPPRESS_FD_WARNINGS\"");
    EXPECT_STREQ(plain.out, "1");

    const char* extra[] = {"LVM_SUPPRESS_FD_WARNINGS=0", "QOR_TEST_EXTRA=yes", nullptr};
    Outcome over =
        sh("printf %s/%s \"$LVM_SUPPRESS_FD_WARNINGS\" \"$QOR_TEST_EXTRA\"", 10, 4096, extra);
    EXPECT_STREQ(over.out, "0/yes");

    EXPECT_STREQ(getenv("LVM_SUPPRESS_FD_WARNINGS"), "7");
    EXPECT_EQ(getenv("QOR_TEST_EXTRA"), nullptr);
    unsetenv("LVM_SUPPRESS_FD_WARNINGS");
}

TEST(CommandRunner, WithoutCaptureTheChildWritesToOurOutput) {
    TestTempDir tmp;
    const std::string file = tmp / "out";
    int fd = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    std::fflush(stdout);
    std::fflush(stderr);
    int saved_out = dup(1);
    int saved_err = dup(2);
    dup2(fd, 1);
    dup2(fd, 2);
    char out[8] = "keepme";
    CommandResult result{99, 99};
    const char* argv[] = {"/bin/sh", "-c", "echo to-out; echo to-err >&2; exit 5", nullptr};
    int rc = run_command(argv, nullptr, 10, RUN_SHARE_OUTPUT, out, sizeof out, &result);
    dup2(saved_out, 1);
    dup2(saved_err, 2);
    close(saved_out);
    close(saved_err);

    char seen[64] = {};
    ASSERT_GE(pread(fd, seen, sizeof seen - 1, 0), 0);
    close(fd);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(result.exit_code, 5);
    EXPECT_STREQ(out, "keepme");
    EXPECT_STREQ(seen, "to-out\nto-err\n");
}

TEST(CommandRunner, ClosedOutputDoesNotMakeItSpin) {
    double cpu0 = cpu_seconds();
    Outcome r = sh("exec >&- 2>&-; sleep 1; exit 6");
    double cpu = cpu_seconds() - cpu0;
    EXPECT_EQ(r.result.exit_code, 6);
    EXPECT_GE(r.seconds, 0.9);
    EXPECT_LT(cpu, 0.2);
}

TEST(CommandRunner, DescendantHoldingThePipeIsBoundedByTheDeadline) {
    Outcome r = sh("echo $$; sleep 30 & echo hi", 2);
    EXPECT_EQ(r.rc, 0);
    EXPECT_LT(r.seconds, 2.6);
    EXPECT_EQ(r.result.exit_code, 0);  // the child itself ended on its own
    pid_t pgid = static_cast<pid_t>(std::atoi(r.out));
    ASSERT_GT(pgid, 1);
    EXPECT_NE(std::strstr(r.out, "\nhi\n"), nullptr) << r.out;
    EXPECT_TRUE(group_is_gone(pgid));
    expect_no_zombie();
}

TEST(CommandRunner, LeavesNoDescriptorOrZombieBehind) {
    int before = open_fd_count();
    sh("echo ok");
    sh("sleep 5", 0);
    sh("exec >&-; exit 0");
    const char* argv[] = {"qor-no-such-program", nullptr};
    CommandResult result{};
    run_command(argv, nullptr, 10, RUN_CAPTURE_OUTPUT, nullptr, 0, &result);
    EXPECT_EQ(open_fd_count(), before);
    expect_no_zombie();
}

int lowest_free_fd() {
    int fd = open("/dev/null", O_RDONLY);
    if (fd >= 0) close(fd);
    return fd;
}

TEST(CommandRunner, ChildGetsNoDescriptorOfTheRunner) {
    // One descriptor left open without close-on-exec, as a careless caller
    // (or whoever started us) might: the child must not see it either.
    int leaked = open("/dev/null", O_RDONLY);
    ASSERT_GE(leaked, 3);
    // ls runs as a child of the shell and lists the shell's descriptors; no
    // pipeline, whose pipe the shell itself would hold while ls looks.
    Outcome r = sh("ls -1 /proc/$$/fd");
    close(leaked);
    ASSERT_EQ(r.result.exit_code, 0);
    std::set<int> listed;
    std::istringstream lines(r.out);
    for (int fd; lines >> fd;) listed.insert(fd);
    EXPECT_EQ(listed, (std::set<int>{0, 1, 2}));
}

TEST(CommandRunner, FailsWhenNoPipeCanBeMade) {
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    int lowest_free = lowest_free_fd();
    ASSERT_GE(lowest_free, 0);
    rlimit tight = old;
    tight.rlim_cur = static_cast<rlim_t>(lowest_free);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    Outcome r = sh("echo never");
    setrlimit(RLIMIT_NOFILE, &old);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.result.exit_code, -1);
    EXPECT_EQ(r.result.timed_out, 0);
    expect_no_zombie();
}

}  // namespace
}  // namespace qor
