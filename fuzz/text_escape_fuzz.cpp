#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "common/text_escape.h"
#include "fuzz_check.h"

using namespace qor;

namespace {

// Valid UTF-8, judged on its own here rather than by the escaper's decoder:
// no overlong form, surrogate, code point past U+10FFFF or C1 control.
bool is_clean_utf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        auto b = static_cast<unsigned char>(s[i]);
        if (b < 0x80) {
            ++i;
            continue;
        }
        std::size_t n = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 0;
        if (n == 0 || i + n > s.size()) return false;
        std::uint32_t cp = b & (0x7Fu >> n);
        for (std::size_t k = 1; k < n; ++k) {
            auto c = static_cast<unsigned char>(s[i + k]);
            if ((c & 0xC0u) != 0x80u) return false;
            cp = (cp << 6) | (c & 0x3Fu);
        }
        const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF) || cp <= 0x9F)
            return false;
        i += n;
    }
    return true;
}

bool has_control_byte(std::string_view s) {
    for (char c : s) {
        auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F) return true;
    }
    return false;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The escapes undone; false when the text holds a backslash that starts no
// escape of the escaper's own, which would make two inputs look alike.
bool unescape(std::string_view s, std::string* out) {
    out->clear();
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\') {
            out->push_back(s[i]);
            continue;
        }
        if (i + 1 >= s.size()) return false;
        const char e = s[++i];
        if (e == 'n' || e == 'r' || e == 't' || e == '\\') {
            out->push_back(e == 'n' ? '\n' : e == 'r' ? '\r' : e == 't' ? '\t' : '\\');
        } else if (e == 'x' && i + 2 < s.size() && hex_value(s[i + 1]) >= 0 &&
                   hex_value(s[i + 2]) >= 0) {
            out->push_back(static_cast<char>(hex_value(s[i + 1]) * 16 + hex_value(s[i + 2])));
            i += 2;
        } else {
            return false;
        }
    }
    return true;
}

void check_one_line(std::string_view in, std::size_t size) {
    std::vector<char> buf(size + 1, '#');  // one guard byte past the buffer
    const std::size_t n = text_escape(buf.data(), size, in);
    FUZZ_CHECK(buf[size] == '#');
    FUZZ_CHECK(n < size && buf[n] == '\0' && std::strlen(buf.data()) == n);
    const std::string_view out(buf.data(), n);
    FUZZ_CHECK(!has_control_byte(out));
    FUZZ_CHECK(is_clean_utf8(out));
    // What was written is the start of the input, exactly; all of it when the
    // buffer had room for every byte as a four-character escape.
    std::string back;
    FUZZ_CHECK(unescape(out, &back));
    FUZZ_CHECK(in.substr(0, back.size()) == back);
    if (size > 4 * in.size()) FUZZ_CHECK(back == in);
}

void check_lines(std::string_view in, std::size_t size) {
    static constexpr std::string_view INDENT = "    ";
    std::vector<char> buf(size + 1, '#');
    const std::size_t n = text_escape_lines(buf.data(), size, in, INDENT);
    FUZZ_CHECK(buf[size] == '#');
    FUZZ_CHECK(n < size && buf[n] == '\0' && std::strlen(buf.data()) == n);
    const std::string_view out(buf.data(), n);
    FUZZ_CHECK(is_clean_utf8(out));
    // A line end is the only control byte, and each one starts an indented line.
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (out[i] != '\n') continue;
        FUZZ_CHECK(out.substr(i + 1, INDENT.size()) == INDENT);
    }
    std::string without_breaks;
    for (char c : out) {
        if (c != '\n') without_breaks.push_back(c);
    }
    FUZZ_CHECK(!has_control_byte(without_breaks));
}

}  // namespace

// The first byte picks the buffer size (1 to 256 bytes), so that cutting is
// tried as often as whole copies; the rest is the outside text.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t buf_size = static_cast<std::size_t>(data[0]) + 1;
    const std::string_view in(reinterpret_cast<const char*>(data + 1), size - 1);
    check_one_line(in, buf_size);
    check_one_line(in, 4 * in.size() + 1);
    check_lines(in, buf_size);
    check_lines(in, 5 * in.size() + 1);
    return 0;
}
