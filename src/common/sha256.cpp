#include "common/sha256.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <cstdlib>

namespace qor {
namespace {

// Fetched once and kept for the life of the process.
EVP_MD* g_sha256 = nullptr;

}  // namespace

void sha256_oneshot(const void* data, std::size_t length, std::uint8_t* digest) {
    if (g_sha256 == nullptr) {
        g_sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
        if (g_sha256 == nullptr) sha256_fatal();
    }
    unsigned int digest_length = 0;
    if (EVP_Digest(data, length, digest, &digest_length, g_sha256, nullptr) != 1) sha256_fatal();
}

void sha256_fatal() {
    static constexpr char MESSAGE[] = "fatal: OpenSSL SHA-256 failed\n";
    // A comparison that cannot hash cannot judge; stop without running exit handlers.
    ssize_t ignored = ::write(STDERR_FILENO, MESSAGE, sizeof MESSAGE - 1);
    (void)ignored;
    std::abort();
}

}  // namespace qor
