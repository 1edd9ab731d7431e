#include "verify_all/outcome.h"

#include <gtest/gtest.h>

#include "verify_all/verdict_catcher.h"

namespace qor {
namespace {

constexpr const char* kDiffersByte =
    "verification failed: the restored target differs from the snapshot: 1 of the compared "
    "chunks mismatched, first at byte offset 0";
constexpr const char* kDiffersFs =
    "verification failed: the restored target differs from the snapshot (see the logged 'diff "
    "-rq' output above for which files)";

TEST(Outcome, TakesTheSentenceOfVerdictLinesOnly) {
    std::string v;
    EXPECT_TRUE(
        outcome_verdict_from_line("2026-12-07T21:08:39Z [qor_verifier] INFO  verified identical: 8 "
                                  "bytes compared, 0 mismatches",
                                  &v));
    EXPECT_EQ(v, "verified identical: 8 bytes compared, 0 mismatches");
    EXPECT_TRUE(outcome_verdict_from_line(
        "2026-12-07T21:08:39Z [qor_verifier] ERROR verification failed: cannot read /x.meta\r",
        &v));
    EXPECT_EQ(v, "verification failed: cannot read /x.meta");

    for (const char* line : {
             "2026-12-07T21:08:39Z [qor_verifier] WARN  verification failed: not a verdict level",
             "2026-12-07T21:08:39Z [qor_restore] ERROR verification failed: another program",
             "2026-12-07T21:08:39Z [qor_verifier] INFO  verified OK but could not remove the "
             "snapshot",
             "verification failed: no time stamp",
             "",
         }) {
        v = "kept";
        EXPECT_FALSE(outcome_verdict_from_line(line, &v)) << line;
        EXPECT_EQ(v, "kept");
    }
}

TEST(Outcome, ClassifiesByExitStatusAndVerdictTogether) {
    struct Case {
        int exit_status;
        int signal;
        std::string verdict;
        OutcomeClass expected;
    } cases[] = {
        {0, 0, "verified identical: no differing files found", OutcomeClass::identical},
        {1, 0, kDiffersByte, OutcomeClass::differs},
        {1, 0, kDiffersFs, OutcomeClass::differs},
        {1, 0, "verification failed: cannot create the restore target: vg0/x already exists",
         OutcomeClass::could_not_verify},
        {1, 0, "verification failed: comparison failed: short read from /dev/x at offset 0",
         OutcomeClass::could_not_verify},
        // The two halves must agree: a status alone or a sentence alone is not enough.
        {0, 0, "", OutcomeClass::could_not_verify},
        {0, 0, kDiffersByte, OutcomeClass::could_not_verify},
        {1, 0, "verified identical: 8 bytes compared, 0 mismatches",
         OutcomeClass::could_not_verify},
        {2, 0, "", OutcomeClass::could_not_verify},
        {127, 0, "", OutcomeClass::could_not_verify},
        {-1, 9, "verified identical: 8 bytes compared, 0 mismatches",
         OutcomeClass::could_not_verify},
    };
    for (const Case& c : cases) {
        VerifierRun run{c.exit_status, c.signal, c.verdict};
        EXPECT_EQ(outcome_classify(run), c.expected) << c.exit_status << " " << c.verdict;
    }
    EXPECT_STREQ(outcome_class_name(OutcomeClass::could_not_verify), "could-not-verify");
}

TEST(Outcome, BytesComparedOnlyFromAByteModeIdenticalVerdict) {
    EXPECT_EQ(outcome_bytes_compared("verified identical: 8388608 bytes compared, 0 mismatches"),
              8388608u);
    EXPECT_EQ(outcome_bytes_compared("verified identical: no differing files found"), std::nullopt);
    EXPECT_EQ(outcome_bytes_compared(kDiffersByte), std::nullopt);
    EXPECT_EQ(outcome_bytes_compared("verified identical: 12 apples"), std::nullopt);
}

TEST(VerdictCatcher, FindsTheLastVerdictInChunksCutAnywhere) {
    const std::string stream =
        "2026-12-07T21:08:39Z [qor_verifier] WARN  ignoring unknown argument 'x'\n"
        "qor_restore: 50% done\r60% done\n"
        "2026-12-07T21:08:40Z [qor_verifier] ERROR verification failed: first\n"
        "2026-12-07T21:08:41Z [qor_verifier] ERROR verification failed: the last one";
    for (std::size_t step : {1u, 7u, 64u, 4096u}) {
        VerdictCatcher catcher;
        for (std::size_t i = 0; i < stream.size(); i += step) catcher.feed(stream.substr(i, step));
        EXPECT_EQ(catcher.verdict(), "verification failed: first") << step;
        catcher.finish();  // the last line had no newline
        EXPECT_EQ(catcher.verdict(), "verification failed: the last one") << step;
    }
}

TEST(VerdictCatcher, AnOverlongLineIsNoVerdictAndDoesNotSpoilTheNext) {
    VerdictCatcher catcher;
    std::string verdict = "2026-12-07T21:08:39Z [qor_verifier] ERROR verification failed: x";
    catcher.feed(verdict + std::string(VerdictCatcher::VERDICT_LINE_MAX, 'y') + "\n");
    EXPECT_EQ(catcher.verdict(), "");
    catcher.feed(verdict + "\n");
    EXPECT_EQ(catcher.verdict(), "verification failed: x");
}

}  // namespace
}  // namespace qor
