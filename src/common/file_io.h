#pragma once

#include <cstddef>
#include <cstdint>

// The three file primitives through which headers, partition tables and
// superblocks are read. Results are suite error codes (common/error.h).
namespace qor {

// Opens path read-only (O_RDONLY, no other flag). Returns 0 and stores the
// descriptor in *fd_out (the caller then owns it), or the mapped error code.
int file_open_read(const char* path, int* fd_out);

// One positioned read of up to count bytes at offset. Returns 0 and stores the
// number of bytes read in *got (when got is not null; a short read is not an
// error here), or the mapped error code of the failed read.
int file_pread(int fd, void* buf, std::size_t count, std::uint64_t offset, std::size_t* got);

// Closes fd; a negative descriptor is ignored. Returns 0 or the mapped code.
int file_close(int fd);

}  // namespace qor
