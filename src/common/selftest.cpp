#include "common/selftest.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "common/build_info.h"
#include "common/codec.h"
#include "common/crc32c.h"
#include "common/options.h"
#include "common/sha256.h"
#include "common/text.h"

namespace qor {
namespace {

constexpr std::size_t SELFTEST_DATA_BYTES = 262144;
constexpr std::size_t SELFTEST_MSG_BYTES = 256;
constexpr int SELFTEST_ZSTD_LEVEL = 3;

// FIPS 180 test vector: SHA-256("abc").
constexpr std::uint8_t SHA256_ABC[SHA256_DIGEST_BYTES] = {
    0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40, 0xde, 0x5d, 0xae, 0x22, 0x23,
    0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17, 0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad,
};
constexpr std::uint32_t CRC32C_CHECK = 0xE3069283;  // CRC-32C("123456789")

std::unique_ptr<std::uint8_t[]> allocate(std::size_t size) {
    return std::unique_ptr<std::uint8_t[]>(new (std::nothrow) std::uint8_t[size]);
}

// Compressible but not trivial: 00 07 0e 15 ..., byte 32 is e1.
void fill_pattern(std::uint8_t* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>((7 * i) ^ (i >> 5));
}

bool sha256_is_right() {
    std::uint8_t digest[SHA256_DIGEST_BYTES];
    sha256_oneshot("abc", 3, digest);
    return std::memcmp(digest, SHA256_ABC, sizeof digest) == 0;
}

// Compresses, expands and compares; the sentence of the first failing step or null.
const char* round_trip_failure(int codec, const char* failure_sentence, const unsigned char* data) {
    std::size_t bound = codec_bound(codec, SELFTEST_DATA_BYTES);
    auto packed = allocate(bound);
    auto output = allocate(SELFTEST_DATA_BYTES);
    if (!packed || !output) return "out of memory";
    if (data == nullptr) return failure_sentence;
    std::size_t packed_size =
        codec_compress(codec, SELFTEST_ZSTD_LEVEL, data, SELFTEST_DATA_BYTES, packed.get(), bound);
    if (packed_size == 0) return failure_sentence;
    std::size_t produced = 0;
    if (codec_decompress(codec, packed.get(), packed_size, output.get(), SELFTEST_DATA_BYTES,
                         &produced) != 0 ||
        produced != SELFTEST_DATA_BYTES) {
        return failure_sentence;
    }
    if (std::memcmp(output.get(), data, SELFTEST_DATA_BYTES) != 0) return failure_sentence;
    return nullptr;
}

}  // namespace

const char* version_string() {
    return QOR_VERSION_STRING;
}
const char* build_string() {
    return QOR_BUILD_STRING;
}

int codec_round_trip(int codec, const char* failure_sentence, const unsigned char* data, char* msg,
                     std::size_t msg_size) {
    const char* failure = round_trip_failure(codec, failure_sentence, data);
    if (failure == nullptr) return 0;
    text_format(msg, msg_size, "%s", failure);
    return 1;
}

int run_selftest(char* msg, std::size_t msg_size) {
    text_clear(msg, msg_size);
    if (!sha256_is_right()) {
        text_format(msg, msg_size, "%s", "SHA-256 gives a wrong result");
        return 1;
    }
    if (crc32c(0, "123456789", 9) != CRC32C_CHECK) {
        text_format(msg, msg_size, "%s", "CRC32C gives a wrong result");
        return 1;
    }
    auto data = allocate(SELFTEST_DATA_BYTES);
    if (!data) {
        text_format(msg, msg_size, "%s", "out of memory");
        return 1;
    }
    fill_pattern(data.get(), SELFTEST_DATA_BYTES);
    int result = codec_round_trip(CODEC_ZSTD, "zstd round trip failed", data.get(), msg, msg_size);
    if (result == 0) {
        result = codec_round_trip(CODEC_LZ4, "lz4 round trip failed", data.get(), msg, msg_size);
    }
    return result;
}

int handle_version_selftest(int argc, char** argv, const char* program_name) {
    if (arg_flag(argc, argv, "--version", nullptr)) {
        std::printf("%s %s\n", program_name, version_string());
        return 0;
    }
    if (!arg_flag(argc, argv, "--selftest", nullptr)) return -1;
    char msg[SELFTEST_MSG_BYTES] = {};
    if (run_selftest(msg, sizeof msg) != 0) {
        std::fprintf(stderr, "%s: selftest failed: %s\n", program_name, msg);
        return 1;
    }
    std::printf("%s %s: selftest ok\n", program_name, version_string());
    return 0;
}

}  // namespace qor
