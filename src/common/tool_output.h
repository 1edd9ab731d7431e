#pragma once

#include <cstring>
#include <string_view>

#include "common/text_escape.h"

namespace qor {

// A tool's captured output without its trailing newlines and carriage
// returns, so that quoting it does not break the line it is quoted in.
inline std::string_view tool_output_trimmed(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    return text;
}

// tool_output_trimmed in place.
inline void tool_output_trim(char* text) {
    text[tool_output_trimmed(text).size()] = '\0';
}

// A tool's captured output as it may stand inside a one-line message: the
// trailing line ends dropped, then every other control byte and broken UTF-8
// escaped (text_escape), cut to fit buf. Returns buf.
inline const char* tool_output_shown(char* buf, std::size_t size, std::string_view text) {
    text_escape(buf, size, tool_output_trimmed(text));
    return buf;
}

}  // namespace qor
