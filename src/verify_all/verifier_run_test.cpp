#include "verify_all/verifier_run.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/interrupt.h"
#include "common/progress.h"

namespace qor {
namespace {

constexpr const char* IDENTICAL_LINE =
    "2026-12-07T21:08:39Z [qor_verifier] INFO  verified identical: 4096 bytes compared, 0 "
    "mismatches";

// Runs a shell script as the verifier; our own standard error in *err.
int run_script(const std::string& script, VerifierRun* run, std::string* msg, std::string* err,
               std::int64_t timeout_seconds = 0) {
    char buf[400] = "x";
    testing::internal::CaptureStderr();
    int rc = verifier_run({"/bin/sh", "-c", script}, timeout_seconds, run, buf, sizeof buf);
    *err = testing::internal::GetCapturedStderr();
    *msg = buf;
    return rc;
}

TEST(VerifierRun, StreamsWholeLinesAndKeepsTheVerdict) {
    VerifierRun run;
    std::string msg, err;
    // A line written in two pieces still arrives whole; a last line without
    // its newline gets one; standard output is not taken.
    std::string script = std::string("printf 'started ' >&2; sleep 0.2; printf 'late\\n' >&2; ") +
                         "echo '" + IDENTICAL_LINE + "' >&2; echo stdout; printf 'tail' >&2";
    testing::internal::CaptureStdout();
    ASSERT_EQ(run_script(script, &run, &msg, &err), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "stdout\n");
    EXPECT_EQ(msg, "");
    EXPECT_EQ(err, std::string("started late\n") + IDENTICAL_LINE + "\ntail\n");
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.term_signal, 0);
    EXPECT_EQ(run.verdict, "verified identical: 4096 bytes compared, 0 mismatches");
}

TEST(VerifierRun, ReportsHowItEndedOrThatItCouldNotRun) {
    VerifierRun run;
    std::string msg, err;
    ASSERT_EQ(run_script("exit 1", &run, &msg, &err), 0);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.verdict, "");
    ASSERT_EQ(run_script("kill -KILL $$", &run, &msg, &err), 0);
    EXPECT_EQ(run.exit_status, -1);
    EXPECT_EQ(run.term_signal, SIGKILL);
    EXPECT_FALSE(run.timed_out);
    // Past its time it is asked to stop, and cleans up before it ends.
    ASSERT_EQ(run_script("trap 'kill $!; exit 1' TERM; sleep 30 & wait", &run, &msg, &err, 1), 0);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_TRUE(run.timed_out);
    EXPECT_EQ(outcome_classify(run), OutcomeClass::could_not_verify);

    char buf[400];
    EXPECT_EQ(verifier_run({"qor-no-such-verifier", "--meta=x"}, 0, &run, buf, sizeof buf), -1);
    EXPECT_STREQ(buf, "it is not installed or not found through PATH");
}

// The script signals us as an operator would; we pass the signal on and wait
// while the verifier says why it stopped.
TEST(VerifierRun, PassesAStopOnAndWaitsForTheVerifierToEnd) {
    interrupt_install();
    VerifierRun run;
    std::string msg, err;
    std::string script =
        "trap 'sleep 0.3; echo \"2026-12-07T21:08:39Z [qor_verifier] ERROR verification failed: "
        "interrupted by SIGTERM\" >&2; exit 1' TERM; kill -TERM $PPID; "
        "i=0; while [ $i -lt 100 ]; do sleep 0.1; i=$((i+1)); done; exit 0";
    ASSERT_EQ(run_script(script, &run, &msg, &err), 0);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.verdict, "verification failed: interrupted by SIGTERM");
    EXPECT_EQ(interrupt_pending(), SIGTERM);
    interrupt_clear();
}

// A progress request is passed on to the verifier, which holds it back until
// its own handler is in place. perl stands in: unlike a shell, it leaves its
// signal mask as it found it.
TEST(VerifierRun, PassesAProgressRequestOnHeldUntilTheVerifierTakesIt) {
    progress_install();
    std::vector<std::string> argv = {
        "perl", "-e",
        "kill 'USR1', getppid(); select(undef, undef, undef, 0.5); open(my $f, "
        "'/proc/self/status');"
        "print STDERR map { /^(ShdPnd|SigBlk):\\s*(\\w+)/ ? \"$2\\n\" : () } <$f>;"};
    VerifierRun run;
    char msg[400];
    testing::internal::CaptureStderr();
    ASSERT_EQ(verifier_run(argv, 0, &run, msg, sizeof msg), 0) << msg;
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(run.exit_status, 0);
    // SIGUSR1 is signal 10: bit 9 of each mask, pending and blocked.
    unsigned long long pending = 0, blocked = 0;
    ASSERT_EQ(std::sscanf(err.c_str(), "%llx %llx", &pending, &blocked), 2) << err;
    EXPECT_NE(pending & (1ull << (SIGUSR1 - 1)), 0u) << err;
    EXPECT_NE(blocked & (1ull << (SIGUSR1 - 1)), 0u) << err;
    EXPECT_FALSE(progress_take_request());
}

}  // namespace
}  // namespace qor
