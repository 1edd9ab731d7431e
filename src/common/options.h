#pragma once

// Option scanning: each option is fetched by name straight from the argument
// vector where it is needed; one separate pass warns about unknown words.
namespace qor {

struct OptionSpec {
    const char* long_name;   // with its leading "--"; null ends a table
    const char* short_name;  // such as "-h", or null
    int takes_value;         // 1: followed by a value or carrying one after "="
};

extern const OptionSpec common_options[];  // --help/-h, --version, --selftest
extern const OptionSpec runlog_options[];  // the logging options

// The value of the option (a pointer into argv), or dflt. The first occurrence
// decides; words after a literal "--" are searched too.
const char* arg_value(int argc, char** argv, const char* long_name, const char* short_name,
                      const char* dflt);

// 1 when a word equals long_name or short_name exactly, else 0.
int arg_flag(int argc, char** argv, const char* long_name, const char* short_name);

// The entry of table matching word, or null; *inline_value gets the text after
// "=" when the word carried one (null otherwise).
const OptionSpec* option_match(const OptionSpec* table, const char* word,
                               const char** inline_value);

// Warns (console WARN line and run-log event) about every word before "--"
// that no table accounts for; returns the number of warnings.
int warn_unknown_args(int argc, char** argv, const OptionSpec* program_table, int max_positionals);

}  // namespace qor
