#pragma once

#include <cstddef>
#include <cstdint>

#include "common/unique_fd.h"

// The file primitives through which headers, partition tables, superblocks
// and compared images are read. Results are suite error codes (common/error.h)
// unless said otherwise.
namespace qor {

// Opens path read-only and close-on-exec into *fd, which then owns the
// descriptor. Returns 0, or the mapped error code with *fd closed; errno is
// left as the failed open set it, for callers that quote the system's text.
int file_open_read(const char* path, UniqueFd* fd);

// Opens path read-only into *fd for a file that must be a regular one (a
// symbolic link to one is fine): non-blocking, so that a FIFO cannot stall
// the open, and closed again unless fstat says regular file. Returns 0, the
// mapped code of a failed open, or ERR_GENERIC for any other kind of file.
int file_open_regular(const char* path, UniqueFd* fd);

// One positioned read of up to count bytes at offset. Returns 0 and stores the
// number of bytes read in *got (when got is not null; a short read is not an
// error here), or the mapped error code of the failed read.
int file_pread(int fd, void* buf, std::size_t count, std::uint64_t offset, std::size_t* got);

// Positioned reads until length bytes, end of file or an error (EINTR retried).
// Returns the bytes read (fewer only at end of file) or -1 with errno set.
std::int64_t read_full_at(int fd, void* buf, std::size_t length, std::uint64_t offset);

// Writes until size bytes are written or a write fails (EINTR retried).
// Returns the bytes written (fewer only after a failure, with errno set).
std::size_t file_write_all(int fd, const void* data, std::size_t size);

// Closes fd; a negative descriptor is ignored. Returns 0 or the mapped code.
int file_close(int fd);

}  // namespace qor
