#pragma once

#include <cstdio>

namespace qor {

struct VerifyAllOptions {
    const char* config_path;  // points into argv, or the default path
    bool dry_run;
    bool status;  // answer from the history, run nothing
    bool json;    // the status as one JSON object
};

// Reads the command line. -1 when the pass should run (*opts filled);
// otherwise the exit status to end with at once: 0 after printing the usage
// for --help, 2 after a usage error on standard error (3, UNKNOWN, with
// --status). Logging options and
// --version/--selftest are accepted and left to their own handlers.
int verify_all_read_options(int argc, char** argv, VerifyAllOptions* opts);

// The version line, an empty line and the usage text.
void verify_all_usage_print(std::FILE* out);

}  // namespace qor
