#pragma once

#include <cstddef>

#include "compare/compare_stats.h"
#include "verifier/verify_options.h"

namespace qor {

// Restores the backup named by opts into a scratch target, compares it with
// the kept snapshot and cleans up. 0 when identical; 1 otherwise, with one
// sentence in msg (when msg is present and msg_size non-zero).
int verify_backup(const VerifyOptions* opts, CompareStats* stats, char* msg, std::size_t msg_size);

}  // namespace qor
