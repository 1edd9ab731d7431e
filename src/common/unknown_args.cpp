#include <cstring>

#include "common/console_log.h"
#include "common/options.h"
#include "common/run_log.h"

namespace qor {
namespace {

// Shown on the console and kept in the run log alike. Callers pass literal
// formats (checked at the call) that take exactly a precision and a word.
void warn_word(const char* fmt, int precision, const char* word)
    __attribute__((format(printf, 1, 0)));

void warn_word(const char* fmt, int precision, const char* word) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    runlog_log(RUNLOG_WARN, fmt, precision, word);
    runlog_event(RUNLOG_CAT_RUN, fmt, precision, word);
#pragma GCC diagnostic pop
}

const OptionSpec* match_known(const OptionSpec* program_table, const char* word,
                              const char** inline_value) {
    *inline_value = nullptr;
    const OptionSpec* entry = option_match(program_table, word, inline_value);
    if (entry == nullptr) entry = option_match(common_options, word, inline_value);
    // The logging options only exist once the run log has read them.
    if (entry == nullptr && runlog_ready() == 1)
        entry = option_match(runlog_options, word, inline_value);
    return entry;
}

int word_length(const char* word) {
    return static_cast<int>(std::strlen(word));
}

}  // namespace

int warn_unknown_args(int argc, char** argv, const OptionSpec* program_table, int max_positionals) {
    if (argc < 2) return 0;
    int warnings = 0;
    int plain_words = 0;
    for (int i = 1; i < argc; ++i) {
        const char* word = argv[i];
        // Everything after "--" belongs to the restore program.
        if (std::strcmp(word, "--") == 0) return warnings;
        bool has_next = i + 1 < argc;
        if (word[0] != '-' || word[1] == '\0') {
            if (plain_words >= max_positionals) {
                warn_word("unexpected argument '%.*s' ignored", word_length(word), word);
                ++warnings;
            }
            ++plain_words;
            continue;
        }
        const char* inline_value = nullptr;
        const OptionSpec* entry = match_known(program_table, word, &inline_value);
        if (entry != nullptr) {
            if (entry->takes_value != 1 || inline_value != nullptr) continue;
            if (!has_next) return warnings;
            ++i;  // its value, whatever it looks like
            continue;
        }
        ++warnings;
        if (const char* eq = std::strchr(word, '='); eq != nullptr) {
            warn_word("unknown option '%.*s=...' ignored", static_cast<int>(eq - word), word);
        } else if (!has_next || argv[i + 1][0] == '-') {
            warn_word("unknown option '%.*s' ignored", word_length(word), word);
        } else {
            warn_word("unknown option '%.*s' ignored (with the value after it)", word_length(word),
                      word);
            ++i;
        }
    }
    return warnings;
}

}  // namespace qor
