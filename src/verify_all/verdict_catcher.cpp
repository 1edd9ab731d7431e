#include "verify_all/verdict_catcher.h"

#include "verify_all/outcome.h"

namespace qor {

void VerdictCatcher::feed(std::string_view chunk) {
    while (!chunk.empty()) {
        std::size_t nl = chunk.find('\n');
        std::string_view part = chunk.substr(0, nl);
        if (!overlong_) {
            if (line_.size() + part.size() > VERDICT_LINE_MAX) {
                overlong_ = true;
                line_.clear();
            } else {
                line_.append(part);
            }
        }
        if (nl == std::string_view::npos) return;
        line_done();
        chunk.remove_prefix(nl + 1);
    }
}

void VerdictCatcher::finish() {
    if (!line_.empty() || overlong_) line_done();
}

void VerdictCatcher::line_done() {
    std::string sentence;
    if (!overlong_ && outcome_verdict_from_line(line_, &sentence)) verdict_ = std::move(sentence);
    line_.clear();
    overlong_ = false;
}

}  // namespace qor
