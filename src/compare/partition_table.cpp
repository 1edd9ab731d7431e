#include "compare/partition_table.h"

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "common/byte_order.h"
#include "common/error.h"
#include "common/file_io.h"
#include "common/text.h"
#include "compare/crc32_ieee.h"

namespace qor {
namespace {

constexpr std::uint32_t DEFAULT_SECTOR_SIZE = 512;

// MBR and extended boot record: one 512-byte sector.
constexpr std::size_t RECORD_BYTES = 512;
constexpr std::size_t MBR_ENTRIES_OFFSET = 446;  // four 16-byte entries
constexpr std::size_t MBR_ENTRY_BYTES = 16;
constexpr int MBR_ENTRY_COUNT = 4;
constexpr std::size_t MBR_SIGNATURE_OFFSET = 510;  // 0x55 0xAA
// Within one 16-byte entry (the CHS fields are not needed).
constexpr std::size_t ENTRY_STATUS = 0;     // 1 byte: 0x80 bootable, 0x00 not
constexpr std::size_t ENTRY_TYPE = 4;       // 1 byte
constexpr std::size_t ENTRY_FIRST_LBA = 8;  // u32
constexpr std::size_t ENTRY_SECTORS = 12;   // u32

constexpr std::uint8_t TYPE_GPT_PROTECTIVE = 0xEE;
constexpr std::uint8_t TYPE_EXTENDED_CHS = 0x05;  // also 0x85 with the top bit set
constexpr std::uint8_t TYPE_EXTENDED_LBA = 0x0F;
// Bounds a chain that loops through more than one record.
constexpr int EBR_CHAIN_MAX = 256;
constexpr std::uint32_t FIRST_LOGICAL_NUMBER = 5;  // after the four primary slots

// GPT header at LBA 1.
constexpr char GPT_SIGNATURE[8] = {'E', 'F', 'I', ' ', 'P', 'A', 'R', 'T'};
constexpr std::size_t GPT_HEADER_SIZE = 12;   // u32
constexpr std::size_t GPT_HEADER_CRC = 16;    // u32, computed with this field zeroed
constexpr std::size_t GPT_ENTRIES_LBA = 72;   // u64
constexpr std::size_t GPT_ENTRY_COUNT = 80;   // u32
constexpr std::size_t GPT_ENTRY_BYTES = 84;   // u32
constexpr std::uint32_t GPT_HEADER_MIN = 92;  // the fields defined by revision 1.0
constexpr std::uint32_t GPT_ENTRY_COUNT_MAX = 4096;
constexpr std::uint32_t GPT_ENTRY_BYTES_MIN = 128;
constexpr std::uint32_t GPT_ENTRY_BYTES_MAX = 512;
// GPT partition entry.
constexpr std::size_t GPT_TYPE_GUID = 0;  // 16 bytes, all zero for an unused slot
constexpr std::size_t GPT_GUID_BYTES = 16;
constexpr std::size_t GPT_FIRST_LBA = 32;  // u64
constexpr std::size_t GPT_LAST_LBA = 40;   // u64, inclusive

// Hostile tables can hold LBAs whose byte offsets do not fit 64 bits; such
// values are treated as unaddressable instead of being allowed to wrap.
bool lba_to_bytes(std::uint64_t lba, std::uint32_t sector_size, std::uint64_t* bytes) {
    return !__builtin_mul_overflow(lba, std::uint64_t{sector_size}, bytes);
}

bool record_has_signature(const std::uint8_t* record) {
    return record[MBR_SIGNATURE_OFFSET] == 0x55 && record[MBR_SIGNATURE_OFFSET + 1] == 0xAA;
}

const std::uint8_t* mbr_entry(const std::uint8_t* record, int index) {
    return record + MBR_ENTRIES_OFFSET + static_cast<std::size_t>(index) * MBR_ENTRY_BYTES;
}

// Reads one 512-byte record; false when it is unreadable, short or unsigned.
bool record_read(int fd, std::uint64_t lba, std::uint32_t sector_size, std::uint8_t* record) {
    std::uint64_t offset = 0;
    if (!lba_to_bytes(lba, sector_size, &offset)) return false;
    std::size_t got = 0;
    if (file_pread(fd, record, RECORD_BYTES, offset, &got) != 0) return false;
    return got == RECORD_BYTES && record_has_signature(record);
}

// Lists partition `number` unless it is empty or its byte range cannot be
// addressed. A usable partition numbered past the table's capacity is not
// listed but marks the table as too_many.
void table_add(PartitionTable* table, std::uint32_t number, std::uint64_t first_lba,
               std::uint64_t sectors, std::uint32_t mbr_type, const char* type_guid) {
    std::uint64_t start = 0;
    std::uint64_t size = 0;
    std::uint64_t end = 0;
    if (!lba_to_bytes(first_lba, table->sector_size, &start)) return;
    if (!lba_to_bytes(sectors, table->sector_size, &size) || size == 0) return;
    if (__builtin_add_overflow(start, size, &end)) return;
    if (number > PARTITION_TABLE_MAX || table->count >= PARTITION_TABLE_MAX) {
        table->too_many = 1;
        return;
    }
    PartitionEntry& entry = table->entries[table->count++];
    entry = PartitionEntry{};
    entry.number = number;
    entry.start = start;
    entry.size = size;
    entry.mbr_type = mbr_type;
    entry.is_gpt = type_guid != nullptr ? 1 : 0;
    if (type_guid != nullptr) text_copy(entry.type_guid, sizeof entry.type_guid, type_guid);
}

bool mbr_is_extended(std::uint8_t type) {
    return (type & 0x7F) == TYPE_EXTENDED_CHS || type == TYPE_EXTENDED_LBA;
}

// Logical partitions of one extended partition, in chain order, numbered on
// from *next. Entry 1 of a record is relative to that record, entry 2 (the
// link) to the extended start. As in the kernel's reader, every non-empty
// logical entry that is not itself an extended one takes a number, also one
// without a type, which is not listed.
void ebr_walk_chain(int fd, std::uint64_t base, std::uint32_t* next, PartitionTable* table) {
    std::uint8_t record[RECORD_BYTES];
    std::uint64_t current = base;
    for (int records = 1; record_read(fd, current, table->sector_size, record); ++records) {
        const std::uint8_t* logical = mbr_entry(record, 0);
        const std::uint32_t logical_sectors = le32(logical + ENTRY_SECTORS);
        if (logical_sectors != 0 && !mbr_is_extended(logical[ENTRY_TYPE])) {
            const std::uint32_t number = (*next)++;
            if (logical[ENTRY_TYPE] != 0) {
                table_add(table, number, current + le32(logical + ENTRY_FIRST_LBA), logical_sectors,
                          logical[ENTRY_TYPE], nullptr);
            }
        }
        if (table->too_many) return;
        const std::uint8_t* link = mbr_entry(record, 1);
        const std::uint32_t link_lba = le32(link + ENTRY_FIRST_LBA);
        if (link[ENTRY_TYPE] == 0 || le32(link + ENTRY_SECTORS) == 0 || link_lba == 0) return;
        const std::uint64_t next_record = base + link_lba;  // two 32-bit values: cannot wrap
        if (next_record == current || records == EBR_CHAIN_MAX) return;
        current = next_record;
    }
}

// Primaries keep the number of their slot, empty slots leaving gaps; the
// logical partitions of every extended partition share one count from 5.
void mbr_read(int fd, const std::uint8_t* mbr, PartitionTable* table) {
    std::uint32_t next_logical = FIRST_LOGICAL_NUMBER;
    for (int i = 0; i < MBR_ENTRY_COUNT; ++i) {
        const std::uint8_t* entry = mbr_entry(mbr, i);
        const std::uint8_t type = entry[ENTRY_TYPE];
        const std::uint32_t sectors = le32(entry + ENTRY_SECTORS);
        if (type == 0 || sectors == 0) continue;
        if (mbr_is_extended(type)) {
            ebr_walk_chain(fd, le32(entry + ENTRY_FIRST_LBA), &next_logical, table);
        } else {
            table_add(table, static_cast<std::uint32_t>(i + 1), le32(entry + ENTRY_FIRST_LBA),
                      sectors, type, nullptr);
        }
    }
}

// A boot sector that merely ends in 0x55 0xAA (a bare FAT, NTFS or ext file
// system whose boot code happens to end so) holds code where a table holds
// status bytes. Only 0x00 and 0x80 are status values, so anything else means
// there is no table, which is how the kernel's own reader decides.
bool mbr_has_valid_status_bytes(const std::uint8_t* mbr) {
    for (int i = 0; i < MBR_ENTRY_COUNT; ++i) {
        const std::uint8_t status = mbr_entry(mbr, i)[ENTRY_STATUS];
        if (status != 0x00 && status != 0x80) return false;
    }
    return true;
}

bool mbr_has_protective_entry(const std::uint8_t* mbr) {
    for (int i = 0; i < MBR_ENTRY_COUNT; ++i) {
        if (mbr_entry(mbr, i)[ENTRY_TYPE] == TYPE_GPT_PROTECTIVE) return true;
    }
    return false;
}

struct GptLayout {
    std::uint64_t entries_lba;
    std::uint32_t entry_count;
    std::uint32_t entry_bytes;
};

// Checks the header at LBA 1 in this order, each check relying on the ones
// before it: readable, signature, size, CRC, then the entry geometry.
bool gpt_read_header(int fd, std::uint32_t sector_size, GptLayout* layout) {
    std::uint8_t header[RECORD_BYTES];
    std::size_t got = 0;
    // A header shorter than the fields of revision 1.0 cannot say where its
    // entries are; the device ends too early for a GPT.
    if (file_pread(fd, header, sizeof header, sector_size, &got) != 0) return false;
    if (got < GPT_HEADER_MIN) return false;
    // Without the signature the protective entry announced a GPT that is not there.
    if (std::memcmp(header, GPT_SIGNATURE, sizeof GPT_SIGNATURE) != 0) return false;
    // The CRC covers header_size bytes: fewer would leave defined fields
    // unchecked, more than were read cannot be checked at all.
    const std::uint32_t header_size = le32(header + GPT_HEADER_SIZE);
    if (header_size < GPT_HEADER_MIN || header_size > got) return false;

    // A mismatch means a damaged or half-written header: none of its numbers
    // can be trusted, so none is used.
    const std::uint32_t stored_crc = le32(header + GPT_HEADER_CRC);
    std::uint8_t copy[RECORD_BYTES];
    std::memcpy(copy, header, header_size);
    std::memset(copy + GPT_HEADER_CRC, 0, 4);
    if (crc32_ieee(copy, header_size) != stored_crc) return false;

    layout->entries_lba = le64(header + GPT_ENTRIES_LBA);
    layout->entry_count = le32(header + GPT_ENTRY_COUNT);
    layout->entry_bytes = le32(header + GPT_ENTRY_BYTES);
    // No entries is no table; more than 4096 bounds the reads a hostile
    // header can ask for (partitioning tools write 128).
    if (layout->entry_count == 0 || layout->entry_count > GPT_ENTRY_COUNT_MAX) return false;
    // 128 bytes hold the fields every entry has; above 512 an entry would not
    // fit the buffer it is read into.
    return layout->entry_bytes >= GPT_ENTRY_BYTES_MIN && layout->entry_bytes <= GPT_ENTRY_BYTES_MAX;
}

bool gpt_slot_is_unused(const std::uint8_t* entry) {
    for (std::size_t i = 0; i < GPT_GUID_BYTES; ++i) {
        if (entry[GPT_TYPE_GUID + i] != 0) return false;
    }
    return true;
}

void gpt_format_guid(const std::uint8_t* g, char* out, std::size_t out_size) {
    text_format(out, out_size, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", le32(g),
                unsigned{le16(g + 4)}, unsigned{le16(g + 6)}, g[8], g[9], g[10], g[11], g[12],
                g[13], g[14], g[15]);
}

// Slot i is the kernel's partition i + 1, unused slots leaving gaps.
void gpt_add_entry(const std::uint8_t* entry, std::uint32_t slot, PartitionTable* table) {
    if (gpt_slot_is_unused(entry + GPT_TYPE_GUID)) return;
    const std::uint64_t first = le64(entry + GPT_FIRST_LBA);
    const std::uint64_t last = le64(entry + GPT_LAST_LBA);
    if (last < first) return;
    std::uint64_t sectors = 0;
    if (__builtin_add_overflow(last - first, std::uint64_t{1}, &sectors)) return;
    char guid[sizeof(PartitionEntry::type_guid)];
    gpt_format_guid(entry + GPT_TYPE_GUID, guid, sizeof guid);
    table_add(table, slot + 1, first, sectors, 0, guid);
}

// Entries are read one per slot; an unreadable slot ends the table with what
// was found so far, and so does a slot whose offset would not fit 64 bits.
void gpt_read_entries(int fd, const GptLayout& layout, PartitionTable* table) {
    std::uint64_t array_offset = 0;
    if (!lba_to_bytes(layout.entries_lba, table->sector_size, &array_offset)) return;
    std::uint8_t entry[GPT_ENTRY_BYTES_MAX];
    for (std::uint32_t slot = 0; slot < layout.entry_count; ++slot) {
        std::uint64_t offset = 0;
        const std::uint64_t slot_offset = std::uint64_t{slot} * layout.entry_bytes;
        if (__builtin_add_overflow(array_offset, slot_offset, &offset)) return;
        std::size_t got = 0;
        if (file_pread(fd, entry, layout.entry_bytes, offset, &got) != 0) return;
        if (got < layout.entry_bytes) return;
        gpt_add_entry(entry, slot, table);
        if (table->too_many) return;
    }
}

// The logical sector size the kernel uses for the device: its own for a
// block device, 512 for anything else (an image file, through a default
// loop device). 0, or the mapped error code.
int device_sector_size(int fd, std::uint32_t* sector_size) {
    struct stat st;
    if (fstat(fd, &st) != 0) return err_from_errno(errno);
    *sector_size = DEFAULT_SECTOR_SIZE;
    if (!S_ISBLK(st.st_mode)) return 0;
    int size = 0;
    if (ioctl(fd, BLKSSZGET, &size) != 0) return err_from_errno(errno);
    if (size <= 0) return ERR_GENERIC;
    *sector_size = static_cast<std::uint32_t>(size);
    return 0;
}

}  // namespace

int read_partition_table(const char* path, std::uint32_t sector_size, PartitionTable* table) {
    if (table == nullptr) return ERR_INVALID;
    std::memset(table, 0, sizeof *table);

    UniqueFd file;
    const int opened = file_open_read(path, &file);
    if (opened != 0) return opened;
    table->sector_size = sector_size;
    if (sector_size == 0) {
        const int sized = device_sector_size(file.get(), &table->sector_size);
        if (sized != 0) return sized;
    }

    std::uint8_t mbr[RECORD_BYTES];
    std::size_t got = 0;
    const int read = file_pread(file.get(), mbr, sizeof mbr, 0, &got);
    if (read != 0) return read;
    if (got < RECORD_BYTES || !record_has_signature(mbr)) return 0;

    // A protective entry anywhere, hybrid MBRs included, means the GPT is authoritative.
    if (mbr_has_protective_entry(mbr)) {
        GptLayout layout{};
        if (!gpt_read_header(file.get(), table->sector_size, &layout)) return ERR_UNSUPPORTED;
        gpt_read_entries(file.get(), layout, table);
    } else if (mbr_has_valid_status_bytes(mbr)) {
        mbr_read(file.get(), mbr, table);
    }
    return table->too_many ? ERR_UNSUPPORTED : 0;
}

}  // namespace qor
