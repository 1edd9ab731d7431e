#include "common/crc32c.h"

#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#include <nmmintrin.h>
#endif

namespace qor {
namespace {

constexpr std::uint32_t CRC32C_POLY = 0x82F63B78;  // Castagnoli, reflected

// Filled on first use; concurrent first calls would store the same values.
bool g_hw_decided = false;
bool g_hw = false;
bool g_table_built = false;
std::uint32_t g_table[256];

void build_table() {
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t value = n;
        for (int bit = 0; bit < 8; ++bit) {
            value = (value & 1) ? (value >> 1) ^ CRC32C_POLY : value >> 1;
        }
        g_table[n] = value;
    }
    g_table_built = true;
}

bool cpu_has_sse42() {
#if defined(__x86_64__)
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
    return (ecx & (1u << 20)) != 0;
#else
    return false;
#endif
}

}  // namespace

bool crc32c_has_hw() {
    if (!g_hw_decided) {
        g_hw = cpu_has_sse42();
        g_hw_decided = true;
    }
    return g_hw;
}

std::uint32_t crc32c_table(std::uint32_t seed, const void* data, std::size_t length) {
    if (!g_table_built) build_table();
    const auto* p = static_cast<const std::uint8_t*>(data);
    std::uint32_t value = ~seed;
    for (std::size_t i = 0; i < length; ++i) value = (value >> 8) ^ g_table[(value ^ p[i]) & 0xFF];
    return ~value;
}

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) std::uint32_t crc32c_hw(std::uint32_t seed, const void* data,
                                                          std::size_t length) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    std::uint64_t value = ~seed;
    for (; length >= 8; p += 8, length -= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, sizeof word);  // x86-64 is little-endian
        value = _mm_crc32_u64(value, word);
    }
    auto value32 = static_cast<std::uint32_t>(value);
    if (length >= 4) {
        std::uint32_t word;
        std::memcpy(&word, p, sizeof word);
        value32 = _mm_crc32_u32(value32, word);
        p += 4;
        length -= 4;
    }
    for (; length > 0; ++p, --length) value32 = _mm_crc32_u8(value32, *p);
    return ~value32;
}
#else
// Without the instruction the hardware path is the table.
std::uint32_t crc32c_hw(std::uint32_t seed, const void* data, std::size_t length) {
    return crc32c_table(seed, data, length);
}
#endif

std::uint32_t crc32c(std::uint32_t seed, const void* data, std::size_t length) {
    return crc32c_has_hw() ? crc32c_hw(seed, data, length) : crc32c_table(seed, data, length);
}

}  // namespace qor
