#include "compare/fs_identify.h"

#include <blkid/blkid.h>

#include <cstring>
#include <memory>
#include <string_view>

#include "common/file_io.h"
#include "common/text.h"
#include "compare/filesystem_probe.h"

namespace qor {
namespace {

struct ProbeFree {
    void operator()(blkid_struct_probe* probe) const { blkid_free_probe(probe); }
};
using Probe = std::unique_ptr<blkid_struct_probe, ProbeFree>;

const char* own_probe_name(int fs_type) {
    switch (fs_type) {
        case FS_EXT2:
            return "ext2";
        case FS_EXT3:
            return "ext3";
        case FS_EXT4:
            return "ext4";
        case FS_NTFS:
            return "ntfs";
        default:
            return nullptr;
    }
}

// libblkid's own names are letters, digits and "_" ("LVM2_member",
// "crypto_LUKS"); anything else is not taken as a name.
bool name_is_plain(std::string_view name) {
    if (name.empty() || name.size() >= FS_NAME_BYTES) return false;
    for (char c : name) {
        const bool plain =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        if (!plain) return false;
    }
    return true;
}

// libblkid's answer for the region: its TYPE and whether its USAGE is a file
// system. Nothing for no signature, for disagreeing signatures (-2) and for
// a failed probe.
void blkid_identify(int fd, std::uint64_t offset, std::uint64_t size, FsIdentity* id) {
    Probe probe(blkid_new_probe());
    if (!probe) return;
    if (blkid_probe_set_device(probe.get(), fd, static_cast<blkid_loff_t>(offset),
                               static_cast<blkid_loff_t>(size)) != 0) {
        return;
    }
    blkid_probe_enable_superblocks(probe.get(), 1);
    blkid_probe_set_superblocks_flags(probe.get(), BLKID_SUBLKS_TYPE | BLKID_SUBLKS_USAGE);
    if (blkid_do_safeprobe(probe.get()) != 0) return;
    const char* type = nullptr;
    const char* usage = nullptr;
    if (blkid_probe_lookup_value(probe.get(), "TYPE", &type, nullptr) != 0) return;
    if (blkid_probe_lookup_value(probe.get(), "USAGE", &usage, nullptr) != 0) usage = "";
    if (!name_is_plain(type)) return;
    text_copy(id->name, sizeof id->name, type);
    id->is_filesystem = std::strcmp(usage, "filesystem") == 0 ? 1 : 0;
}

}  // namespace

int fs_identify(const char* path, std::uint64_t offset, std::uint64_t size, FsIdentity* id) {
    *id = FsIdentity{};
    int fs_type = FS_UNKNOWN;
    if (probe_filesystem(path, offset, &fs_type) == 0) {
        if (const char* name = own_probe_name(fs_type)) {
            text_copy(id->name, sizeof id->name, name);
            id->is_filesystem = 1;
            return 0;
        }
    }
    UniqueFd fd;
    const int opened = file_open_read(path, &fd);
    if (opened != 0) return opened;
    blkid_identify(fd.get(), offset, size, id);
    return 0;
}

}  // namespace qor
