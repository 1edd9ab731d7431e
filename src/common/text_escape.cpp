#include "common/text_escape.h"

#include <cstdint>

namespace qor {

namespace {

// Length of the valid UTF-8 sequence starting at s[i] (overlong forms,
// surrogates and code points past U+10FFFF are not valid), or 0.
std::size_t utf8_length(std::string_view s, std::size_t i) {
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

    bool put_escaped_line(std::string_view text) {
        static constexpr char HEX[] = "0123456789abcdef";
        std::size_t i = 0;
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
            } else if (std::size_t n = b >= 0x80 ? utf8_length(text, i) : 0; n > 0) {
                ok = put(text.substr(i, n));
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
