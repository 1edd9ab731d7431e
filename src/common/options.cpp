#include "common/options.h"

#include <cstring>

namespace qor {

const OptionSpec common_options[] = {
    {"--help", "-h", 0},
    {"--version", nullptr, 0},
    {"--selftest", nullptr, 0},
    {nullptr, nullptr, 0},
};

const OptionSpec runlog_options[] = {
    {"--no-syslog", nullptr, 0}, {"--no-log", nullptr, 0},   {"--syslog", nullptr, 1},
    {"--log", nullptr, 1},       {"--log-path", nullptr, 1}, {nullptr, nullptr, 0},
};

namespace {

// The text after long_name when word starts with it: "" when word ends there,
// "=..." when a value follows; null when word is not this option at all.
const char* long_name_rest(const char* word, const char* long_name) {
    std::size_t n = std::strlen(long_name);
    if (std::strncmp(word, long_name, n) != 0) return nullptr;
    const char* rest = word + n;
    return (*rest == '\0' || *rest == '=') ? rest : nullptr;
}

}  // namespace

const char* arg_value(int argc, char** argv, const char* long_name, const char* short_name,
                      const char* dflt) {
    if (argc <= 1 || (long_name == nullptr && short_name == nullptr)) return dflt;
    for (int i = 1; i < argc; ++i) {
        const char* word = argv[i];
        bool separate = false;
        if (long_name != nullptr) {
            const char* rest = long_name_rest(word, long_name);
            if (rest != nullptr && *rest == '=') return rest + 1;
            separate = rest != nullptr;
        }
        if (!separate && short_name != nullptr) separate = std::strcmp(word, short_name) == 0;
        if (separate) return i + 1 < argc ? argv[i + 1] : dflt;
    }
    return dflt;
}

int arg_flag(int argc, char** argv, const char* long_name, const char* short_name) {
    for (int i = 1; i < argc; ++i) {
        if (long_name != nullptr && std::strcmp(argv[i], long_name) == 0) return 1;
        if (short_name != nullptr && std::strcmp(argv[i], short_name) == 0) return 1;
    }
    return 0;
}

const OptionSpec* option_match(const OptionSpec* table, const char* word,
                               const char** inline_value) {
    const char* unused = nullptr;
    if (inline_value == nullptr) inline_value = &unused;
    if (table == nullptr) return nullptr;
    for (const OptionSpec* entry = table; entry->long_name != nullptr; ++entry) {
        const char* rest = long_name_rest(word, entry->long_name);
        if (rest != nullptr && *rest == '\0') {
            *inline_value = nullptr;
            return entry;
        }
        if (rest != nullptr) {
            *inline_value = rest + 1;
            if (entry->takes_value == 1) return entry;
            // A flag given "=value" is no use of this entry, not even by short name.
            continue;
        }
        if (entry->short_name != nullptr && std::strcmp(word, entry->short_name) == 0) {
            *inline_value = nullptr;
            return entry;
        }
    }
    return nullptr;
}

}  // namespace qor
