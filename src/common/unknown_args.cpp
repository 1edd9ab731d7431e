#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "common/console_log.h"
#include "common/options.h"
#include "common/run_log.h"
#include "common/text_escape.h"

namespace qor {
namespace {

// Room for a word when no buffer for all of it can be had.
constexpr std::size_t SHOWN_WORD_FALLBACK_BYTES = 512;

// Shown on the console whole and kept in the run log (which cuts its lines)
// alike, with the word escaped: an argument may hold a line end or a terminal
// control sequence. An escape takes at most four bytes per byte of the word.
void warn_word(const char* fmt, std::string_view word) __attribute__((format(printf, 1, 0)));

void warn_word(const char* fmt, std::string_view word) {
    char fallback[SHOWN_WORD_FALLBACK_BYTES];
    const std::size_t whole = 4 * word.size() + 1;
    std::unique_ptr<char[]> heap(new (std::nothrow) char[whole]);
    char* shown = heap != nullptr ? heap.get() : fallback;
    text_escape(shown, heap != nullptr ? whole : sizeof fallback, word);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    runlog_log(RUNLOG_WARN, fmt, shown);
    runlog_event(RUNLOG_CAT_RUN, fmt, shown);
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
                warn_word("unexpected argument '%s' ignored", word);
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
            warn_word("unknown option '%s=...' ignored", std::string_view(word, eq - word));
        } else if (!has_next || argv[i + 1][0] == '-') {
            warn_word("unknown option '%s' ignored", word);
        } else {
            warn_word("unknown option '%s' ignored (with the value after it)", word);
            ++i;
        }
    }
    return warnings;
}

}  // namespace qor
