#include "common/text_escape.h"

#include <cstdint>
#include <cstdio>

namespace qor {

namespace {

// Code points that change how the text around them reads, rather than
// showing as themselves: the general categories Cf (format: bidirectional
// controls, zero-width characters, the byte order mark, tag characters), Zl
// and Zp (line and paragraph separators, which many readers take as a line
// end), as Unicode 15.0's UnicodeData.txt lists them. Sorted, inclusive.
struct CodeRange {
    std::uint32_t first;
    std::uint32_t last;
};
constexpr CodeRange FORMAT_CHARACTERS[] = {
    {0x00AD, 0x00AD},    // Cf soft hyphen
    {0x0600, 0x0605},    // Cf arabic number sign .. arabic number mark above
    {0x061C, 0x061C},    // Cf arabic letter mark
    {0x06DD, 0x06DD},    // Cf arabic end of ayah
    {0x070F, 0x070F},    // Cf syriac abbreviation mark
    {0x0890, 0x0891},    // Cf arabic pound mark above .. arabic piastre mark above
    {0x08E2, 0x08E2},    // Cf arabic disputed end of ayah
    {0x180E, 0x180E},    // Cf mongolian vowel separator
    {0x200B, 0x200F},    // Cf zero width space .. right-to-left mark
    {0x2028, 0x2028},    // Zl line separator
    {0x2029, 0x2029},    // Zp paragraph separator
    {0x202A, 0x202E},    // Cf left-to-right embedding .. right-to-left override
    {0x2060, 0x2064},    // Cf word joiner .. invisible plus
    {0x2066, 0x206F},    // Cf left-to-right isolate .. nominal digit shapes
    {0xFEFF, 0xFEFF},    // Cf zero width no-break space (byte order mark)
    {0xFFF9, 0xFFFB},    // Cf interlinear annotation anchor .. terminator
    {0x110BD, 0x110BD},  // Cf kaithi number sign
    {0x110CD, 0x110CD},  // Cf kaithi number sign above
    {0x13430, 0x1343F},  // Cf egyptian hieroglyph vertical joiner .. end walled enclosure
    {0x1BCA0, 0x1BCA3},  // Cf shorthand format letter overlap .. up step
    {0x1D173, 0x1D17A},  // Cf musical symbol begin beam .. end phrase
    {0xE0001, 0xE0001},  // Cf language tag
    {0xE0020, 0xE007F},  // Cf tag space .. cancel tag
};

bool is_format_character(std::uint32_t cp) {
    for (const CodeRange& r : FORMAT_CHARACTERS) {
        if (cp < r.first) return false;
        if (cp <= r.last) return true;
    }
    return false;
}

// Length of the valid UTF-8 sequence starting at s[i] (overlong forms,
// surrogates and code points past U+10FFFF are not valid), or 0; its code
// point in *code_point.
std::size_t utf8_length(std::string_view s, std::size_t i, std::uint32_t* code_point) {
    auto at = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char b = at(i);
    std::size_t n;
    std::uint32_t cp;
    if (b >= 0xC2 && b <= 0xDF) {
        n = 2;
        cp = b & 0x1Fu;
    } else if (b >= 0xE0 && b <= 0xEF) {
        n = 3;
        cp = b & 0x0Fu;
    } else if (b >= 0xF0 && b <= 0xF4) {
        n = 4;
        cp = b & 0x07u;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    for (std::size_t k = 1; k < n; ++k) {
        if ((at(i + k) & 0xC0u) != 0x80u) return 0;
        cp = (cp << 6) | (at(i + k) & 0x3Fu);
    }
    bool overlong = (n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000);
    bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
    // C1 controls (U+0080 to U+009F) act as escape sequences on some terminals.
    bool c1 = cp >= 0x80 && cp <= 0x9F;
    if (overlong || surrogate || c1 || cp > 0x10FFFF) return 0;
    *code_point = cp;
    return n;
}

class EscapeWriter {
  public:
    EscapeWriter(char* buf, std::size_t size) : buf_(buf), size_(size) {
        if (size_ > 0) buf_[0] = '\0';
    }

    // Appends whole or not at all, so nothing is ever cut in half.
    bool put(std::string_view piece) {
        if (full_ || len_ + piece.size() + 1 > size_) {
            full_ = true;
            return false;
        }
        for (char c : piece) buf_[len_++] = c;
        buf_[len_] = '\0';
        return true;
    }

    // "\u{XXXX}": at least four upper-case hex digits, as code charts name them.
    bool put_code_point(std::uint32_t cp) {
        char esc[16];
        const int n = std::snprintf(esc, sizeof esc, "\\u{%04X}", static_cast<unsigned>(cp));
        return put(std::string_view(esc, static_cast<std::size_t>(n)));
    }

    bool put_escaped_line(std::string_view text) {
        static constexpr char HEX[] = "0123456789abcdef";
        std::size_t i = 0;
        std::size_t n = 0;
        while (i < text.size()) {
            auto b = static_cast<unsigned char>(text[i]);
            bool ok;
            if (b == '\n') {
                ok = put("\\n");
            } else if (b == '\r') {
                ok = put("\\r");
            } else if (b == '\t') {
                ok = put("\\t");
            } else if (b == '\\') {
                ok = put("\\\\");
            } else if (b >= 0x20 && b < 0x7F) {
                ok = put(text.substr(i, 1));
            } else if (std::uint32_t cp = 0; b >= 0x80 && (n = utf8_length(text, i, &cp)) > 0) {
                ok = is_format_character(cp) ? put_code_point(cp) : put(text.substr(i, n));
                i += n - 1;
            } else {
                const char esc[] = {'\\', 'x', HEX[b >> 4], HEX[b & 0xF]};
                ok = put(std::string_view(esc, sizeof esc));
            }
            if (!ok) return false;
            ++i;
        }
        return true;
    }

    std::size_t length() const { return len_; }

    // Drops what was written after mark (a line separator with nothing after it).
    void cut_back(std::size_t mark) {
        len_ = mark;
        if (size_ > 0) buf_[len_] = '\0';
    }

  private:
    char* buf_;
    std::size_t size_;
    std::size_t len_ = 0;
    bool full_ = false;
};

}  // namespace

std::size_t text_escape(char* buf, std::size_t size, std::string_view text) {
    if (buf == nullptr || size == 0) return 0;
    EscapeWriter w(buf, size);
    w.put_escaped_line(text);
    return w.length();
}

std::size_t text_escape_lines(char* buf, std::size_t size, std::string_view text,
                              std::string_view indent) {
    if (buf == nullptr || size == 0) return 0;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    EscapeWriter w(buf, size);
    bool first = true;
    while (true) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        std::size_t mark = w.length();
        if (!first && !(w.put("\n") && w.put(indent))) {
            w.cut_back(mark);
            break;
        }
        std::size_t start = w.length();
        bool whole = w.put_escaped_line(line);
        if (!first && w.length() == start && !line.empty()) w.cut_back(mark);
        if (!whole || end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
        first = false;
    }
    return w.length();
}

}  // namespace qor
