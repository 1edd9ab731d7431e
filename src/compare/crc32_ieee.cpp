#include "compare/crc32_ieee.h"

#include <array>

namespace qor {
namespace {

constexpr std::uint32_t CRC32_IEEE_REFLECTED = 0xEDB88320u;

using Crc32Table = std::array<std::uint32_t, 256>;

Crc32Table crc32_ieee_make_table() {
    Crc32Table table{};
    for (std::uint32_t i = 0; i < table.size(); ++i) {
        std::uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit) c = (c & 1u) ? (c >> 1) ^ CRC32_IEEE_REFLECTED : c >> 1;
        table[i] = c;
    }
    return table;
}

// Built on first use and kept for the life of the process.
const Crc32Table& crc32_ieee_table() {
    static const Crc32Table table = crc32_ieee_make_table();
    return table;
}

}  // namespace

std::uint32_t crc32_ieee(const void* data, std::size_t length) {
    const Crc32Table& table = crc32_ieee_table();
    const auto* p = static_cast<const std::uint8_t*>(data);
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < length; ++i) crc = table[(crc ^ p[i]) & 0xFFu] ^ (crc >> 8);
    return ~crc;
}

}  // namespace qor
