#include "common/child_process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cerrno>

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

}  // namespace
}  // namespace qor
