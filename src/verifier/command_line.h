#pragma once

#include <cstddef>

#include "common/options.h"
#include "compare/compare_stats.h"
#include "verifier/verify_options.h"

namespace qor {

inline constexpr std::size_t SEARCH_DIR_BUFFER = 1024;

// The program's own options, for the warning pass.
extern const OptionSpec verifier_options[];

// Reads the program's options into *opts. When --search-dir is absent the
// directory part of --meta is derived into search_buf. True when the options
// are usable; false after writing the usage error to standard error, with the
// exit status for it in *exit_status.
bool cli_read_options(int argc, char** argv, VerifyOptions* opts, char* search_buf,
                      std::size_t search_buf_size, int* exit_status);

// Logs the verdict line for the sequence's result and returns the exit status.
int cli_report_outcome(int result, const VerifyOptions* opts, const CompareStats* stats,
                       const char* msg);

}  // namespace qor
