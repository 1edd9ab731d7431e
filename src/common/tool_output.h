#pragma once

#include <cstring>
#include <string_view>

#include "common/text_escape.h"

namespace qor {

// Drops the trailing newlines and carriage returns of a tool's captured
// output, so that quoting it does not break the line it is quoted in.
inline void tool_output_trim(char* text) {
    std::size_t n = std::strlen(text);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r')) text[--n] = '\0';
}

// A tool's captured output as it may stand inside a one-line message: the
// trailing line ends dropped, then every other control byte and broken UTF-8
// escaped (text_escape), cut to fit buf. Returns buf.
inline const char* tool_output_shown(char* buf, std::size_t size, std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    text_escape(buf, size, text);
    return buf;
}

}  // namespace qor
