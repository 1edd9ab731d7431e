#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "common/options.h"
#include "fuzz_check.h"
#include "support/test_argv.h"
#include "verifier/command_line.h"

using namespace qor;

namespace {

// Entries of a table before its terminating entry.
std::size_t table_size(const OptionSpec* table) {
    std::size_t n = 0;
    while (table[n].long_name != nullptr) ++n;
    return n;
}

constexpr std::size_t MAX_WORDS = 64;
const char DEFAULT[] = "default";

// The input split at zero bytes, at most MAX_WORDS words after the program name.
std::vector<std::string> words_from(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> words;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= size && words.size() + 1 < MAX_WORDS; ++i) {
        if (i == size || data[i] == 0) {
            words.emplace_back(reinterpret_cast<const char*>(data + start), i - start);
            start = i + 1;
        }
    }
    return words;
}

// True when p lies within one of the words, terminator included.
bool points_into_words(const TestArgv& a, const char* p) {
    for (const std::string& w : a.words()) {
        if (p >= w.data() && p <= w.data() + w.size()) return true;
    }
    return false;
}

bool word_is_present(const TestArgv& a, const char* name) {
    if (name == nullptr) return false;
    for (std::size_t i = 1; i < a.words().size(); ++i) {
        if (a.words()[i] == name) return true;
    }
    return false;
}

void check_table(TestArgv& a, const OptionSpec* table) {
    for (const OptionSpec* entry = table; entry->long_name != nullptr; ++entry) {
        const char* v = arg_value(a.argc(), a.argv(), entry->long_name, entry->short_name, DEFAULT);
        FUZZ_CHECK(v == DEFAULT || points_into_words(a, v));
        const int flag = arg_flag(a.argc(), a.argv(), entry->long_name, entry->short_name);
        FUZZ_CHECK(flag ==
                   (word_is_present(a, entry->long_name) || word_is_present(a, entry->short_name)));
    }
}

// Whatever option_match returns is an entry of the table, and a value it
// reports lies after an "=" in the word itself.
void check_match(const char* word) {
    const char* inline_value = DEFAULT;
    const OptionSpec* entry = option_match(verifier_options, word, &inline_value);
    if (entry == nullptr) return;
    FUZZ_CHECK(entry >= verifier_options &&
               entry < verifier_options + table_size(verifier_options));
    if (inline_value == nullptr) return;
    // A flag given "=value" is no use of the flag.
    FUZZ_CHECK(entry->takes_value == 1);
    const std::size_t len = std::strlen(word);
    FUZZ_CHECK(inline_value > word && inline_value <= word + len && inline_value[-1] == '=');
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The unknown-word warnings go to the stderr stream; pointing that stream
    // (not descriptor 2, where the fuzzer and sanitizers report) at /dev/null
    // keeps the fuzzer's output readable.
    std::FILE* null = std::fopen("/dev/null", "w");
    if (null != nullptr) stderr = null;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    TestArgv a(words_from(data, size));
    check_table(a, verifier_options);
    check_table(a, common_options);
    for (int i = 1; i < a.argc(); ++i) check_match(a.argv()[i]);

    const int warnings = warn_unknown_args(a.argc(), a.argv(), verifier_options, 0);
    FUZZ_CHECK(warnings >= 0 && warnings <= a.argc() - 1);
    return 0;
}
