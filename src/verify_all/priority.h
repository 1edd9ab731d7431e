#pragma once

#include <cstddef>

#include "verify_all/config.h"

namespace qor {

// Lowers this process's CPU and I/O priority (inherited by every verifier it
// starts): nice value nice_value, I/O class io_class (best-effort at its
// lowest level). 0, or -1 with the sentence in err; nothing is raised.
int priority_lower(int nice_value, IoClass io_class, char* err, std::size_t err_size);

}  // namespace qor
