#pragma once

#include <cstddef>
#include <string>

#include "common/unique_fd.h"

// One pass at a time: an exclusive flock on a lock file, held for the whole
// pass and let go by the kernel however the pass ends.
namespace qor {

// Takes the lock at path (creating the file, mode 0644, and its missing
// parent directories) and writes our pid into it. 0 when taken (*lock holds
// it; closing it lets go); 1 when another pass holds it, with its pid in
// *holder (0 when the file does not tell); -1 with the sentence in err.
int pass_lock_take(const std::string& path, UniqueFd* lock, long* holder, char* err,
                   std::size_t err_size);

}  // namespace qor
