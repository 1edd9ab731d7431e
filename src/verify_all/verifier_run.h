#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "verify_all/config.h"
#include "verify_all/outcome.h"

namespace qor {

// The qor_verifier command line for one backup: values joined to their
// options with "=", so that no path can be read as an option word, and the
// restore's words after "--".
std::vector<std::string> verifier_command(const std::string& meta_path,
                                          const ResolvedSettings& settings);

// Runs argv (argv[0] found through PATH), its standard error streamed
// through to ours line by line while the verdict line is kept in
// run->verdict. A stop signal that reaches us (SIGINT, SIGTERM, SIGHUP) is
// passed on to it, and we wait while it cleans up; so is every progress
// request (SIGUSR1). After timeout_seconds (0: never) it gets SIGTERM, we
// wait while it cleans up, and run->timed_out is set. 0 when it ran (see
// *run), -1 when it could not be started or its program could not be
// executed, with the sentence in err.
int verifier_run(const std::vector<std::string>& argv, std::int64_t timeout_seconds,
                 VerifierRun* run, char* err, std::size_t err_size);

// The shape of verifier_run, so that a pass can be given another runner.
using VerifierRunner = int (*)(const std::vector<std::string>& argv, std::int64_t timeout_seconds,
                               VerifierRun* run, char* err, std::size_t err_size);

}  // namespace qor
