#include "common/sha256.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace qor {
namespace {

std::string hex_digest(const std::string& data) {
    std::uint8_t digest[SHA256_DIGEST_BYTES];
    sha256_oneshot(data.data(), data.size(), digest);
    std::string hex;
    char byte[3];
    for (std::uint8_t b : digest) {
        std::snprintf(byte, sizeof byte, "%02x", b);
        hex += byte;
    }
    return hex;
}

TEST(Sha256, MatchesPublishedVectors) {
    EXPECT_EQ(hex_digest("abc"),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hex_digest(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hex_digest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

TEST(Sha256DeathTest, FatalWritesOneLineAndAborts) {
    EXPECT_DEATH(sha256_fatal(), "^fatal: OpenSSL SHA-256 failed\n$");
}

}  // namespace
}  // namespace qor
