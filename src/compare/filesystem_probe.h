#pragma once

#include <cstdint>

namespace qor {

inline constexpr int FS_UNKNOWN = 0;
inline constexpr int FS_EXT2 = 1;
inline constexpr int FS_EXT3 = 2;
inline constexpr int FS_EXT4 = 3;
inline constexpr int FS_NTFS = 4;

// Recognises NTFS, ext2, ext3 and ext4 from the 2048 bytes at offset.
// 0 with *fs_type set (FS_UNKNOWN when nothing matched or the read was short),
// or the error code of the failed open or read (*fs_type FS_UNKNOWN).
int probe_filesystem(const char* path, std::uint64_t offset, int* fs_type);

}  // namespace qor
