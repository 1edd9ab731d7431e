#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "common/text_escape.h"
#include "fuzz_check.h"

using namespace qor;

namespace {

// Which code points must never reach a line raw, read from the Unicode data
// files rather than from the escaper's own table: the general categories Cf,
// Zl and Zp of Unicode 15.0 (Debian's unicode-data package).
constexpr const char* CATEGORY_FILE = "/usr/share/unicode/extracted/DerivedGeneralCategory.txt";
constexpr std::uint32_t CODE_POINTS = 0x110000;

std::vector<bool> load_must_escape() {
    std::vector<bool> set(CODE_POINTS, false);
    std::ifstream in(CATEGORY_FILE);
    std::string line;
    if (!std::getline(in, line) || line.find("-15.0.0.txt") == std::string::npos) {
        std::fprintf(stderr, "%s: missing or not Unicode 15.0 (install unicode-data)\n",
                     CATEGORY_FILE);
        std::abort();
    }
    int listed = 0;
    while (std::getline(in, line)) {
        unsigned first = 0;
        unsigned last = 0;
        char category[3] = "";
        if (std::sscanf(line.c_str(), "%x..%x ; %2s", &first, &last, category) != 3) {
            if (std::sscanf(line.c_str(), "%x ; %2s", &first, category) != 2) continue;
            last = first;
        }
        const std::string_view c(category);
        if (c != "Cf" && c != "Zl" && c != "Zp") continue;
        for (unsigned cp = first; cp <= last && cp < CODE_POINTS; ++cp) set[cp] = true;
        ++listed;
    }
    FUZZ_CHECK(listed > 20);  // the file was read, not merely opened
    return set;
}

const std::vector<bool>& must_escape() {
    static const std::vector<bool> set = load_must_escape();
    return set;
}

// The C library's own judgement, in a UTF-8 locale: it counts the line and
// paragraph separators, C0 and C1 as controls.
bool libc_says_control(std::uint32_t cp) {
    static const bool utf8 = std::setlocale(LC_CTYPE, "C.UTF-8") != nullptr;
    FUZZ_CHECK(utf8);
    return std::iswcntrl(static_cast<std::wint_t>(cp)) != 0;
}

void append_utf8(std::uint32_t cp, std::string* out) {
    if (cp < 0x80) {
        out->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

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
        // No format character or separator shows raw.
        if (must_escape()[cp] || libc_says_control(cp)) return false;
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

// "\u{XXXX}" at s[i] (the backslash) naming a character that must be escaped,
// in its one spelling: four to six upper-case hex digits, no needless zero.
// Any other character written this way would be a readable one made unreadable.
std::size_t code_point_escape(std::string_view s, std::size_t i, std::uint32_t* cp) {
    if (s.substr(i, 3) != "\\u{") return 0;
    std::size_t end = s.find('}', i + 3);
    if (end == std::string_view::npos) return 0;
    std::string_view digits = s.substr(i + 3, end - i - 3);
    if (digits.size() < 4 || digits.size() > 6 || (digits.size() > 4 && digits[0] == '0')) return 0;
    *cp = 0;
    for (char d : digits) {
        int v = d >= '0' && d <= '9' ? d - '0' : d >= 'A' && d <= 'F' ? d - 'A' + 10 : -1;
        if (v < 0) return 0;
        *cp = *cp * 16 + static_cast<std::uint32_t>(v);
    }
    if (*cp >= CODE_POINTS || !must_escape()[*cp]) return 0;
    return end - i + 1;
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
        std::uint32_t cp = 0;
        if (std::size_t n = code_point_escape(s, i, &cp); n > 0) {
            append_utf8(cp, out);
            i += n - 1;
            continue;
        }
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
