#include "common/console_log.h"

#include <gtest/gtest.h>

#include <string>

#include "support/test_log_line.h"

namespace qor {
namespace {

// Runs log_call and returns what reached standard error.
template <typename F>
std::string captured(F log_call) {
    testing::internal::CaptureStderr();
    log_call();
    return testing::internal::GetCapturedStderr();
}

// The line without its timestamp, after checking the timestamp's shape.
std::string without_stamp(const std::string& line) {
    EXPECT_TRUE(log_line_has_stamp(line)) << line;
    return log_line_has_stamp(line) ? line.substr(21) : line;
}

TEST(ConsoleLog, WritesStampTagPaddedLevelAndMessage) {
    runlog_console_init("qor_verifier", 1);
    EXPECT_EQ(without_stamp(captured([] { runlog_log(RUNLOG_INFO, "copied %d of %s", 3, "x"); })),
              "[qor_verifier] INFO  copied 3 of x\n");
    EXPECT_EQ(without_stamp(captured([] { runlog_log(RUNLOG_WARN, "w"); })),
              "[qor_verifier] WARN  w\n");
    EXPECT_EQ(without_stamp(captured([] { runlog_log(RUNLOG_ERROR, "e"); })),
              "[qor_verifier] ERROR e\n");
    EXPECT_EQ(without_stamp(captured([] { runlog_log(7, "odd"); })), "[qor_verifier] ?     odd\n");
}

TEST(ConsoleLog, DropsLinesBelowMinimumLevel) {
    runlog_console_init("t", 1);
    EXPECT_EQ(captured([] { runlog_log(RUNLOG_DEBUG, "hidden"); }), "");
    runlog_console_init("t", 3);
    EXPECT_EQ(captured([] { runlog_log(RUNLOG_WARN, "hidden"); }), "");
    EXPECT_EQ(without_stamp(captured([] { runlog_log(RUNLOG_ERROR, "shown"); })),
              "[t] ERROR shown\n");
    runlog_console_init("t", 0);
    EXPECT_EQ(without_stamp(captured([] { runlog_log(RUNLOG_DEBUG, "d"); })), "[t] DEBUG d\n");
    runlog_console_init("qor_verifier", 1);
}

TEST(ConsoleLog, CutsTagTo63CharactersButNotTheMessage) {
    std::string long_tag(80, 't');
    std::string long_message(5000, 'm');
    runlog_console_init(long_tag.c_str(), 1);
    EXPECT_EQ(without_stamp(captured([&] { runlog_log(RUNLOG_INFO, "%s", long_message.c_str()); })),
              "[" + std::string(63, 't') + "] INFO  " + long_message + "\n");
    runlog_console_init("qor_verifier", 1);
}

}  // namespace
}  // namespace qor
