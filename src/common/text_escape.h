#pragma once

#include <cstddef>
#include <string_view>

// Text from outside (a .meta, tool output, file names read from an image) is
// placed into messages only through these, so that no byte of it can end a
// log line, start a forged one, or reach a terminal as a control sequence.
namespace qor {

// Copies text into buf (size bytes, always NUL-terminated) with every control
// byte (C0, DEL), every C1 control character and every byte that is not part
// of valid UTF-8 replaced by a visible escape: "\n", "\r", "\t", "\\" for a
// backslash, otherwise "\xNN". Characters that would change how the line
// reads (Unicode format characters such as bidirectional controls and
// zero-width ones, line and paragraph separators) become "\u{XXXX}". Other
// valid UTF-8 and printable ASCII stay as they are; no character grows to
// more than four bytes per input byte. Never cuts an escape or a character
// in half. Returns the length written; does nothing for a null buf or size 0.
std::size_t text_escape(char* buf, std::size_t size, std::string_view text);

// As text_escape, for output of several lines: each line is escaped on its
// own and every line after the first starts with indent, so no continuation
// can look like a log line of its own. Trailing line ends are dropped.
std::size_t text_escape_lines(char* buf, std::size_t size, std::string_view text,
                              std::string_view indent);

}  // namespace qor
