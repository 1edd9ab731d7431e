#pragma once

#include <cstring>

namespace qor {

// Drops the trailing newlines and carriage returns of a tool's captured
// output, so that quoting it does not break the line it is quoted in.
inline void tool_output_trim(char* text) {
    std::size_t n = std::strlen(text);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r')) text[--n] = '\0';
}

}  // namespace qor
