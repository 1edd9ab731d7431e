#pragma once

#include <cstddef>
#include <string_view>

#include "common/text_escape.h"

namespace qor {

// Outside text escaped by text_escape into a buffer of its own, for placing
// into one message. The default size holds any path; a longer text is cut.
template <std::size_t N = 4096>
class EscapedText {
  public:
    explicit EscapedText(std::string_view text) { text_escape(buf_, N, text); }
    const char* c_str() const { return buf_; }

  private:
    char buf_[N];
};

}  // namespace qor
