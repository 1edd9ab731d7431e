#include "meta/backup_header.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/error.h"
#include "meta/snapshot_ref.h"
#include "support/fd_count.h"

namespace qor {
namespace {

void put_le16(std::vector<std::uint8_t>& b, std::size_t off, std::uint16_t v) {
    for (int i = 0; i < 2; ++i) b[off + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void put_le32(std::vector<std::uint8_t>& b, std::size_t off, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[off + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void put_le64(std::vector<std::uint8_t>& b, std::size_t off, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) b[off + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// A header as the backup program writes it, cut to `size` bytes.
std::vector<std::uint8_t> valid_record(std::size_t size = BACKUP_HEADER_RECORD_SIZE) {
    std::vector<std::uint8_t> b(BACKUP_HEADER_RECORD_SIZE, 0);
    std::memcpy(b.data(), "QORM", 4);
    put_le16(b, 4, 1);
    put_le32(b, 8, 131072);
    put_le32(b, 12, 4194304);
    put_le64(b, 76, 0x0123456789ABCDEFULL);
    const char ref[] = "lvm:vg0/root=root_snap";
    std::memcpy(b.data() + BACKUP_HEADER_SNAPSHOT_REF_OFFSET, ref, sizeof ref);
    b.resize(size);
    return b;
}

using qor::test::open_fd_count;

class BackupHeaderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qor_header_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/backup.meta";
        header_ = std::make_unique<BackupHeader>();
        // Garbage everywhere, so a reader that forgets to clear the record shows it.
        std::memset(header_.get(), 0xAA, sizeof(BackupHeader));
    }
    void TearDown() override {
        std::remove(path_.c_str());
        rmdir(dir_.c_str());
    }

    int read(const std::vector<std::uint8_t>& bytes) {
        FILE* f = std::fopen(path_.c_str(), "wb");
        EXPECT_NE(f, nullptr);
        if (f == nullptr) return 1;
        EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
        std::fclose(f);
        return read_backup_header(path_.c_str(), header_.get());
    }

    std::string dir_;
    std::string path_;
    std::unique_ptr<BackupHeader> header_;
};

TEST_F(BackupHeaderTest, DecodesLittleEndianFieldsOfAValidRecord) {
    ASSERT_EQ(read(valid_record()), 0);
    EXPECT_EQ(header_->magic, BACKUP_HEADER_MAGIC);
    EXPECT_EQ(header_->version, 1);
    EXPECT_EQ(header_->header_length, 131072u);
    EXPECT_EQ(header_->chunk_size, 4194304u);
    EXPECT_EQ(header_->source_size, 0x0123456789ABCDEFULL);
    EXPECT_STREQ(header_->snapshot_ref(), "lvm:vg0/root=root_snap");
}

TEST_F(BackupHeaderTest, AcceptsSmallestHeader) {
    auto b = valid_record(4096);
    put_le32(b, 8, 4096);
    ASSERT_EQ(read(b), 0);
    EXPECT_STREQ(header_->snapshot_ref(), "");  // the record past the data reads as zero
}

TEST_F(BackupHeaderTest, RejectsMalformedRecordsInOrder) {
    struct Case {
        const char* what;
        std::size_t size;
        std::size_t field;  // offset of the u32/u16 to change
        std::uint32_t value;
        bool is_u16;
        int expected;
    };
    const Case cases[] = {
        {"one byte short of the minimum, even with version 2", 4095, 4, 2, true, ERR_FORMAT},
        {"magic in the wrong byte order", BACKUP_HEADER_RECORD_SIZE, 0, 0x514F524D, false,
         ERR_FORMAT},
        {"header_length below 4096", BACKUP_HEADER_RECORD_SIZE, 8, 4095, false, ERR_FORMAT},
        {"header_length above 4 MiB", BACKUP_HEADER_RECORD_SIZE, 8, 4194305, false, ERR_FORMAT},
        {"header_length past the bytes read", BACKUP_HEADER_RECORD_SIZE, 8, 131073, false,
         ERR_FORMAT},
        {"header_length longer than a short file", 8191, 8, 8192, false, ERR_FORMAT},
        {"version 2", BACKUP_HEADER_RECORD_SIZE, 4, 2, true, ERR_UNSUPPORTED},
        {"version 65535", BACKUP_HEADER_RECORD_SIZE, 4, 65535, true, ERR_UNSUPPORTED},
        {"version 0", BACKUP_HEADER_RECORD_SIZE, 4, 0, true, 0},
    };
    for (const Case& c : cases) {
        auto b = valid_record(c.size);
        if (c.size < BACKUP_HEADER_RECORD_SIZE) put_le32(b, 8, static_cast<std::uint32_t>(c.size));
        if (c.is_u16) {
            put_le16(b, c.field, static_cast<std::uint16_t>(c.value));
        } else {
            put_le32(b, c.field, c.value);
        }
        EXPECT_EQ(read(b), c.expected) << c.what;
    }
}

TEST_F(BackupHeaderTest, JudgesMagicAndLengthBeforeVersion) {
    auto bad_magic = valid_record();
    put_le16(bad_magic, 4, 2);
    bad_magic[0] = 'X';
    EXPECT_EQ(read(bad_magic), ERR_FORMAT);

    auto bad_length = valid_record();
    put_le16(bad_length, 4, 2);
    put_le32(bad_length, 8, 131073);
    EXPECT_EQ(read(bad_length), ERR_FORMAT);
}

TEST_F(BackupHeaderTest, MapsOpenAndReadFailures) {
    int before = open_fd_count();
    EXPECT_EQ(read_backup_header((dir_ + "/missing.meta").c_str(), header_.get()), ERR_NOT_FOUND);
    EXPECT_EQ(read_backup_header(dir_.c_str(), header_.get()), ERR_GENERIC);  // EISDIR
    EXPECT_EQ(read_backup_header(nullptr, header_.get()), ERR_INVALID);
    EXPECT_EQ(read(valid_record(100)), ERR_FORMAT);
    EXPECT_EQ(open_fd_count(), before);
}

TEST_F(BackupHeaderTest, ReferenceOfAShortFileEndsAtTheData) {
    // The last byte written is the first byte of the reference field.
    auto cut = valid_record(BACKUP_HEADER_SNAPSHOT_REF_OFFSET);
    put_le32(cut, 8, BACKUP_HEADER_SNAPSHOT_REF_OFFSET);
    ASSERT_EQ(read(cut), 0);
    EXPECT_STREQ(header_->snapshot_ref(), "");

    auto partial = valid_record(BACKUP_HEADER_SNAPSHOT_REF_OFFSET + 3);
    put_le32(partial, 8, BACKUP_HEADER_SNAPSHOT_REF_OFFSET + 3);
    ASSERT_EQ(read(partial), 0);
    EXPECT_STREQ(header_->snapshot_ref(), "lvm");
}

TEST_F(BackupHeaderTest, UnterminatedReferenceStopsAtTheRecordEnd) {
    auto b = valid_record();
    std::memset(b.data() + BACKUP_HEADER_SNAPSHOT_REF_OFFSET, 'a',
                BACKUP_HEADER_RECORD_SIZE - BACKUP_HEADER_SNAPSHOT_REF_OFFSET);
    std::memcpy(b.data() + BACKUP_HEADER_SNAPSHOT_REF_OFFSET, "lvm:vg/lv=", 10);
    ASSERT_EQ(read(b), 0);
    EXPECT_EQ(std::strlen(header_->snapshot_ref()),
              BACKUP_HEADER_RECORD_SIZE - BACKUP_HEADER_SNAPSHOT_REF_OFFSET);
    SnapshotRef ref;
    EXPECT_EQ(parse_snapshot_ref(header_->snapshot_ref(), &ref), -1);  // snapshot name too long
}

}  // namespace
}  // namespace qor
