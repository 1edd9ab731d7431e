#include "compare/image_layout.h"

#include <cstring>
#include <memory>

#include "common/text.h"
#include "common/text_escape.h"

namespace qor {
namespace {

constexpr std::size_t MESSAGE_PATH_BYTES = 300;

// Partition types that hold no file system. MBR type bytes first, then GPT
// type GUIDs as the partition reader writes them.
struct NoFilesystemType {
    std::uint32_t mbr_type;
    const char* type_guid;
    const char* name;
};
constexpr NoFilesystemType NO_FILESYSTEM_TYPES[] = {
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

// The name of a partition type that holds no file system, or null.
const char* no_filesystem_type_name(const LayoutEntry& entry) {
    for (const NoFilesystemType& t : NO_FILESYSTEM_TYPES) {
        const bool same = t.type_guid != nullptr
                              ? std::strcmp(entry.type_guid, t.type_guid) == 0
                              : entry.type_guid[0] == '\0' && entry.mbr_type == t.mbr_type;
        if (same) return t.name;
    }
    return nullptr;
}

void layout_add(ImageLayout* layout, const char* device_path, std::uint32_t number,
                std::uint64_t start, std::uint64_t size, const PartitionEntry* partition) {
    LayoutEntry& entry = layout->entries[layout->count++];
    entry = LayoutEntry{};
    entry.number = number;
    if (partition != nullptr) {
        entry.mbr_type = partition->mbr_type;
        text_copy(entry.type_guid, sizeof entry.type_guid, partition->type_guid);
    }
    fs_identify(device_path, start, size, &entry.fs);
}

bool entries_have_same_place(const LayoutEntry& a, const LayoutEntry& b) {
    return a.number == b.number && a.mbr_type == b.mbr_type &&
           std::strcmp(a.type_guid, b.type_guid) == 0;
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

bool layout_entry_is_mounted(const LayoutEntry& entry) {
    return entry.fs.is_filesystem != 0;
}

bool layout_entry_is_skipped(const LayoutEntry& entry) {
    if (entry.fs.is_filesystem) return false;
    return entry.fs.name[0] != '\0' || no_filesystem_type_name(entry) != nullptr;
}

void layout_entry_describe(const LayoutEntry& entry, char* text, std::size_t size) {
    const char* type_name = no_filesystem_type_name(entry);
    if (entry.fs.name[0] != '\0') {
        text_copy(text, size, entry.fs.name);
    } else if (type_name != nullptr) {
        text_format(text, size, "%s (by its partition type)", type_name);
    } else {
        text_copy(text, size, "no recognised file system");
    }
}

int layout_compare(const ImageLayout& snapshot, const ImageLayout& target, char* err,
                   std::size_t err_size) {
    text_clear(err, err_size);
    bool same_places = snapshot.partitioned == target.partitioned && snapshot.count == target.count;
    for (std::uint32_t i = 0; same_places && i < snapshot.count; ++i) {
        same_places = entries_have_same_place(snapshot.entries[i], target.entries[i]);
    }
    if (!same_places) {
        text_copy(err, err_size,
                  "the snapshot and the restored target have a different partition layout -- "
                  "cannot compare file by file");
        return 1;
    }
    for (std::uint32_t i = 0; i < snapshot.count; ++i) {
        const LayoutEntry& s = snapshot.entries[i];
        const LayoutEntry& t = target.entries[i];
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
    return 0;
}

}  // namespace qor
