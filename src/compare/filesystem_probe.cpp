#include "compare/filesystem_probe.h"

#include <cstring>

#include "common/byte_order.h"
#include "common/file_io.h"

namespace qor {
namespace {

constexpr std::size_t PROBE_BYTES = 2048;

// NTFS boot sector: OEM identifier, 8 bytes at 3.
constexpr std::size_t NTFS_OEM_ID = 3;
constexpr char NTFS_OEM_TEXT[8] = {'N', 'T', 'F', 'S', ' ', ' ', ' ', ' '};

// ext2/3/4 superblock at 1024; offsets below are from the device start.
constexpr std::size_t EXT_MAGIC = 1080;             // u16, superblock + 56
constexpr std::size_t EXT_FEATURE_COMPAT = 1116;    // u32, superblock + 92
constexpr std::size_t EXT_FEATURE_INCOMPAT = 1120;  // u32, superblock + 96
constexpr std::uint16_t EXT_MAGIC_VALUE = 0xEF53;
constexpr std::uint32_t EXT_COMPAT_HAS_JOURNAL = 0x4;
constexpr std::uint32_t EXT_INCOMPAT_EXTENTS = 0x40;

int probe_classify(const std::uint8_t* block) {
    // NTFS first: its boot sector says so explicitly, the ext magic is only two bytes.
    if (std::memcmp(block + NTFS_OEM_ID, NTFS_OEM_TEXT, sizeof NTFS_OEM_TEXT) == 0) return FS_NTFS;
    if (le16(block + EXT_MAGIC) != EXT_MAGIC_VALUE) return FS_UNKNOWN;
    if (le32(block + EXT_FEATURE_INCOMPAT) & EXT_INCOMPAT_EXTENTS) return FS_EXT4;
    if (le32(block + EXT_FEATURE_COMPAT) & EXT_COMPAT_HAS_JOURNAL) return FS_EXT3;
    return FS_EXT2;
}

}  // namespace

int probe_filesystem(const char* path, std::uint64_t offset, int* fs_type) {
    int unused = FS_UNKNOWN;
    if (fs_type == nullptr) fs_type = &unused;
    *fs_type = FS_UNKNOWN;

    UniqueFd fd;
    const int opened = file_open_read(path, &fd);
    if (opened != 0) return opened;
    std::uint8_t block[PROBE_BYTES];
    std::size_t got = 0;
    const int read = file_pread(fd.get(), block, sizeof block, offset, &got);
    fd.reset();
    if (read != 0) return read;
    if (got < PROBE_BYTES) return 0;
    *fs_type = probe_classify(block);
    return 0;
}

}  // namespace qor
