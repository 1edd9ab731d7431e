#include "common/text_escape.h"

#include <gtest/gtest.h>

#include <string>

namespace qor {
namespace {

std::string escaped(std::string_view in, std::size_t size = 256) {
    std::string buf(size, '#');
    std::size_t n = text_escape(buf.data(), buf.size(), in);
    EXPECT_EQ(n, std::string(buf.c_str()).size());
    return buf.c_str();
}

TEST(TextEscape, KeepsOrdinaryTextAndUtf8) {
    EXPECT_EQ(escaped("vg0/home_snap"), "vg0/home_snap");
    EXPECT_EQ(escaped("Gr\xC3\xBC\xC3\x9F\x65 \xE2\x82\xAC \xF0\x9F\x98\x80"),
              "Gr\xC3\xBC\xC3\x9F\x65 \xE2\x82\xAC \xF0\x9F\x98\x80");
}

// Each row: a hostile input and what must reach the log instead.
TEST(TextEscape, MakesControlsAndBrokenUtf8Visible) {
    const struct {
        const char* in;
        std::size_t len;
        const char* out;
    } rows[] = {
        {"a\nb", 3, "a\\nb"},
        {"a\r\tb", 4, "a\\r\\tb"},
        {"\x1b[31mred", 8, "\\x1b[31mred"},
        {"x\x7f", 2, "x\\x7f"},
        {"nul\0after", 9, "nul\\x00after"},
        {"back\\slash", 10, "back\\\\slash"},
        {"\xff\xfe", 2, "\\xff\\xfe"},
        {"\xC3", 1, "\\xc3"},                    // truncated sequence
        {"\xC0\xAF", 2, "\\xc0\\xaf"},           // overlong "/"
        {"\xED\xA0\x80", 3, "\\xed\\xa0\\x80"},  // surrogate
        {"\xC2\x9B", 2, "\\xc2\\x9b"},           // C1 control introducer
        // Format characters and separators, each at an end of a range
        {"a\xE2\x80\xAEgpj.exe", 11, "a\\u{202E}gpj.exe"},  // right-to-left override
        {"a\xE2\x80\xA8"
         "b\xE2\x80\xA9",
         8, "a\\u{2028}b\\u{2029}"},
        {"\xEF\xBB\xBFx\xC2\xAD", 6, "\\u{FEFF}x\\u{00AD}"},
        {"\xE2\x80\x8B\xE2\x81\xA9", 6, "\\u{200B}\\u{2069}"},
        {"\xF3\xA0\x80\x81\xF3\xA0\x81\xBF", 8, "\\u{E0001}\\u{E007F}"},  // tags
        // Neighbours of ranges stay readable: U+2027, U+2065 (unassigned), U+FEFE
        {"\xE2\x80\xA7\xE2\x81\xA5\xEF\xBB\xBE", 9, "\xE2\x80\xA7\xE2\x81\xA5\xEF\xBB\xBE"},
    };
    for (const auto& r : rows) EXPECT_EQ(escaped(std::string_view(r.in, r.len)), r.out) << r.out;
}

TEST(TextEscape, TruncatesOnlyBetweenWholeEscapesAndCharacters) {
    EXPECT_EQ(escaped("abc\ndef", 6), "abc\\n");
    EXPECT_EQ(escaped("abc\ndef", 5), "abc");
    EXPECT_EQ(escaped("ab\xE2\x82\xAC", 5), "ab");
    EXPECT_EQ(escaped("anything", 1), "");
    char untouched = 'x';
    EXPECT_EQ(text_escape(&untouched, 0, "abc"), 0u);
    EXPECT_EQ(untouched, 'x');
}

TEST(TextEscapeLines, IndentsEveryContinuationLine) {
    char buf[256];
    const char forged[] =
        "Only in /a: x\n2026-12-08T00:00:00Z [qor_verifier] INFO  verified identical: 1 "
        "bytes\r\n\n";
    text_escape_lines(buf, sizeof buf, forged, "    ");
    EXPECT_STREQ(buf,
                 "Only in /a: x\n    2026-12-08T00:00:00Z [qor_verifier] INFO  verified identical: "
                 "1 bytes");
    text_escape_lines(buf, sizeof buf, "one\x1b\ntwo", "> ");
    EXPECT_STREQ(buf, "one\\x1b\n> two");
    text_escape_lines(buf, 8, "abcd\nefgh", "  ");
    EXPECT_STREQ(buf, "abcd");
}

}  // namespace
}  // namespace qor
