#include "compare/image_layout.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <string_view>

#include "common/text.h"
#include "common/text_escape.h"

namespace qor {
namespace {

constexpr std::size_t MESSAGE_PATH_BYTES = 300;

// File systems that are mounted for the file comparison: those qor_verifier
// knows the mount options of and is tested with. Nothing else is handed to a
// kernel driver.
constexpr std::string_view MOUNTED_FILESYSTEMS[] = {"ext2", "ext3", "ext4",
                                                    "ntfs", "vfat", "squashfs"};

// What libblkid calls a swap area, also one holding a hibernation image.
constexpr std::string_view SWAP_NAMES[] = {"swap", "swsuspend"};

// Partition types named in messages when nothing was found in the partition.
// MBR type bytes first, then GPT type GUIDs as the partition reader writes them.
struct NamedType {
    std::uint32_t mbr_type;
    const char* type_guid;
    const char* name;
};
constexpr NamedType NAMED_TYPES[] = {
    {0x82, nullptr, "swap"},
    {0x8E, nullptr, "LVM"},
    {0xFD, nullptr, "RAID"},
    {0xE8, nullptr, "LUKS"},
    {0, "0657FD6D-A4AB-43C4-84E5-0933C84B4F4F", "swap"},
    {0, "E6D6D379-F507-44C2-A23C-238F2A3DF928", "LVM"},
    {0, "A19D880F-05FC-4D3B-A006-743F0F84911E", "RAID"},
    {0, "CA7D7CCB-63ED-4C53-861C-1742536059CC", "LUKS"},
    {0, "21686148-6449-6E6F-744E-656564454649", "BIOS boot"},
    {0, "E3C9E316-0B5C-4DB8-817D-F92DF00215AE", "Microsoft reserved"},
};

// The name of the entry's partition type, or null.
const char* named_type_name(const LayoutEntry& entry) {
    for (const NamedType& t : NAMED_TYPES) {
        const bool same = t.type_guid != nullptr
                              ? std::strcmp(entry.type_guid, t.type_guid) == 0
                              : entry.type_guid[0] == '\0' && entry.mbr_type == t.mbr_type;
        if (same) return t.name;
    }
    return nullptr;
}

template <std::size_t N>
bool name_is_one_of(std::string_view name, const std::string_view (&names)[N]) {
    return std::find(std::begin(names), std::end(names), name) != std::end(names);
}

void layout_add(ImageLayout* layout, const char* device_path, std::uint32_t number,
                std::uint64_t start, std::uint64_t size, const PartitionEntry* partition) {
    LayoutEntry& entry = layout->entries[layout->count++];
    entry = LayoutEntry{};
    entry.number = number;
    entry.start = start;
    entry.size = size;
    if (partition != nullptr) {
        entry.mbr_type = partition->mbr_type;
        text_copy(entry.type_guid, sizeof entry.type_guid, partition->type_guid);
    }
    fs_identify(device_path, start, size, &entry.fs);
    entry.handling = layout_entry_handling(entry, partition == nullptr);
}

// The same partition: number and type, and for one compared block by block
// also the same bytes of the device, so that both sides are read at the
// snapshot's offsets.
bool entries_have_same_place(const LayoutEntry& s, const LayoutEntry& t) {
    if (s.number != t.number || s.mbr_type != t.mbr_type ||
        std::strcmp(s.type_guid, t.type_guid) != 0) {
        return false;
    }
    return s.handling != LayoutHandling::block_compared || (s.start == t.start && s.size == t.size);
}

}  // namespace

int layout_read(const char* device_path, ImageLayout* layout, char* err, std::size_t err_size) {
    return layout_read_as(device_path, device_path, 0, layout, err, err_size);
}

int layout_read_as(const char* device_path, const char* name, std::uint32_t sector_size,
                   ImageLayout* layout, char* err, std::size_t err_size) {
    text_clear(err, err_size);
    std::memset(layout, 0, sizeof *layout);
    char shown[MESSAGE_PATH_BYTES];
    text_escape(shown, sizeof shown, name);

    // On the heap: a table of 128 entries is large for a deep call chain.
    auto table = std::make_unique<PartitionTable>();
    const int rc = read_partition_table(device_path, sector_size, table.get());
    if (rc != 0 && table->too_many) {
        text_format(err, err_size,
                    "the partition table of %s has partitions numbered past %d, more than "
                    "qor_verifier compares",
                    shown, PARTITION_TABLE_MAX);
        return -1;
    }
    if (rc != 0) {
        text_format(err, err_size, "cannot read the partition table of %s", shown);
        return -1;
    }
    layout->sector_size = table->sector_size;
    if (table->count == 0) {
        layout_add(layout, device_path, 0, 0, 0, nullptr);
        return 0;
    }
    layout->partitioned = 1;
    for (std::uint64_t i = 0; i < table->count; ++i) {
        const PartitionEntry& p = table->entries[i];
        layout_add(layout, device_path, p.number, p.start, p.size, &p);
    }
    return 0;
}

LayoutHandling layout_entry_handling(const LayoutEntry& entry, bool whole) {
    const std::string_view name = entry.fs.name;
    if (name_is_one_of(name, MOUNTED_FILESYSTEMS)) return LayoutHandling::mounted;
    const char* type_name = named_type_name(entry);
    const bool swap = name_is_one_of(name, SWAP_NAMES) ||
                      (name.empty() && type_name != nullptr && std::strcmp(type_name, "swap") == 0);
    if (whole && (swap || name.empty())) return LayoutHandling::refused;
    return swap ? LayoutHandling::skipped : LayoutHandling::block_compared;
}

void layout_entry_describe(const LayoutEntry& entry, char* text, std::size_t size) {
    const char* type_name = named_type_name(entry);
    if (entry.fs.name[0] != '\0') {
        text_escape(text, size, entry.fs.name);
    } else if (type_name != nullptr) {
        text_format(text, size, "%s (by its partition type)", type_name);
    } else {
        text_copy(text, size, "no recognised file system");
    }
}

int layout_compare(const ImageLayout& snapshot, ImageLayout* target, char* err,
                   std::size_t err_size) {
    text_clear(err, err_size);
    bool same_places =
        snapshot.partitioned == target->partitioned && snapshot.count == target->count;
    for (std::uint32_t i = 0; same_places && i < snapshot.count; ++i) {
        same_places = entries_have_same_place(snapshot.entries[i], target->entries[i]);
    }
    if (!same_places) {
        text_copy(err, err_size,
                  "the snapshot and the restored target have a different partition layout -- "
                  "cannot compare file by file");
        return 1;
    }
    for (std::uint32_t i = 0; i < snapshot.count; ++i) {
        const LayoutEntry& s = snapshot.entries[i];
        const LayoutEntry& t = target->entries[i];
        // Whatever the target holds there, its bytes are compared.
        if (s.handling == LayoutHandling::block_compared) continue;
        if (std::strcmp(s.fs.name, t.fs.name) == 0 && s.fs.is_filesystem == t.fs.is_filesystem) {
            continue;
        }
        char snapshot_holds[64];
        char target_holds[64];
        layout_entry_describe(s, snapshot_holds, sizeof snapshot_holds);
        layout_entry_describe(t, target_holds, sizeof target_holds);
        if (snapshot.partitioned) {
            text_format(err, err_size,
                        "partition %u of the restored target holds %s where the snapshot's holds "
                        "%s -- cannot compare file by file",
                        s.number, target_holds, snapshot_holds);
        } else {
            text_format(err, err_size,
                        "the restored target holds %s where the snapshot holds %s -- cannot "
                        "compare file by file",
                        target_holds, snapshot_holds);
        }
        return 1;
    }
    for (std::uint32_t i = 0; i < snapshot.count; ++i) {
        target->entries[i].handling = snapshot.entries[i].handling;
    }
    return 0;
}

}  // namespace qor
