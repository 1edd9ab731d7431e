#include "common/codec.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "common/error.h"

namespace qor {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes compressible(std::size_t size) {
    Bytes data(size);
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>((i / 16) % 7);
    return data;
}

Bytes random_bytes(std::size_t size) {
    std::mt19937 gen(42);
    Bytes data(size);
    for (auto& b : data) b = static_cast<std::uint8_t>(gen());
    return data;
}

Bytes compress(int codec, const Bytes& data) {
    Bytes packed(codec_bound(codec, data.size()));
    packed.resize(codec_compress(codec, 3, data.data(), data.size(), packed.data(), packed.size()));
    return packed;
}

TEST(Codec, RoundTripsZstdAndLz4) {
    Bytes data = compressible(100000);
    for (int codec : {CODEC_ZSTD, CODEC_LZ4}) {
        Bytes packed = compress(codec, data);
        ASSERT_GT(packed.size(), 0u) << codec;
        EXPECT_LT(packed.size(), data.size()) << codec;
        Bytes out(data.size());
        std::size_t produced = 0;
        ASSERT_EQ(codec_decompress(codec, packed.data(), packed.size(), out.data(), out.size(),
                                   &produced),
                  0)
            << codec;
        EXPECT_EQ(produced, data.size()) << codec;
        EXPECT_EQ(out, data) << codec;
    }
}

TEST(Codec, DataThatDoesNotShrinkIsAFailure) {
    Bytes data = random_bytes(65536);
    EXPECT_EQ(compress(CODEC_ZSTD, data).size(), 0u);
    EXPECT_EQ(compress(CODEC_LZ4, data).size(), 0u);
    EXPECT_EQ(compress(CODEC_NONE, compressible(100)).size(), 0u);
    EXPECT_EQ(compress(9, compressible(100)).size(), 0u);
}

TEST(Codec, TooSmallDestinationIsAFormatError) {
    Bytes data = compressible(10000);
    for (int codec : {CODEC_ZSTD, CODEC_LZ4}) {
        Bytes packed = compress(codec, data);
        ASSERT_GT(packed.size(), 0u);
        Bytes out(data.size() - 1);
        std::size_t produced = 99;
        EXPECT_EQ(codec_decompress(codec, packed.data(), packed.size(), out.data(), out.size(),
                                   &produced),
                  ERR_FORMAT)
            << codec;
        EXPECT_EQ(produced, 99u) << "untouched on failure";
    }
}

TEST(Codec, GarbageIsAFormatError) {
    Bytes garbage = random_bytes(300);
    Bytes out(4096);
    EXPECT_EQ(codec_decompress(CODEC_ZSTD, garbage.data(), garbage.size(), out.data(), out.size(),
                               nullptr),
              ERR_FORMAT);
}

TEST(Codec, NoneCopiesWhenItFitsAndUnknownIsInvalid) {
    Bytes data = compressible(100);
    Bytes out(100);
    std::size_t produced = 0;
    EXPECT_EQ(codec_decompress(CODEC_NONE, data.data(), 100, out.data(), 100, &produced), 0);
    EXPECT_EQ(produced, 100u);
    EXPECT_EQ(out, data);
    EXPECT_EQ(codec_decompress(CODEC_NONE, data.data(), 100, out.data(), 99, &produced),
              ERR_INVALID);
    EXPECT_EQ(codec_decompress(3, data.data(), 100, out.data(), 100, &produced), ERR_INVALID);
    EXPECT_EQ(codec_decompress(-1, data.data(), 100, out.data(), 100, nullptr), ERR_INVALID);
}

}  // namespace
}  // namespace qor
