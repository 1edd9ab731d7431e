#include "common/sha256.h"

#include <gtest/gtest.h>

#include <algorithm>
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

// Any cut of a message into pieces gives its one-shot digest, and a finished
// digest starts the next message afresh.
TEST(Sha256, PiecesGiveTheOneShotDigest) {
    std::string message;
    for (int i = 0; i < 1000; ++i) message += static_cast<char>(i * 37);
    std::uint8_t whole[SHA256_DIGEST_BYTES];
    sha256_oneshot(message.data(), message.size(), whole);
    Sha256 hash;
    for (std::size_t piece : {std::size_t{1}, std::size_t{63}, std::size_t{64}, std::size_t{999}}) {
        SCOPED_TRACE(piece);
        for (std::size_t at = 0; at < message.size(); at += piece) {
            hash.update(message.data() + at, std::min(piece, message.size() - at));
        }
        std::uint8_t pieces[SHA256_DIGEST_BYTES];
        hash.finish(pieces);
        EXPECT_EQ(std::string(pieces, pieces + sizeof pieces),
                  std::string(whole, whole + sizeof whole));
    }
    std::uint8_t empty[SHA256_DIGEST_BYTES];
    hash.finish(empty);
    EXPECT_EQ(empty[0], 0xe3);  // e3b0c442...: nothing of the earlier messages is left
    EXPECT_EQ(empty[31], 0x55);
}

TEST(Sha256DeathTest, FatalWritesOneLineAndAborts) {
    EXPECT_DEATH(sha256_fatal(), "^fatal: OpenSSL SHA-256 failed\n$");
}

}  // namespace
}  // namespace qor
