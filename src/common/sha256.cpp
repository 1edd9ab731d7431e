#include "common/sha256.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <cstdlib>

namespace qor {
namespace {

// Fetched once and kept for the life of the process.
EVP_MD* g_sha256 = nullptr;

const EVP_MD* sha256_md() {
    if (g_sha256 == nullptr) {
        g_sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
        if (g_sha256 == nullptr) sha256_fatal();
    }
    return g_sha256;
}

}  // namespace

void sha256_oneshot(const void* data, std::size_t length, std::uint8_t* digest) {
    unsigned int digest_length = 0;
    if (EVP_Digest(data, length, digest, &digest_length, sha256_md(), nullptr) != 1) {
        sha256_fatal();
    }
}

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
    if (ctx_ == nullptr || EVP_DigestInit_ex2(ctx_, sha256_md(), nullptr) != 1) sha256_fatal();
}

Sha256::~Sha256() {
    EVP_MD_CTX_free(ctx_);
}

void Sha256::update(const void* data, std::size_t length) {
    if (EVP_DigestUpdate(ctx_, data, length) != 1) sha256_fatal();
}

void Sha256::finish(std::uint8_t* digest) {
    unsigned int digest_length = 0;
    if (EVP_DigestFinal_ex(ctx_, digest, &digest_length) != 1) sha256_fatal();
    if (EVP_DigestInit_ex2(ctx_, nullptr, nullptr) != 1) sha256_fatal();
}

void sha256_fatal() {
    static constexpr char MESSAGE[] = "fatal: OpenSSL SHA-256 failed\n";
    // A comparison that cannot hash cannot judge; stop without running exit handlers.
    ssize_t ignored = ::write(STDERR_FILENO, MESSAGE, sizeof MESSAGE - 1);
    (void)ignored;
    std::abort();
}

}  // namespace qor
