#pragma once

#include <cstddef>
#include <cstdint>

// Size and zeroing of what the verifier reads and writes whole: a block
// device, or a regular file standing in for one.
namespace qor {

// Stores the size in bytes of the block device or regular file at path: the
// device's own size, not what any tool reports about it. Returns 0, or -1
// with one sentence in err.
int block_device_size(const char* path, std::uint64_t* size, char* err, std::size_t err_size);

// Makes every byte of the block device or regular file at path read as zero,
// in steps so that an interruption is noticed between them. A block device
// is zeroed by the kernel (BLKZEROOUT: unmapped where the device can, written
// otherwise); a regular file gets its blocks released. Returns 0, or -1 with
// one sentence in err (also when interrupted).
int block_device_zero(const char* path, char* err, std::size_t err_size);

}  // namespace qor
