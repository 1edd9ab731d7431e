#pragma once

#include <cstddef>
#include <cstdint>

namespace qor {

inline constexpr std::size_t FS_NAME_BYTES = 32;

// What one region of a device holds, as found before anything is mounted.
struct FsIdentity {
    char name[FS_NAME_BYTES];  // "ext4", "ntfs", "vfat", "swap", "LVM2_member", ...; "" for nothing
    std::int32_t is_filesystem;  // 1: libblkid (or the own probe) calls it a file system
};

// Identifies what [offset, offset + size) of path holds (size 0: up to the
// end): ext2/3/4 and NTFS with probe_filesystem, anything else with libblkid,
// under libblkid's own names. Which of them are mounted is not decided here. A region where several
// signatures disagree counts as holding nothing. 0, or the suite error code of an open that failed
// (*id then says nothing was found).
int fs_identify(const char* path, std::uint64_t offset, std::uint64_t size, FsIdentity* id);

}  // namespace qor
