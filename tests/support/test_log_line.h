#pragma once

// For unit tests: takes apart the lines the console logger and the run log write.
#include <cctype>
#include <cstddef>
#include <string>
#include <string_view>

namespace qor {

// True when line starts with a UTC stamp such as "2026-12-07T21:08:39Z" and a blank.
inline bool log_line_has_stamp(std::string_view line) {
    constexpr std::string_view SHAPE = "dddd-dd-ddTdd:dd:ddZ ";
    if (line.size() < SHAPE.size()) return false;
    for (std::size_t i = 0; i < SHAPE.size(); ++i) {
        bool ok = SHAPE[i] == 'd' ? std::isdigit(static_cast<unsigned char>(line[i])) != 0
                                  : line[i] == SHAPE[i];
        if (!ok) return false;
    }
    return true;
}

// Stores in *rest the text after the stamp and "[tag] "; false when line lacks either.
inline bool log_line_after_tag(std::string_view line, std::string_view tag, std::string* rest) {
    if (!log_line_has_stamp(line)) return false;
    line.remove_prefix(21);
    std::string head = "[" + std::string(tag) + "] ";
    if (line.substr(0, head.size()) != head) return false;
    *rest = std::string(line.substr(head.size()));
    return true;
}

}  // namespace qor
