#include "common/sha256_pair.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace qor {
namespace {

std::string digest_of(const std::uint8_t* digest) {
    return std::string(digest, digest + SHA256_DIGEST_BYTES);
}

class Sha256PairTest : public testing::TestWithParam<bool> {};

// Both digests are libcrypto's one-shot digests of each message, however the
// pair is fed: around both padding cases and block edges, one byte at a
// time, and in pieces that leave part of a block behind each time.
TEST_P(Sha256PairTest, GivesEachMessageItsOneShotDigest) {
    if (GetParam() && !sha256_pair_has_hw()) GTEST_SKIP() << "no SHA instructions here";
    std::vector<std::uint8_t> message[2];
    for (int i = 0; i < 5000; ++i) {
        message[0].push_back(static_cast<std::uint8_t>(i * 7 + i / 256));
        message[1].push_back(static_cast<std::uint8_t>(i * 13 + 1));
    }
    struct Case {
        std::size_t length;
        std::size_t piece;
    };
    const Case cases[] = {
        {0, 1},     {1, 1},     {55, 55},   {56, 56},     {63, 63},    {64, 64},
        {65, 65},   {119, 119}, {120, 120}, {128, 1},     {1000, 100}, {1000, 3},
        {4999, 70}, {5000, 64}, {5000, 1},  {4096, 4096},
    };
    Sha256Pair pair(GetParam());
    EXPECT_EQ(pair.accelerated(), GetParam());
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.length << " bytes in pieces of " << c.piece);
        for (std::size_t at = 0; at < c.length; at += c.piece) {
            const std::size_t take = std::min(c.piece, c.length - at);
            pair.update(message[0].data() + at, message[1].data() + at, take);
        }
        std::uint8_t got[2][SHA256_DIGEST_BYTES];
        pair.finish(got[0], got[1]);
        for (int i = 0; i < 2; ++i) {
            std::uint8_t want[SHA256_DIGEST_BYTES];
            sha256_oneshot(message[i].data(), c.length, want);
            EXPECT_EQ(digest_of(got[i]), digest_of(want)) << "message " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, Sha256PairTest, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool>& engine) {
                             return engine.param ? "ProcessorInstructions" : "Libcrypto";
                         });

}  // namespace
}  // namespace qor
