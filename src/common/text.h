#pragma once

#include <cstddef>
#include <string_view>

// Fixed-size text: every formatted or copied write into a caller's buffer goes
// through these helpers, so every one truncates and always terminates.
namespace qor {

// Formats into buf (size bytes, cut to fit, always NUL-terminated). Does
// nothing when buf is null or size is 0. Returns the length it would have had.
int text_format(char* buf, std::size_t size, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));

// Copies src into buf, cut to size - 1 bytes; does nothing for a null buf or size 0.
void text_copy(char* buf, std::size_t size, std::string_view src);

// Empties a caller's message buffer when it is present and non-empty in size.
inline void text_clear(char* buf, std::size_t size) {
    if (buf != nullptr && size > 0) buf[0] = '\0';
}

}  // namespace qor
