#include "meta/backup_header.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/error.h"
#include "meta/snapshot_ref.h"
#include "support/fd_count.h"
#include "support/image_writer.h"
#include "support/test_temp_dir.h"

namespace qor {
namespace {

using qor::test::open_fd_count;

class BackupHeaderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(tmp_.ok());
        header_ = std::make_unique<BackupHeader>();
        // Garbage everywhere, so a reader that forgets to clear the record shows it.
        std::memset(header_.get(), 0xAA, sizeof(BackupHeader));
    }

    // A header as the backup program writes it, cut to `size` bytes; the
    // returned file takes further changes.
    test::ImageFile write_valid(std::size_t size = BACKUP_HEADER_RECORD_SIZE) {
        test::ImageFile file(path_);
        test::MetaHeader h;
        h.chunk_size = 4194304;
        h.source_size = 0x0123456789ABCDEFULL;
        h.snapshot_ref = "lvm:vg0/root=root_snap";
        test::meta_put_header(file, h, size);
        return file;
    }

    int read(const test::ImageFile& file) {
        EXPECT_TRUE(file.ok());
        return read_backup_header(path_.c_str(), header_.get());
    }

    TestTempDir tmp_;
    std::string path_ = tmp_ / "backup.meta";
    std::unique_ptr<BackupHeader> header_;
};

TEST_F(BackupHeaderTest, DecodesLittleEndianFieldsOfAValidRecord) {
    ASSERT_EQ(read(write_valid()), 0);
    EXPECT_EQ(header_->magic, BACKUP_HEADER_MAGIC);
    EXPECT_EQ(header_->version, 1);
    EXPECT_EQ(header_->header_length, 131072u);
    EXPECT_EQ(header_->chunk_size, 4194304u);
    EXPECT_EQ(header_->source_size, 0x0123456789ABCDEFULL);
    EXPECT_STREQ(header_->snapshot_ref(), "lvm:vg0/root=root_snap");
}

TEST_F(BackupHeaderTest, AcceptsSmallestHeader) {
    auto file = write_valid(4096);
    file.put_le(8, 4096, 4);
    ASSERT_EQ(read(file), 0);
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
        auto file = write_valid(c.size);
        if (c.size < BACKUP_HEADER_RECORD_SIZE) file.put_le(8, c.size, 4);
        file.put_le(c.field, c.value, c.is_u16 ? 2 : 4);
        EXPECT_EQ(read(file), c.expected) << c.what;
    }
}

TEST_F(BackupHeaderTest, JudgesMagicAndLengthBeforeVersion) {
    auto bad_magic = write_valid();
    bad_magic.put_le(4, 2, 2);
    bad_magic.put_text(0, "X");
    EXPECT_EQ(read(bad_magic), ERR_FORMAT);

    auto bad_length = write_valid();
    bad_length.put_le(4, 2, 2);
    bad_length.put_le(8, 131073, 4);
    EXPECT_EQ(read(bad_length), ERR_FORMAT);
}

TEST_F(BackupHeaderTest, MapsOpenAndReadFailures) {
    int before = open_fd_count();
    EXPECT_EQ(read_backup_header((tmp_ / "missing.meta").c_str(), header_.get()), ERR_NOT_FOUND);
    EXPECT_EQ(read_backup_header(tmp_.path().c_str(), header_.get()), ERR_GENERIC);  // EISDIR
    EXPECT_EQ(read_backup_header(nullptr, header_.get()), ERR_INVALID);
    EXPECT_EQ(read(write_valid(100)), ERR_FORMAT);
    EXPECT_EQ(open_fd_count(), before);
}

// Only a regular file is read as a header: a FIFO must not stall the run and
// a device is refused before anything is read from it. A symbolic link to a
// header works, as operators point "latest.meta" at the newest backup.
using BackupHeaderDeathTest = BackupHeaderTest;
TEST_F(BackupHeaderDeathTest, ReadsOnlyRegularFilesFollowingLinks) {
    write_valid();
    const std::string latest = tmp_ / "latest.meta", fifo = tmp_ / "fifo.meta";
    ASSERT_EQ(::symlink(path_.c_str(), latest.c_str()), 0);
    EXPECT_EQ(read_backup_header(latest.c_str(), header_.get()), 0);
    EXPECT_EQ(header_->source_size, 0x0123456789ABCDEFULL);

    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string zero_link = tmp_ / "zero.meta";
    ASSERT_EQ(::symlink("/dev/zero", zero_link.c_str()), 0);
    int before = open_fd_count();
    for (const std::string& path : {fifo, zero_link, std::string("/dev/zero"), tmp_.path()}) {
        // In a child with an alarm: a reader that blocks is killed, not waited for.
        EXPECT_EXIT(
            {
                ::alarm(5);
                std::exit(read_backup_header(path.c_str(), header_.get()) == ERR_GENERIC ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), "")
            << path;
    }
    EXPECT_EQ(open_fd_count(), before);
}

TEST_F(BackupHeaderTest, ReferenceOfAShortFileEndsAtTheData) {
    // The last byte written is the first byte of the reference field.
    auto cut = write_valid(BACKUP_HEADER_SNAPSHOT_REF_OFFSET);
    cut.put_le(8, BACKUP_HEADER_SNAPSHOT_REF_OFFSET, 4);
    ASSERT_EQ(read(cut), 0);
    EXPECT_STREQ(header_->snapshot_ref(), "");

    auto partial = write_valid(BACKUP_HEADER_SNAPSHOT_REF_OFFSET + 3);
    partial.put_le(8, BACKUP_HEADER_SNAPSHOT_REF_OFFSET + 3, 4);
    ASSERT_EQ(read(partial), 0);
    EXPECT_STREQ(header_->snapshot_ref(), "lvm");
}

TEST_F(BackupHeaderTest, UnterminatedReferenceStopsAtTheRecordEnd) {
    auto file = write_valid();
    file.put_text(BACKUP_HEADER_SNAPSHOT_REF_OFFSET,
                  std::string(BACKUP_HEADER_RECORD_SIZE - BACKUP_HEADER_SNAPSHOT_REF_OFFSET, 'a'));
    file.put_text(BACKUP_HEADER_SNAPSHOT_REF_OFFSET, "lvm:vg/lv=");
    ASSERT_EQ(read(file), 0);
    EXPECT_EQ(std::strlen(header_->snapshot_ref()),
              BACKUP_HEADER_RECORD_SIZE - BACKUP_HEADER_SNAPSHOT_REF_OFFSET);
    SnapshotRef ref;
    EXPECT_EQ(parse_snapshot_ref(header_->snapshot_ref(), &ref), -1);  // snapshot name too long
}

}  // namespace
}  // namespace qor
