#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qor {

// Watches qor_verifier's standard error as it streams past, in chunks cut
// anywhere, and keeps the last verdict line's sentence. Holds at most
// VERDICT_LINE_MAX bytes of the current line; a longer line is no verdict.
class VerdictCatcher {
  public:
    static constexpr std::size_t VERDICT_LINE_MAX = 8192;

    void feed(std::string_view chunk);
    // The stream has ended: a last line without its newline counts too.
    void finish();
    // The last verdict sentence seen, or empty.
    const std::string& verdict() const { return verdict_; }

  private:
    void line_done();

    std::string line_;
    bool overlong_ = false;
    std::string verdict_;
};

}  // namespace qor
