#pragma once

#include <cstddef>
#include <cstdint>

namespace qor {

inline constexpr std::size_t SHA256_DIGEST_BYTES = 32;

// Writes the SHA-256 digest of data into digest (32 bytes). Returns only on
// success: a libcrypto failure ends the process through sha256_fatal.
void sha256_oneshot(const void* data, std::size_t length, std::uint8_t* digest);

// Writes "fatal: OpenSSL SHA-256 failed" to standard error and aborts.
[[noreturn]] void sha256_fatal();

}  // namespace qor
