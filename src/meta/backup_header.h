#pragma once

#include <cstddef>
#include <cstdint>

namespace qor {

inline constexpr std::size_t BACKUP_HEADER_RECORD_SIZE = 131072;  // bytes read from the .meta file
inline constexpr std::uint32_t BACKUP_HEADER_MAGIC = 0x4D524F51;  // "QORM" as little-endian u32
inline constexpr std::size_t BACKUP_HEADER_MIN_BYTES = 4096;
inline constexpr std::uint32_t BACKUP_HEADER_MAX_LENGTH = 4194304;
inline constexpr std::size_t BACKUP_HEADER_SNAPSHOT_REF_OFFSET = 25157;

// The first 128 KiB of a .meta file, with the fields the verifier uses decoded.
struct BackupHeader {
    // The record as stored; bytes beyond a short file are zero. One guard byte
    // past the record stays zero, so snapshot_ref() always ends inside this object.
    std::uint8_t raw[BACKUP_HEADER_RECORD_SIZE + 1];
    std::uint32_t magic;
    std::uint16_t version;
    std::uint32_t header_length;
    std::uint32_t chunk_size;   // 0 stands for the default chunk size
    std::uint64_t source_size;  // bytes of the backed-up volume

    // The recorded snapshot reference: the text at its offset up to the first
    // zero byte, cut at the end of the record; empty when none was recorded.
    const char* snapshot_ref() const {
        return reinterpret_cast<const char*>(raw + BACKUP_HEADER_SNAPSHOT_REF_OFFSET);
    }
};

// Reads and validates the header of the .meta file at path into *header.
// Returns 0, the mapped code of a failed open or read, ERR_GENERIC for a path
// that is not a regular file (or a link to one), ERR_FORMAT for a file
// that is not a backup header, or ERR_UNSUPPORTED for version 2 or higher.
int read_backup_header(const char* path, BackupHeader* header);

}  // namespace qor
