#include "compare/partition_table.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/error.h"
#include "compare/crc32_ieee.h"

namespace qor {
namespace {

constexpr std::uint64_t MAX64 = ~std::uint64_t{0};

// The Linux file-system data type GUID as stored on disk, and its text.
constexpr std::uint8_t LINUX_DATA_GUID[16] = {0xAF, 0x3D, 0xC6, 0x0F, 0x83, 0x84, 0x72, 0x47,
                                              0x8E, 0x79, 0x3D, 0x69, 0xD8, 0x47, 0x7D, 0xE4};
constexpr char LINUX_DATA_TEXT[] = "0FC63DAF-8483-4772-8E79-3D69D8477DE4";
constexpr std::uint8_t ESP_GUID[16] = {0x28, 0x73, 0x2A, 0xC1, 0x1F, 0xF8, 0xD2, 0x11,
                                       0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B};
constexpr char ESP_TEXT[] = "C12A7328-F81F-11D2-BA4B-00A0C93EC93B";

// A disk image written field by field into a sparse temporary file.
class Image {
  public:
    Image() {
        char tmpl[] = "/tmp/partition_table_test.XXXXXX";
        fd_ = ::mkstemp(tmpl);
        path_ = tmpl;
    }
    ~Image() {
        ::close(fd_);
        ::unlink(path_.c_str());
    }
    const char* path() const { return path_.c_str(); }

    void put(std::uint64_t offset, const void* data, std::size_t size) {
        ASSERT_EQ(::pwrite(fd_, data, size, static_cast<off_t>(offset)),
                  static_cast<ssize_t>(size));
    }
    void put_le(std::uint64_t offset, std::uint64_t value, int bytes) {
        std::uint8_t b[8];
        for (int i = 0; i < bytes; ++i) b[i] = static_cast<std::uint8_t>(value >> (8 * i));
        put(offset, b, static_cast<std::size_t>(bytes));
    }
    void truncate(std::uint64_t size) { ASSERT_EQ(::ftruncate(fd_, static_cast<off_t>(size)), 0); }

    // One 16-byte MBR/EBR slot of the record at record_offset, and its signature.
    void mbr_slot(std::uint64_t record_offset, int slot, std::uint8_t type, std::uint32_t first,
                  std::uint32_t sectors) {
        const std::uint64_t entry = record_offset + 446 + 16 * slot;
        put_le(entry + 4, type, 1);
        put_le(entry + 8, first, 4);
        put_le(entry + 12, sectors, 4);
        put_le(record_offset + 510, 0xAA55, 2);
    }

    struct Gpt {
        std::uint32_t sector = 512;
        std::uint64_t entries_lba = 2;
        std::uint32_t entry_count = 128;
        std::uint32_t entry_bytes = 128;
        std::uint32_t header_size = 92;
        std::uint32_t crc_xor = 0;  // non-zero corrupts the stored CRC
    };
    void gpt_header(const Gpt& g) {
        mbr_slot(0, 0, 0xEE, 1, 0xFFFFFFFF);
        std::vector<std::uint8_t> h(g.header_size < 512 ? 512 : g.header_size, 0);
        std::memcpy(h.data(), "EFI PART", 8);
        auto le = [&h](std::size_t at, std::uint64_t v, int n) {
            for (int i = 0; i < n; ++i) h[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
        };
        le(8, 0x00010000, 4);
        le(12, g.header_size, 4);
        le(72, g.entries_lba, 8);
        le(80, g.entry_count, 4);
        le(84, g.entry_bytes, 4);
        h[100] = 0x5A;  // beyond 92 bytes: covered by the CRC only when the header says so
        le(16, crc32_ieee(h.data(), g.header_size) ^ g.crc_xor, 4);
        put(g.sector, h.data(), h.size() > 512 ? 512 : h.size());
    }
    void gpt_entry(const Gpt& g, std::uint32_t slot, const std::uint8_t* guid, std::uint64_t first,
                   std::uint64_t last) {
        std::vector<std::uint8_t> entry(g.entry_bytes, 0);
        std::memcpy(entry.data(), guid, 16);
        for (int i = 0; i < 8; ++i) {
            entry[32 + i] = static_cast<std::uint8_t>(first >> (8 * i));
            entry[40 + i] = static_cast<std::uint8_t>(last >> (8 * i));
        }
        put(g.entries_lba * g.sector + std::uint64_t{slot} * g.entry_bytes, entry.data(),
            entry.size());
    }

  private:
    int fd_ = -1;
    std::string path_;
};

struct Expected {
    std::uint64_t start;
    std::uint64_t size;
    std::uint32_t mbr_type;
};

void expect_mbr_entries(const PartitionTable& t, const std::vector<Expected>& want) {
    ASSERT_EQ(t.count, want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE("entry " + std::to_string(i));
        EXPECT_EQ(t.entries[i].start, want[i].start);
        EXPECT_EQ(t.entries[i].size, want[i].size);
        EXPECT_EQ(t.entries[i].mbr_type, want[i].mbr_type);
        EXPECT_EQ(t.entries[i].is_gpt, 0);
        EXPECT_STREQ(t.entries[i].type_guid, "");
    }
}

TEST(Crc32Ieee, MatchesTheStandardCheckValue) {
    EXPECT_EQ(crc32_ieee("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(crc32_ieee("", 0), 0u);
}

TEST(PartitionTable, ListsMbrPrimariesAndSkipsEmptySlots) {
    Image img;
    img.mbr_slot(0, 0, 0x83, 2048, 4096);
    img.mbr_slot(0, 1, 0x07, 10000, 0);   // no sectors
    img.mbr_slot(0, 2, 0x00, 20000, 50);  // no type
    img.mbr_slot(0, 3, 0x8E, 0xFFFFFFFF, 0xFFFFFFFF);
    PartitionTable t;
    ASSERT_EQ(read_partition_table(img.path(), 0, &t), 0);
    EXPECT_EQ(t.sector_size, 512u);
    expect_mbr_entries(
        t, {{2048 * 512, 4096 * 512, 0x83}, {0xFFFFFFFFull * 512, 0xFFFFFFFFull * 512, 0x8E}});
}

TEST(PartitionTable, LogicalPartitionsTakeThePlaceOfTheirExtendedEntry) {
    for (std::uint8_t extended : {0x05, 0x0F, 0x85}) {
        for (std::uint32_t ss : {512u, 4096u}) {
            SCOPED_TRACE("type " + std::to_string(extended) + " sector " + std::to_string(ss));
            Image img;
            img.mbr_slot(0, 0, 0x83, 2048, 2048);
            img.mbr_slot(0, 1, extended, 10000, 100000);
            img.mbr_slot(0, 2, 0x07, 200000, 500);
            // Logical entries are relative to their record, links to the extended start.
            img.mbr_slot(10000ull * ss, 0, 0x83, 63, 1000);
            img.mbr_slot(10000ull * ss, 1, 0x05, 2000, 5000);
            img.mbr_slot(12000ull * ss, 0, 0x82, 63, 2000);
            img.mbr_slot(12000ull * ss, 1, 0x05, 5000, 5000);
            img.mbr_slot(15000ull * ss, 0, 0x83, 100, 3000);
            PartitionTable t;
            ASSERT_EQ(read_partition_table(img.path(), ss, &t), 0);
            EXPECT_EQ(t.sector_size, ss);
            expect_mbr_entries(t, {{2048ull * ss, 2048ull * ss, 0x83},
                                   {10063ull * ss, 1000ull * ss, 0x83},
                                   {12063ull * ss, 2000ull * ss, 0x82},
                                   {15100ull * ss, 3000ull * ss, 0x83},
                                   {200000ull * ss, 500ull * ss, 0x07}});
        }
    }
}

TEST(PartitionTable, ChainLoopsEnd) {
    Image self_link;
    self_link.mbr_slot(0, 0, 0x05, 100, 1000);
    self_link.mbr_slot(100 * 512, 0, 0x83, 1, 10);
    self_link.mbr_slot(100 * 512, 1, 0x05, 50, 10);
    self_link.mbr_slot(150 * 512, 0, 0x83, 2, 20);
    self_link.mbr_slot(150 * 512, 1, 0x05, 50, 10);  // links to itself
    PartitionTable t;
    ASSERT_EQ(read_partition_table(self_link.path(), 0, &t), 0);
    expect_mbr_entries(t, {{101 * 512, 10 * 512, 0x83}, {152 * 512, 20 * 512, 0x83}});

    // B -> C -> B never links to itself: only the record limit ends it.
    Image cycle;
    cycle.mbr_slot(0, 0, 0x05, 100, 1000);
    cycle.mbr_slot(100 * 512, 0, 0x83, 1, 10);
    cycle.mbr_slot(100 * 512, 1, 0x05, 50, 10);
    cycle.mbr_slot(150 * 512, 0, 0x83, 2, 20);
    cycle.mbr_slot(150 * 512, 1, 0x05, 80, 10);
    cycle.mbr_slot(180 * 512, 0, 0x83, 3, 30);
    cycle.mbr_slot(180 * 512, 1, 0x05, 50, 10);
    ASSERT_EQ(read_partition_table(cycle.path(), 0, &t), 0);
    EXPECT_EQ(t.count, 128u);

    // A link of LBA 0, or to a record past the end of the image, ends the chain.
    cycle.mbr_slot(150 * 512, 1, 0x05, 0, 10);
    ASSERT_EQ(read_partition_table(cycle.path(), 0, &t), 0);
    EXPECT_EQ(t.count, 2u);
    cycle.mbr_slot(150 * 512, 1, 0x05, 0xFFFFFF00, 10);
    ASSERT_EQ(read_partition_table(cycle.path(), 0, &t), 0);
    EXPECT_EQ(t.count, 2u);
}

TEST(PartitionTable, KeepsTheFirst128Partitions) {
    Image img;
    img.mbr_slot(0, 0, 0x0F, 1000, 100000);
    for (std::uint32_t i = 0; i < 200; ++i) {
        const std::uint64_t record = (1000ull + 10 * i) * 512;
        img.mbr_slot(record, 0, 0x83, 1, 5);
        if (i + 1 < 200) img.mbr_slot(record, 1, 0x05, 10 * (i + 1), 10);
    }
    img.mbr_slot(0, 1, 0x83, 500000, 10);  // a primary after the chain is dropped
    PartitionTable t;
    ASSERT_EQ(read_partition_table(img.path(), 0, &t), 0);
    ASSERT_EQ(t.count, 128u);
    EXPECT_EQ(t.entries[127].start, (1000 + 10 * 127 + 1) * 512ull);
}

TEST(PartitionTable, WithoutSignatureThereIsNoTable) {
    Image img;
    img.truncate(1 << 20);
    PartitionTable t;
    t.count = 9;
    EXPECT_EQ(read_partition_table(img.path(), 0, &t), 0);
    EXPECT_EQ(t.count, 0u);
    img.truncate(0);
    img.mbr_slot(0, 0, 0x83, 1, 1);
    img.truncate(511);  // signature cut off
    EXPECT_EQ(read_partition_table(img.path(), 0, &t), 0);
    EXPECT_EQ(t.count, 0u);
}

TEST(PartitionTable, ReturnsTheOpenAndReadErrors) {
    PartitionTable t;
    EXPECT_EQ(read_partition_table("/nonexistent/disk.img", 0, &t), ERR_NOT_FOUND);
    EXPECT_EQ(read_partition_table("/tmp", 0, &t), ERR_GENERIC);  // EISDIR on read
}

TEST(PartitionTable, ProtectiveEntryInAnySlotSwitchesToGpt) {
    Image img;
    Image::Gpt g;
    img.gpt_header(g);
    img.mbr_slot(0, 0, 0x83, 2048, 4096);  // hybrid: real entries beside the protective one
    img.mbr_slot(0, 2, 0xEE, 1, 100);
    img.gpt_entry(g, 0, LINUX_DATA_GUID, 2048, 4095);
    img.gpt_entry(g, 2, ESP_GUID, 5000, 5000);  // one sector
    img.gpt_entry(g, 3, ESP_GUID, 7000, 6999);  // last below first
    img.gpt_entry(g, 127, LINUX_DATA_GUID, 9000, 9999);
    PartitionTable t;
    ASSERT_EQ(read_partition_table(img.path(), 0, &t), 0);
    ASSERT_EQ(t.count, 3u);
    EXPECT_EQ(t.entries[0].start, 2048u * 512);
    EXPECT_EQ(t.entries[0].size, 2048u * 512);
    EXPECT_STREQ(t.entries[0].type_guid, LINUX_DATA_TEXT);
    EXPECT_EQ(t.entries[0].is_gpt, 1);
    EXPECT_EQ(t.entries[0].mbr_type, 0u);
    EXPECT_EQ(t.entries[1].start, 5000u * 512);
    EXPECT_EQ(t.entries[1].size, 512u);
    EXPECT_STREQ(t.entries[1].type_guid, ESP_TEXT);
    EXPECT_EQ(t.entries[2].start, 9000u * 512);
}

TEST(PartitionTable, GptUsesTheGivenSectorSizeAndFullHeaderLength) {
    Image img;
    Image::Gpt g;
    g.sector = 4096;
    g.header_size = 120;
    g.entry_bytes = 256;
    img.gpt_header(g);
    img.gpt_entry(g, 1, LINUX_DATA_GUID, 256, 511);
    PartitionTable t;
    ASSERT_EQ(read_partition_table(img.path(), 4096, &t), 0);
    ASSERT_EQ(t.count, 1u);
    EXPECT_EQ(t.entries[0].start, 256u * 4096);
    EXPECT_EQ(t.entries[0].size, 256u * 4096);
}

TEST(PartitionTable, RejectsUnusableGptHeaders) {
    struct Case {
        const char* what;
        Image::Gpt gpt;
    };
    const Case cases[] = {
        {"wrong CRC", {512, 2, 128, 128, 92, 1}},
        {"no entries", {512, 2, 0, 128, 92, 0}},
        {"too many entries", {512, 2, 4097, 128, 92, 0}},
        {"entries too small", {512, 2, 128, 120, 92, 0}},
        {"entries too large", {512, 2, 128, 520, 92, 0}},
        {"header too small", {512, 2, 128, 128, 91, 0}},
        {"header larger than read", {512, 2, 128, 128, 513, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Image img;
        img.gpt_header(c.gpt);
        img.gpt_entry(c.gpt, 0, LINUX_DATA_GUID, 34, 100);
        PartitionTable t;
        EXPECT_EQ(read_partition_table(img.path(), 0, &t), ERR_UNSUPPORTED);
        EXPECT_EQ(t.count, 0u);
    }
    Image no_header;  // protective entry but nothing at LBA 1
    no_header.mbr_slot(0, 3, 0xEE, 1, 100);
    PartitionTable t;
    EXPECT_EQ(read_partition_table(no_header.path(), 0, &t), ERR_UNSUPPORTED);
    Image::Gpt g;
    no_header.gpt_header(g);
    no_header.put(512, "EFI PARX", 8);
    EXPECT_EQ(read_partition_table(no_header.path(), 0, &t), ERR_UNSUPPORTED);
}

TEST(PartitionTable, TruncatedEntryArrayKeepsWhatWasFound) {
    Image img;
    Image::Gpt g;
    img.gpt_header(g);
    for (std::uint32_t slot = 0; slot < 4; ++slot) {
        img.gpt_entry(g, slot, LINUX_DATA_GUID, 100 + 10 * slot, 109 + 10 * slot);
    }
    img.truncate(2 * 512 + 3 * 128 + 64);  // slot 3 cut in half
    PartitionTable t;
    ASSERT_EQ(read_partition_table(img.path(), 0, &t), 0);
    EXPECT_EQ(t.count, 3u);
}

TEST(PartitionTable, HostileGptValuesAreNotWrapped) {
    Image img;
    Image::Gpt g;
    img.gpt_header(g);
    img.gpt_entry(g, 0, LINUX_DATA_GUID, 1ull << 55, (1ull << 55) + 1);  // start past 2^64
    img.gpt_entry(g, 1, LINUX_DATA_GUID, 0, MAX64);                      // 2^64 sectors
    img.gpt_entry(g, 2, LINUX_DATA_GUID, 1ull << 54, (1ull << 55) - 1);  // ends at 2^64
    img.gpt_entry(g, 3, ESP_GUID, 34, 34);
    PartitionTable t;
    ASSERT_EQ(read_partition_table(img.path(), 0, &t), 0);
    ASSERT_EQ(t.count, 1u);
    EXPECT_STREQ(t.entries[0].type_guid, ESP_TEXT);

    // An entry array at LBA 2^55 + 2 would wrap around to the real array at LBA 2.
    Image::Gpt far = g;
    far.entries_lba = (1ull << 55) + 2;
    img.gpt_header(far);
    ASSERT_EQ(read_partition_table(img.path(), 0, &t), 0);
    EXPECT_EQ(t.count, 0u);
}

TEST(PartitionTable, HostileLogicalStartIsNotWrapped) {
    // With the largest sector size, (record LBA + first LBA) x sector size passes 2^64.
    constexpr std::uint32_t ss = 0xFFFFFFFF;
    Image img;
    img.mbr_slot(0, 0, 0x05, 3, 10);
    img.mbr_slot(3ull * ss, 0, 0x83, 0xFFFFFFFF, 1);
    img.mbr_slot(3ull * ss, 1, 0x05, 1, 1);
    img.mbr_slot(4ull * ss, 0, 0x83, 1, 1);
    PartitionTable t;
    ASSERT_EQ(read_partition_table(img.path(), ss, &t), 0);
    expect_mbr_entries(t, {{5ull * ss, ss, 0x83}});
}

TEST(PartitionTable, ReadsTheLargestEntryArrayQuickly) {
    Image img;
    Image::Gpt g;
    g.entry_count = 4096;
    g.entry_bytes = 512;
    img.gpt_header(g);
    img.gpt_entry(g, 4095, ESP_GUID, 100, 199);  // only the very last slot used
    PartitionTable t;
    const auto begin = std::chrono::steady_clock::now();
    ASSERT_EQ(read_partition_table(img.path(), 0, &t), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(2));
    ASSERT_EQ(t.count, 1u);
    EXPECT_EQ(t.entries[0].start, 100u * 512);
}

}  // namespace
}  // namespace qor
