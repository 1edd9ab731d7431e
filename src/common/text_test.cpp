#include "common/text.h"

#include <gtest/gtest.h>

#include <cstring>

namespace qor {
namespace {

TEST(TextFormat, TruncatesAndAlwaysTerminates) {
    char buf[8];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(text_format(buf, sizeof buf, "%s-%d", "abcdef", 1234), 11);
    EXPECT_STREQ(buf, "abcdef-");
    EXPECT_EQ(text_format(buf, sizeof buf, "%d", 42), 2);
    EXPECT_STREQ(buf, "42");
}

TEST(TextFormat, LeavesNullOrEmptyBuffersAlone) {
    char buf[4] = "abc";
    EXPECT_EQ(text_format(buf, 0, "%s", "zzz"), 0);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(text_format(nullptr, 10, "%s", "zzz"), 0);
    char one[1] = {'q'};
    text_format(one, 1, "%s", "zzz");
    EXPECT_EQ(one[0], '\0');
}

TEST(TextCopy, CutsToTheBuffer) {
    char buf[5];
    text_copy(buf, sizeof buf, "abcdefgh");
    EXPECT_STREQ(buf, "abcd");
    text_copy(buf, sizeof buf, "");
    EXPECT_STREQ(buf, "");
    text_copy(buf, 0, "zz");
    EXPECT_STREQ(buf, "");
    text_copy(buf, sizeof buf, "ab");
    text_clear(buf, sizeof buf);
    EXPECT_STREQ(buf, "");
    text_clear(nullptr, 5);
}

}  // namespace
}  // namespace qor
