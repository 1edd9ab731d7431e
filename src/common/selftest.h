#pragma once

#include <cstddef>

namespace qor {

// The suite's version string and build string, fixed at build time.
const char* version_string();
const char* build_string();

// Handles "--version" and "--selftest" anywhere in argv: -1 when neither is
// present, otherwise the exit status for main to return at once.
int handle_version_selftest(int argc, char** argv, const char* program_name);

// Checks SHA-256, CRC-32C and the zstd and lz4 round trips. 0 when all pass,
// 1 with the failing check's sentence in msg otherwise.
int run_selftest(char* msg, std::size_t msg_size);

// Compresses and expands 262144 bytes of data with codec; 0 when the output
// equals the input, else 1 with failure_sentence (or "out of memory") in msg.
int codec_round_trip(int codec, const char* failure_sentence, const unsigned char* data, char* msg,
                     std::size_t msg_size);

}  // namespace qor
