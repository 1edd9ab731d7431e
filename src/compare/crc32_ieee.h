#pragma once

#include <cstddef>
#include <cstdint>

namespace qor {

// CRC-32 as GPT headers carry it: IEEE 802.3 polynomial, reflected
// (0xEDB88320), initial value all ones, result complemented.
std::uint32_t crc32_ieee(const void* data, std::size_t length);

}  // namespace qor
