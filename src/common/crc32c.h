#pragma once

#include <cstddef>
#include <cstdint>

namespace qor {

// CRC-32C (Castagnoli, reflected 0x82F63B78, initial and final complement).
// Seed 0 starts a checksum; an earlier result as seed continues it. Uses the
// SSE4.2 instruction when the processor has it, a table otherwise.
std::uint32_t crc32c(std::uint32_t seed, const void* data, std::size_t length);

// The two paths, exposed so that tests can hold them against each other.
std::uint32_t crc32c_table(std::uint32_t seed, const void* data, std::size_t length);
std::uint32_t crc32c_hw(std::uint32_t seed, const void* data, std::size_t length);
bool crc32c_has_hw();

}  // namespace qor
