#include "common/crc32c.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace qor {
namespace {

constexpr std::uint32_t CHECK = 0xE3069283;  // CRC-32C("123456789")

std::vector<std::uint8_t> sample(std::size_t size) {
    std::vector<std::uint8_t> data(size);
    std::uint32_t x = 0x12345678;
    for (auto& b : data) {
        x = x * 1103515245 + 12345;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    return data;
}

TEST(Crc32c, GivesTheCheckValueOnEveryPath) {
    EXPECT_EQ(crc32c_table(0, "123456789", 9), CHECK);
    EXPECT_EQ(crc32c(0, "123456789", 9), CHECK);
    if (!crc32c_has_hw()) GTEST_SKIP() << "processor has no SSE4.2 CRC32 instruction";
    EXPECT_EQ(crc32c_hw(0, "123456789", 9), CHECK);
}

TEST(Crc32c, ZeroLengthReturnsTheSeed) {
    EXPECT_EQ(crc32c_table(0xDEADBEEF, nullptr, 0), 0xDEADBEEFu);
    EXPECT_EQ(crc32c(0xDEADBEEF, "x", 0), 0xDEADBEEFu);
}

TEST(Crc32c, HardwareAgreesWithTableForEveryLengthAndAlignment) {
    if (!crc32c_has_hw()) GTEST_SKIP() << "processor has no SSE4.2 CRC32 instruction";
    auto data = sample(80);
    for (std::size_t offset = 0; offset < 8; ++offset) {
        for (std::size_t length = 0; length <= 64; ++length) {
            const std::uint8_t* p = data.data() + offset;
            ASSERT_EQ(crc32c_hw(0x5A5A5A5A, p, length), crc32c_table(0x5A5A5A5A, p, length))
                << "offset " << offset << " length " << length;
        }
    }
}

TEST(Crc32c, SplitInputContinuesTheChecksum) {
    auto data = sample(1000);
    std::uint32_t whole = crc32c_table(0, data.data(), data.size());
    EXPECT_EQ(crc32c(0, data.data(), data.size()), whole);
    for (std::size_t split : {0u, 1u, 7u, 13u, 500u, 999u, 1000u}) {
        std::uint32_t first = crc32c(0, data.data(), split);
        EXPECT_EQ(crc32c(first, data.data() + split, data.size() - split), whole) << split;
        std::uint32_t t_first = crc32c_table(0, data.data(), split);
        EXPECT_EQ(crc32c_table(t_first, data.data() + split, data.size() - split), whole) << split;
    }
}

}  // namespace
}  // namespace qor
