#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>

#include "common/interrupt.h"
#include "lvm/command_runner.h"

namespace qor {
namespace {

// The child signals us the way an operator's Ctrl-C or systemd's stop would.
class RunnerInterrupt : public ::testing::Test {
  protected:
    // Default dispositions first: a test binary started as a background job of
    // a non-interactive shell has SIGINT ignored, which interrupt_install keeps.
    void SetUp() override {
        for (int s : {SIGINT, SIGTERM, SIGHUP}) signal(s, SIG_DFL);
        interrupt_clear();
        interrupt_install();
    }
    void TearDown() override {
        for (int s : {SIGINT, SIGTERM, SIGHUP}) signal(s, SIG_DFL);
        interrupt_clear();
    }
};

TEST_F(RunnerInterrupt, SignalStopsTheRunningCommand) {
    const char* argv[] = {"sh", "-c", "echo before; kill -TERM $PPID; sleep 20", nullptr};
    char out[64];
    CommandResult res;
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(run_command(argv, nullptr, 60, RUN_CAPTURE_OUTPUT, out, sizeof out, &res), 0);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_LT(elapsed, std::chrono::seconds(3));
    EXPECT_EQ(res.exit_code, -1);
    EXPECT_EQ(res.timed_out, 0);
    EXPECT_STREQ(out, "before\n");
    EXPECT_EQ(interrupt_pending(), SIGTERM);
}

TEST_F(RunnerInterrupt, CleanUpCommandsRunToTheirEndDespiteASignal) {
    const char* argv[] = {"sh", "-c", "kill -INT $PPID; sleep 0.3; echo done; exit 4", nullptr};
    char out[64];
    CommandResult res;
    InterruptShield shield;
    ASSERT_EQ(run_command(argv, nullptr, 60, RUN_CAPTURE_OUTPUT, out, sizeof out, &res), 0);
    EXPECT_EQ(res.exit_code, 4);
    EXPECT_STREQ(out, "done\n");
    EXPECT_EQ(interrupt_pending(), SIGINT);
    EXPECT_STREQ(interrupt_signal_name(interrupt_pending()), "SIGINT");
}

}  // namespace
}  // namespace qor
