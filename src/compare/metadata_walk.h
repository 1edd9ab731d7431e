#pragma once

#include <atomic>
#include <cstdint>
#include <set>
#include <string>

namespace qor {

// What a file system keeps of a file besides its contents, and so what the
// walk compares. Type, device numbers and extended attributes always.
struct MetadataRules {
    bool owner_and_mode;  // owner, group and permission bits
    bool mtime;           // modification time in whole seconds
    bool ntfs_names;      // ntfs-3g's security descriptor and attribute flags
};

// The rules for a file system as fs_identify names it. vfat has no owner or
// mode, only what mount options make up, and keeps local times that depend
// on the time zone; ntfs-3g without a user mapping makes up owner and mode
// too, while the security descriptor it derives them from is compared whole.
// Any other name keeps everything.
MetadataRules metadata_rules_for(const char* fs_name);

// Exit statuses of metadata_walk.
inline constexpr int WALK_SAME = 0;
inline constexpr int WALK_DIFFERENT = 1;
inline constexpr int WALK_FAILED = 2;

// Walks two mounted trees in step, one directory at a time, names sorted,
// without following links or leaving either mount, and writes one escaped
// line per difference of the names both hold to out_fd, such as "owner of
// <S>/etc/shadow is 0, of <T>/etc/shadow 1000". Names on one side only, of
// different types, and those in `reported` (relative names diff has already
// reported) get no line. Each entry compared adds one to *entries. Returns
// WALK_SAME, WALK_DIFFERENT, or WALK_FAILED with one sentence as the last line.
int metadata_walk(const char* snapshot_root, const char* target_root, const MetadataRules& rules,
                  const std::set<std::string>& reported, std::atomic<std::uint64_t>* entries,
                  int out_fd);

}  // namespace qor
