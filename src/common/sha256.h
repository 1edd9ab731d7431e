#pragma once

#include <cstddef>
#include <cstdint>

struct evp_md_ctx_st;

namespace qor {

inline constexpr std::size_t SHA256_DIGEST_BYTES = 32;

// Writes the SHA-256 digest of data into digest (32 bytes). Returns only on
// success: a libcrypto failure ends the process through sha256_fatal.
void sha256_oneshot(const void* data, std::size_t length, std::uint8_t* digest);

// SHA-256 of a message fed in pieces of any size, so that the memory a digest
// needs does not grow with the message. finish() writes the digest and starts
// the next message. Like sha256_oneshot, every libcrypto failure (allocation
// of the context included) ends the process through sha256_fatal.
class Sha256 {
  public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(const void* data, std::size_t length);
    void finish(std::uint8_t* digest);

  private:
    evp_md_ctx_st* ctx_;
};

// Writes "fatal: OpenSSL SHA-256 failed" to standard error and aborts.
[[noreturn]] void sha256_fatal();

}  // namespace qor
