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
#include "support/fs_fixture.h"
#include "support/image_writer.h"
#include "support/test_temp_dir.h"

namespace qor {
namespace {

constexpr std::uint64_t MAX64 = ~std::uint64_t{0};

// The Linux file-system data type GUID as stored on disk, and its text.
const test::Guid LINUX_DATA_GUID = {0xAF, 0x3D, 0xC6, 0x0F, 0x83, 0x84, 0x72, 0x47,
                                    0x8E, 0x79, 0x3D, 0x69, 0xD8, 0x47, 0x7D, 0xE4};
constexpr char LINUX_DATA_TEXT[] = "0FC63DAF-8483-4772-8E79-3D69D8477DE4";
const test::Guid ESP_GUID = {0x28, 0x73, 0x2A, 0xC1, 0x1F, 0xF8, 0xD2, 0x11,
                             0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B};
constexpr char ESP_TEXT[] = "C12A7328-F81F-11D2-BA4B-00A0C93EC93B";

using test::gpt_put_entry;
using test::GptLayout;
using test::ImageFile;
using test::mbr_put_entry;

// A sealed GPT header. Byte 100 is set: the CRC covers it only when the
// header says it is that long.
void gpt_disk(ImageFile& img, const GptLayout& g) {
    test::gpt_put_header(img, g);
    img.put_le(g.sector + 100, 0x5A, 1);
    test::gpt_seal(img, g);
}

// Disk images written field by field into sparse files of their own.
class PartitionTableTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(tmp_.ok()); }
    ImageFile image() { return ImageFile(tmp_ / ("disk" + std::to_string(images_++))); }
    int read(const ImageFile& img, std::uint32_t sector_size, qor::PartitionTable* table) {
        EXPECT_TRUE(img.ok()) << img.path();
        return read_partition_table(img.path().c_str(), sector_size, table);
    }

    TestTempDir tmp_;
    int images_ = 0;
};

// The cases that attach a loop device: root only.
class PartitionTableAsRoot : public PartitionTableTest {};

struct Expected {
    std::uint64_t start;
    std::uint64_t size;
    std::uint32_t mbr_type;
    std::uint32_t number;
};

void expect_mbr_entries(const PartitionTable& t, const std::vector<Expected>& want) {
    ASSERT_EQ(t.count, want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE("entry " + std::to_string(i));
        EXPECT_EQ(t.entries[i].start, want[i].start);
        EXPECT_EQ(t.entries[i].size, want[i].size);
        EXPECT_EQ(t.entries[i].mbr_type, want[i].mbr_type);
        EXPECT_EQ(t.entries[i].number, want[i].number);
        EXPECT_EQ(t.entries[i].is_gpt, 0);
        EXPECT_STREQ(t.entries[i].type_guid, "");
    }
}

TEST(Crc32Ieee, MatchesTheStandardCheckValue) {
    EXPECT_EQ(crc32_ieee("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(crc32_ieee("", 0), 0u);
}

TEST_F(PartitionTableTest, ListsMbrPrimariesAndSkipsEmptySlots) {
    ImageFile img = image();
    mbr_put_entry(img, 0, 0, 0x83, 2048, 4096);
    mbr_put_entry(img, 0, 1, 0x07, 10000, 0);   // no sectors
    mbr_put_entry(img, 0, 2, 0x00, 20000, 50);  // no type
    mbr_put_entry(img, 0, 3, 0x8E, 0xFFFFFFFF, 0xFFFFFFFF);
    PartitionTable t;
    ASSERT_EQ(read(img, 0, &t), 0);
    EXPECT_EQ(t.sector_size, 512u);
    expect_mbr_entries(t, {{2048 * 512, 4096 * 512, 0x83, 1},
                           {0xFFFFFFFFull * 512, 0xFFFFFFFFull * 512, 0x8E, 4}});
}

TEST_F(PartitionTableTest, LogicalPartitionsTakeThePlaceOfTheirExtendedEntry) {
    for (std::uint8_t extended : {0x05, 0x0F, 0x85}) {
        for (std::uint32_t ss : {512u, 4096u}) {
            SCOPED_TRACE("type " + std::to_string(extended) + " sector " + std::to_string(ss));
            ImageFile img = image();
            mbr_put_entry(img, 0, 0, 0x83, 2048, 2048);
            mbr_put_entry(img, 0, 1, extended, 10000, 100000);
            mbr_put_entry(img, 0, 2, 0x07, 200000, 500);
            // Logical entries are relative to their record, links to the extended start.
            mbr_put_entry(img, 10000ull * ss, 0, 0x83, 63, 1000);
            mbr_put_entry(img, 10000ull * ss, 1, 0x05, 2000, 5000);
            mbr_put_entry(img, 12000ull * ss, 0, 0x82, 63, 2000);
            mbr_put_entry(img, 12000ull * ss, 1, 0x05, 5000, 5000);
            mbr_put_entry(img, 15000ull * ss, 0, 0x83, 100, 3000);
            PartitionTable t;
            ASSERT_EQ(read(img, ss, &t), 0);
            EXPECT_EQ(t.sector_size, ss);
            // The kernel's numbers: slots 1 and 3, logical partitions from 5.
            expect_mbr_entries(t, {{2048ull * ss, 2048ull * ss, 0x83, 1},
                                   {10063ull * ss, 1000ull * ss, 0x83, 5},
                                   {12063ull * ss, 2000ull * ss, 0x82, 6},
                                   {15100ull * ss, 3000ull * ss, 0x83, 7},
                                   {200000ull * ss, 500ull * ss, 0x07, 3}});
        }
    }
}

TEST_F(PartitionTableTest, ChainLoopsEnd) {
    ImageFile self_link = image();
    mbr_put_entry(self_link, 0, 0, 0x05, 100, 1000);
    mbr_put_entry(self_link, 100 * 512, 0, 0x83, 1, 10);
    mbr_put_entry(self_link, 100 * 512, 1, 0x05, 50, 10);
    mbr_put_entry(self_link, 150 * 512, 0, 0x83, 2, 20);
    mbr_put_entry(self_link, 150 * 512, 1, 0x05, 50, 10);  // links to itself
    PartitionTable t;
    ASSERT_EQ(read(self_link, 0, &t), 0);
    expect_mbr_entries(t, {{101 * 512, 10 * 512, 0x83, 5}, {152 * 512, 20 * 512, 0x83, 6}});

    // B -> C -> B never links to itself: it numbers logical partitions past
    // what is listed, and the table is refused.
    ImageFile cycle = image();
    mbr_put_entry(cycle, 0, 0, 0x05, 100, 1000);
    mbr_put_entry(cycle, 100 * 512, 0, 0x83, 1, 10);
    mbr_put_entry(cycle, 100 * 512, 1, 0x05, 50, 10);
    mbr_put_entry(cycle, 150 * 512, 0, 0x83, 2, 20);
    mbr_put_entry(cycle, 150 * 512, 1, 0x05, 80, 10);
    mbr_put_entry(cycle, 180 * 512, 0, 0x83, 3, 30);
    mbr_put_entry(cycle, 180 * 512, 1, 0x05, 50, 10);
    EXPECT_EQ(read(cycle, 0, &t), ERR_UNSUPPORTED);
    EXPECT_EQ(t.too_many, 1);

    // A link of LBA 0, or to a record past the end of the image, ends the chain.
    mbr_put_entry(cycle, 150 * 512, 1, 0x05, 0, 10);
    ASSERT_EQ(read(cycle, 0, &t), 0);
    EXPECT_EQ(t.count, 2u);
    EXPECT_EQ(t.too_many, 0);
    mbr_put_entry(cycle, 150 * 512, 1, 0x05, 0xFFFFFF00, 10);
    ASSERT_EQ(read(cycle, 0, &t), 0);
    EXPECT_EQ(t.count, 2u);
}

// Partitions numbered past 128 are never dropped in silence: such a table is
// refused, whether its last numbers come from a long chain or a GPT slot.
TEST_F(PartitionTableTest, PartitionsNumberedPast128RefuseTheTable) {
    for (std::uint32_t logicals : {124u, 125u}) {
        SCOPED_TRACE(logicals);
        ImageFile img = image();
        mbr_put_entry(img, 0, 0, 0x0F, 1000, 100000);
        for (std::uint32_t i = 0; i < logicals; ++i) {
            const std::uint64_t record = (1000ull + 10 * i) * 512;
            mbr_put_entry(img, record, 0, 0x83, 1, 5);
            if (i + 1 < logicals) mbr_put_entry(img, record, 1, 0x05, 10 * (i + 1), 10);
        }
        PartitionTable t;
        if (logicals == 124) {  // numbers 5 to 128
            ASSERT_EQ(read(img, 0, &t), 0);
            ASSERT_EQ(t.count, 124u);
            EXPECT_EQ(t.entries[123].number, 128u);
        } else {
            EXPECT_EQ(read(img, 0, &t), ERR_UNSUPPORTED);
            EXPECT_EQ(t.too_many, 1);
        }
    }
    GptLayout g;
    g.entry_count = 256;
    for (std::uint32_t slot : {127u, 128u}) {
        SCOPED_TRACE(slot);
        ImageFile img = image();
        gpt_disk(img, g);
        gpt_put_entry(img, g, 0, LINUX_DATA_GUID, 100, 199);
        gpt_put_entry(img, g, 200, ESP_GUID, 400, 300);  // unusable: last below first
        gpt_put_entry(img, g, slot, ESP_GUID, 200, 299);
        PartitionTable t;
        if (slot == 127) {
            ASSERT_EQ(read(img, 0, &t), 0);
            ASSERT_EQ(t.count, 2u);
            EXPECT_EQ(t.entries[1].number, 128u);
        } else {
            EXPECT_EQ(read(img, 0, &t), ERR_UNSUPPORTED);
            EXPECT_EQ(t.too_many, 1);
        }
    }
}

// Each partition carries the kernel's number: primaries by slot with gaps,
// logical partitions from 5 (one without a type still takes its number),
// GPT entries by slot with holes left as gaps.
TEST_F(PartitionTableTest, NumbersAreTheKernels) {
    ImageFile mbr = image();
    mbr_put_entry(mbr, 0, 1, 0x83, 2048, 2048);
    mbr_put_entry(mbr, 0, 2, 0x05, 10000, 100000);
    mbr_put_entry(mbr, 10000 * 512, 0, 0x00, 63, 1000);  // no type: numbered, not listed
    mbr_put_entry(mbr, 10000 * 512, 1, 0x05, 2000, 5000);
    mbr_put_entry(mbr, 12000 * 512, 0, 0x82, 63, 2000);
    PartitionTable t;
    ASSERT_EQ(read(mbr, 0, &t), 0);
    expect_mbr_entries(t, {{2048 * 512, 2048 * 512, 0x83, 2}, {12063 * 512, 2000 * 512, 0x82, 6}});

    ImageFile gpt = image();
    GptLayout g;
    gpt_disk(gpt, g);
    gpt_put_entry(gpt, g, 0, ESP_GUID, 2048, 4095);
    gpt_put_entry(gpt, g, 2, LINUX_DATA_GUID, 4096, 8191);
    gpt_put_entry(gpt, g, 5, LINUX_DATA_GUID, 8192, 9000);
    ASSERT_EQ(read(gpt, 0, &t), 0);
    ASSERT_EQ(t.count, 3u);
    EXPECT_EQ(t.entries[0].number, 1u);
    EXPECT_EQ(t.entries[1].number, 3u);
    EXPECT_EQ(t.entries[2].number, 6u);
}

// A status byte other than 0x00 or 0x80 in any slot is boot code, not a
// table: an ext4 image whose boot area ends in 0x55 0xAA is no disk.
TEST_F(PartitionTableTest, StatusBytesOtherThanBootFlagsMeanNoTable) {
    for (std::uint8_t status : {0x00, 0x80, 0x33, 0x01, 0x7F}) {
        for (int slot : {0, 3}) {
            SCOPED_TRACE(testing::Message() << "status " << int{status} << " slot " << slot);
            ImageFile img = image();
            mbr_put_entry(img, 0, 0, 0x83, 2048, 4096);
            img.put_le(446 + 16 * slot, status, 1);
            PartitionTable t;
            ASSERT_EQ(read(img, 0, &t), 0);
            EXPECT_EQ(t.count, status == 0x00 || status == 0x80 ? 1u : 0u);
        }
    }
    // The protective entry of a GPT is read whatever its status byte says.
    ImageFile gpt = image();
    GptLayout g;
    gpt_disk(gpt, g);
    gpt_put_entry(gpt, g, 0, LINUX_DATA_GUID, 2048, 4095);
    gpt.put_le(446, 0x33, 1);
    PartitionTable t;
    ASSERT_EQ(read(gpt, 0, &t), 0);
    EXPECT_EQ(t.count, 1u);
}

TEST_F(PartitionTableTest, WithoutSignatureThereIsNoTable) {
    ImageFile img = image();
    img.resize(1 << 20);
    PartitionTable t;
    t.count = 9;
    EXPECT_EQ(read(img, 0, &t), 0);
    EXPECT_EQ(t.count, 0u);
    img.resize(0);
    mbr_put_entry(img, 0, 0, 0x83, 1, 1);
    img.resize(511);  // signature cut off
    EXPECT_EQ(read(img, 0, &t), 0);
    EXPECT_EQ(t.count, 0u);
}

TEST_F(PartitionTableTest, ReturnsTheOpenAndReadErrors) {
    PartitionTable t;
    EXPECT_EQ(read_partition_table("/nonexistent/disk.img", 0, &t), ERR_NOT_FOUND);
    EXPECT_EQ(read_partition_table("/tmp", 0, &t), ERR_GENERIC);  // EISDIR on read
}

TEST_F(PartitionTableTest, ProtectiveEntryInAnySlotSwitchesToGpt) {
    ImageFile img = image();
    GptLayout g;
    gpt_disk(img, g);
    mbr_put_entry(img, 0, 0, 0x83, 2048, 4096);  // hybrid: real entries beside the protective one
    mbr_put_entry(img, 0, 2, 0xEE, 1, 100);
    gpt_put_entry(img, g, 0, LINUX_DATA_GUID, 2048, 4095);
    gpt_put_entry(img, g, 2, ESP_GUID, 5000, 5000);  // one sector
    gpt_put_entry(img, g, 3, ESP_GUID, 7000, 6999);  // last below first
    gpt_put_entry(img, g, 127, LINUX_DATA_GUID, 9000, 9999);
    PartitionTable t;
    ASSERT_EQ(read(img, 0, &t), 0);
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

TEST_F(PartitionTableTest, GptUsesTheGivenSectorSizeAndFullHeaderLength) {
    ImageFile img = image();
    GptLayout g;
    g.sector = 4096;
    g.header_size = 120;
    g.entry_bytes = 256;
    gpt_disk(img, g);
    gpt_put_entry(img, g, 1, LINUX_DATA_GUID, 256, 511);
    PartitionTable t;
    ASSERT_EQ(read(img, 4096, &t), 0);
    ASSERT_EQ(t.count, 1u);
    EXPECT_EQ(t.entries[0].start, 256u * 4096);
    EXPECT_EQ(t.entries[0].size, 256u * 4096);
}

TEST_F(PartitionTableTest, RejectsUnusableGptHeaders) {
    struct Case {
        const char* what;
        GptLayout gpt;
        bool break_crc;  // a header byte changed after sealing
    };
    const Case cases[] = {
        {"wrong CRC", {512, 2, 128, 128, 92}, true},
        {"no entries", {512, 2, 0, 128, 92}, false},
        {"too many entries", {512, 2, 4097, 128, 92}, false},
        {"entries too small", {512, 2, 128, 120, 92}, false},
        {"entries too large", {512, 2, 128, 520, 92}, false},
        {"header too small", {512, 2, 128, 128, 91}, false},
        {"header larger than read", {512, 2, 128, 128, 513}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ImageFile img = image();
        gpt_disk(img, c.gpt);
        if (c.break_crc) img.put_le(c.gpt.sector + 40, 0x23, 1);
        gpt_put_entry(img, c.gpt, 0, LINUX_DATA_GUID, 34, 100);
        PartitionTable t;
        EXPECT_EQ(read(img, 0, &t), ERR_UNSUPPORTED);
        EXPECT_EQ(t.count, 0u);
    }
    ImageFile no_header = image();  // protective entry but nothing at LBA 1
    mbr_put_entry(no_header, 0, 3, 0xEE, 1, 100);
    PartitionTable t;
    EXPECT_EQ(read(no_header, 0, &t), ERR_UNSUPPORTED);
    GptLayout g;
    gpt_disk(no_header, g);
    no_header.put(512, "EFI PARX", 8);
    EXPECT_EQ(read(no_header, 0, &t), ERR_UNSUPPORTED);
}

TEST_F(PartitionTableTest, TruncatedEntryArrayKeepsWhatWasFound) {
    ImageFile img = image();
    GptLayout g;
    gpt_disk(img, g);
    for (std::uint32_t slot = 0; slot < 4; ++slot) {
        gpt_put_entry(img, g, slot, LINUX_DATA_GUID, 100 + 10 * slot, 109 + 10 * slot);
    }
    img.resize(2 * 512 + 3 * 128 + 64);  // slot 3 cut in half
    PartitionTable t;
    ASSERT_EQ(read(img, 0, &t), 0);
    EXPECT_EQ(t.count, 3u);
}

TEST_F(PartitionTableTest, HostileGptValuesAreNotWrapped) {
    ImageFile img = image();
    GptLayout g;
    gpt_disk(img, g);
    gpt_put_entry(img, g, 0, LINUX_DATA_GUID, 1ull << 55, (1ull << 55) + 1);  // start past 2^64
    gpt_put_entry(img, g, 1, LINUX_DATA_GUID, 0, MAX64);                      // 2^64 sectors
    gpt_put_entry(img, g, 2, LINUX_DATA_GUID, 1ull << 54, (1ull << 55) - 1);  // ends at 2^64
    gpt_put_entry(img, g, 3, ESP_GUID, 34, 34);
    PartitionTable t;
    ASSERT_EQ(read(img, 0, &t), 0);
    ASSERT_EQ(t.count, 1u);
    EXPECT_STREQ(t.entries[0].type_guid, ESP_TEXT);

    // An entry array at LBA 2^55 + 2 would wrap around to the real array at LBA 2.
    GptLayout far = g;
    far.entries_lba = (1ull << 55) + 2;
    gpt_disk(img, far);
    ASSERT_EQ(read(img, 0, &t), 0);
    EXPECT_EQ(t.count, 0u);
}

TEST_F(PartitionTableTest, HostileLogicalStartIsNotWrapped) {
    // With the largest sector size, (record LBA + first LBA) x sector size passes 2^64.
    constexpr std::uint32_t ss = 0xFFFFFFFF;
    ImageFile img = image();
    mbr_put_entry(img, 0, 0, 0x05, 3, 10);
    mbr_put_entry(img, 3ull * ss, 0, 0x83, 0xFFFFFFFF, 1);
    mbr_put_entry(img, 3ull * ss, 1, 0x05, 1, 1);
    mbr_put_entry(img, 4ull * ss, 0, 0x83, 1, 1);
    PartitionTable t;
    ASSERT_EQ(read(img, ss, &t), 0);
    // The unaddressable first logical partition still took number 5.
    expect_mbr_entries(t, {{5ull * ss, ss, 0x83, 6}});
}

// The same GPT written with 4096-byte sectors: an image file is read with
// 512-byte sectors, as the kernel reads it through a default loop device, and
// a 4096-byte-sector device with its own sector size.
TEST_F(PartitionTableAsRoot, SectorSizeComesFromTheDevice) {
    ImageFile img = image();
    GptLayout g;
    g.sector = 4096;
    g.total_sectors = 4096;
    gpt_disk(img, g);
    gpt_put_entry(img, g, 1, LINUX_DATA_GUID, 256, 511);
    img.resize(16ull << 20);
    PartitionTable t;
    EXPECT_EQ(read(img, 0, &t), ERR_UNSUPPORTED);
    EXPECT_EQ(t.sector_size, 512u);

    if (!test::running_as_root()) GTEST_SKIP() << "needs root: attaches a loop device";
    const std::string loop =
        test::shell_output("losetup -r -b 4096 -f --show '" + img.path() + "'");
    ASSERT_EQ(loop.rfind("/dev/loop", 0), 0u) << loop;
    const std::string device = loop.substr(0, loop.find('\n'));
    const int rc = read_partition_table(device.c_str(), 0, &t);
    test::shell("losetup -d " + device);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(t.sector_size, 4096u);
    ASSERT_EQ(t.count, 1u);
    EXPECT_EQ(t.entries[0].number, 2u);
    EXPECT_EQ(t.entries[0].start, 256u * 4096);
    EXPECT_EQ(t.entries[0].size, 256u * 4096);
}

TEST_F(PartitionTableTest, ReadsTheLargestEntryArrayQuickly) {
    ImageFile img = image();
    GptLayout g;
    g.entry_count = 4096;
    g.entry_bytes = 512;
    gpt_disk(img, g);
    gpt_put_entry(img, g, 4095, ESP_GUID, 100, 199);  // only the very last slot used
    PartitionTable t;
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(read(img, 0, &t), ERR_UNSUPPORTED);  // partition 4096 is past what is compared
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(2));
    EXPECT_EQ(t.too_many, 1);
    EXPECT_EQ(t.count, 0u);
}

}  // namespace
}  // namespace qor
