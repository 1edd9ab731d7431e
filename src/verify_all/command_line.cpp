#include "verify_all/command_line.h"

#include <cstring>

#include "common/options.h"
#include "common/selftest.h"
#include "verify_all/config.h"
#include "verify_all/escaped_text.h"

namespace qor {
namespace {

const OptionSpec kVerifyAllOptions[] = {
    {"--config", "-c", 1},  {"--dry-run", "-n", 0}, {"--status", nullptr, 0},
    {"--json", nullptr, 0}, {nullptr, nullptr, 0},
};

constexpr const char* kUsage =
    R"USAGE(Usage: qor_verify_all [--config <file>] [--dry-run] [logging options]
       qor_verify_all [--config <file>] --status [--json]

Verifies the newest backup of every volume named in the configuration, one
after another, by running qor_verifier for each; appends each outcome to a
JSON-lines history and writes node_exporter metrics.

  -c, --config <file>  configuration (default: /etc/qor/verify-all.conf)
  -n, --dry-run        list what would be verified; run and write nothing
      --status         one line on the state of every volume, read from the
                       history: exit 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN
      --json           with --status: one JSON object instead

Exit status: 0 every volume identical, 1 at least one backup differs,
2 bad usage or configuration, 3 none differs but something was not verified,
4 another pass is running (nothing was verified).

Logging: --no-syslog, --no-log, --syslog <bitmask>, --log <bitmask>,
         --log-path <dir> (default: /var/log/qor/), as for qor_verifier.)USAGE";

// The table entry a word belongs to, looked up in every table this program accepts.
const OptionSpec* match_any(const char* word, const char** inline_value) {
    for (const OptionSpec* table : {kVerifyAllOptions, common_options, runlog_options}) {
        if (const OptionSpec* option = option_match(table, word, inline_value)) return option;
    }
    return nullptr;
}

int usage_error(const char* what, const char* word) {
    std::fprintf(stderr, "error: %s '%s' (use --help)\n", what, EscapedText<256>(word).c_str());
    return 2;
}

int read_options(int argc, char** argv, VerifyAllOptions* opts) {
    for (int i = 1; i < argc; ++i) {
        const char* inline_value = nullptr;
        const OptionSpec* option = match_any(argv[i], &inline_value);
        if (option == nullptr) {
            return usage_error(argv[i][0] == '-' ? "unknown option" : "unexpected word", argv[i]);
        }
        if (option->takes_value && inline_value == nullptr) {
            if (i + 1 >= argc) return usage_error("a value is missing after", argv[i]);
            ++i;
        }
    }
    if (arg_flag(argc, argv, "--help", "-h")) {
        verify_all_usage_print(stdout);
        return 0;
    }
    opts->config_path = arg_value(argc, argv, "--config", "-c", VERIFY_ALL_CONFIG_PATH);
    opts->dry_run = arg_flag(argc, argv, "--dry-run", "-n") != 0;
    opts->status = arg_flag(argc, argv, "--status", nullptr) != 0;
    opts->json = arg_flag(argc, argv, "--json", nullptr) != 0;
    if (opts->config_path[0] == '\0') return usage_error("an empty value for", "--config");
    if (opts->json && !opts->status) return usage_error("--json needs", "--status");
    if (opts->status && opts->dry_run) return usage_error("--status excludes", "--dry-run");
    return -1;
}

}  // namespace

int verify_all_read_options(int argc, char** argv, VerifyAllOptions* opts) {
    int status = read_options(argc, argv, opts);
    // A monitoring system reads 2 as CRITICAL; a check's own usage error is UNKNOWN.
    if (status == 2 && arg_flag(argc, argv, "--status", nullptr)) return 3;
    return status;
}

void verify_all_usage_print(std::FILE* out) {
    std::fprintf(out, "qor_verify_all %s (build %s)\n\n%s\n", version_string(), build_string(),
                 kUsage);
}

}  // namespace qor
