#include "common/progress.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <regex>
#include <string>

#include "common/child_process.h"
#include "common/console_log.h"

namespace qor {
namespace {

constexpr std::int64_t SECOND_NS = 1'000'000'000;
constexpr std::uint64_t MIB = 1024 * 1024;

std::string format(const ProgressState& state, std::int64_t now_ns) {
    char line[256];
    progress_format(state, now_ns, line, sizeof line);
    return line;
}

// Every case starts from the same process-wide state, whatever ran before it
// in this binary: the console's own tag and level, the handler installed, no
// phase and no request pending.
class Progress : public ::testing::Test {
  protected:
    void SetUp() override {
        runlog_console_init("qor", RUNLOG_INFO);
        progress_install();
        forget();
    }
    void TearDown() override { forget(); }

  private:
    static void forget() {
        progress_set_phase(ProgressPhase::none);
        (void)progress_take_request();
    }
};

TEST_F(Progress, FormatsTheLineOfEachPhase) {
    ProgressState bytes;
    bytes.phase = ProgressPhase::comparing;
    bytes.phase_started_ns = 100 * SECOND_NS;
    bytes.total_bytes = 4096 * MIB;
    bytes.done_bytes = 1024 * MIB;
    ProgressState pair;
    pair.phase = ProgressPhase::comparing;
    pair.pair_index = 1;
    pair.pair_count = 3;
    ProgressState whole = pair;
    whole.pair_index = 0;
    whole.pair_count = 1;
    whole.whole = true;
    ProgressState walking = pair;
    walking.walking = true;
    walking.entries = 5120;
    ProgressState restoring;
    restoring.phase = ProgressPhase::restoring;
    restoring.phase_started_ns = 5 * SECOND_NS;

    struct Case {
        ProgressState state;
        std::int64_t now_ns;
        const char* line;
    } cases[] = {
        {bytes, 102 * SECOND_NS,
         "progress: comparing, 1073741824 of 4294967296 bytes (25.0%), 512.0 MiB/s, about 6 s "
         "left"},
        // Nothing compared yet, or no time passed: no rate to tell.
        {bytes, 100 * SECOND_NS,
         "progress: comparing, 1073741824 of 4294967296 bytes (25.0%), rate not known yet"},
        {pair, 40 * SECOND_NS + 999'999'999,
         "progress: comparing, partition pair 2 of 3, for 40 s"},
        {whole, 3 * SECOND_NS, "progress: comparing, the whole images, for 3 s"},
        {walking, 9 * SECOND_NS,
         "progress: comparing, partition pair 2 of 3, metadata of 5120 entries compared, for 9 s"},
        {restoring, 17 * SECOND_NS, "progress: restoring, for 12 s"},
        // A clock read before the phase began counts as no time.
        {restoring, 1 * SECOND_NS, "progress: restoring, for 0 s"},
    };
    for (const Case& c : cases) EXPECT_EQ(format(c.state, c.now_ns), c.line);
}

TEST_F(Progress, AnswersEachRequestOnceAndKeepsOneFromBeforeTheFirstPhase) {
    ASSERT_EQ(raise(SIGUSR1), 0);  // would end the test binary without the handler
    testing::internal::CaptureStderr();
    progress_report_if_asked();  // no phase yet: kept
    progress_set_phase(ProgressPhase::comparing, 10 * MIB);
    progress_add_bytes(MIB);
    progress_report_if_asked();
    progress_report_if_asked();  // answered already
    std::string err = testing::internal::GetCapturedStderr();
    const std::regex one_line(
        "[0-9-]{10}T[0-9:]{8}Z \\[qor\\] INFO  progress: comparing, 1048576 of 10485760 bytes "
        "\\(10\\.0%\\), (rate not known yet|[0-9.]+ MiB/s, about [0-9]+ s left)\n");
    EXPECT_TRUE(std::regex_match(err, one_line)) << err;
    EXPECT_FALSE(progress_take_request());
}

TEST_F(Progress, AWaitForAChildAnswersARequestAndTheChildKeepsTheDefaultAction) {
    progress_set_phase(ProgressPhase::restoring);
    ASSERT_EQ(raise(SIGUSR1), 0);
    testing::internal::CaptureStderr();
    {
        // The child sends itself SIGUSR1: at its default action it ends by it.
        ChildProcess child;
        const char* argv[] = {"/bin/sh", "-c", "sleep 0.2; kill -USR1 $$; exit 0", nullptr};
        ASSERT_EQ(child.start(argv), 0);
        while (!child.has_ended()) child.sleep_until_exit(50);
        child.reap();
        EXPECT_EQ(child.exit_code(), -1);
        EXPECT_EQ(child.term_signal(), SIGUSR1);
    }
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("[qor] INFO  progress: restoring, for 0 s\n"), std::string::npos) << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << "exactly one line: " << err;
}

}  // namespace
}  // namespace qor
