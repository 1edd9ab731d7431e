#pragma once

#include <cstdio>

namespace qor {

// Writes the version line, an empty line and the usage text to out.
void usage_print(std::FILE* out);

}  // namespace qor
