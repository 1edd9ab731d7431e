#include "common/child_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "common/unique_fd.h"
#include "support/fake_tool_dir.h"
#include "support/test_temp_dir.h"

namespace qor {
namespace {

void expect_no_zombie() {
    errno = 0;
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST(ChildProcess, DecodesExitStatusSignalAndMissingProgram) {
    struct Case {
        const char* script;
        int expected;
    } cases[] = {{"exit 7", 7}, {"kill -TERM $$", -1}, {"exec qor-no-such-program", 127}};
    for (const Case& c : cases) {
        ChildProcess child;
        const char* argv[] = {"/bin/sh", "-c", c.script, nullptr};
        ASSERT_EQ(child.start(argv), 0);
        while (!child.has_ended()) child.sleep_until_exit(100);
        EXPECT_TRUE(child.is_ended());
        child.reap();
        EXPECT_EQ(child.exit_code(), c.expected) << c.script;
    }
    expect_no_zombie();
}

TEST(ChildProcess, KillsItsGroupAndIsReapedWhenItGoesOutOfScope) {
    {
        ChildProcess child;
        const char* argv[] = {"/bin/sh", "-c", "sleep 30 & wait", nullptr};
        ASSERT_EQ(child.start(argv), 0);
        child.kill_group(SIGKILL);
    }
    expect_no_zombie();
}

// Runs argv through ChildProcess and returns its decoded exit status.
int run_child(const char* const* argv) {
    ChildProcess child;
    if (child.start(argv) != 0) return -2;
    child.reap();
    return child.exit_code();
}

// Restores the working directory a test moved away from.
class ScopedCwd {
  public:
    explicit ScopedCwd(const std::string& dir) : saved_(std::filesystem::current_path()) {
        std::filesystem::current_path(dir);
    }
    ~ScopedCwd() { std::filesystem::current_path(saved_); }
    ScopedCwd(const ScopedCwd&) = delete;
    ScopedCwd& operator=(const ScopedCwd&) = delete;

  private:
    std::filesystem::path saved_;
};

// A child gets descriptors 0-2 only, whatever this process left open without
// close-on-exec, and its program is looked up in absolute PATH entries only:
// an empty or relative entry would run whatever the working directory holds.
TEST(ChildProcess, GetsOnlyStandardDescriptorsAndSearchesOnlyAbsolutePathEntries) {
    constexpr int LEAKED_FD = 37;
    UniqueFd leaked(::dup2(::open("/dev/null", O_RDONLY), LEAKED_FD));
    ASSERT_EQ(leaked.get(), LEAKED_FD);
    const char* probe_fd[] = {"/bin/sh", "-c", "[ ! -e /proc/self/fd/37 ]", nullptr};
    EXPECT_EQ(run_child(probe_fd), 0) << "descriptor 37 reached the child";

    TestTempDir tmp;
    ASSERT_TRUE(tmp.ok());
    const std::string trap = "#!/bin/sh\nexit 0\n";
    std::filesystem::create_directory(tmp / "rel");
    for (const std::string& file : {tmp / "qor-path-probe", tmp / "rel/qor-path-probe"}) {
        std::ofstream(file) << trap;
        ::chmod(file.c_str(), 0755);
    }
    ScopedCwd cwd(tmp.path());
    const char* probe[] = {"qor-path-probe", nullptr};
    for (const char* path : {"", ":/usr/bin:/bin", "/usr/bin::/bin", ".:/usr/bin", "rel:/bin"}) {
        test::ScopedPath scoped(path);
        EXPECT_EQ(run_child(probe), CHILD_EXEC_FAILED) << "PATH=" << path;
    }
    test::ScopedPath absolute("/nonexistent:" + tmp.path() + "/rel");
    EXPECT_EQ(run_child(probe), 0);
    expect_no_zombie();
}

}  // namespace
}  // namespace qor
