#include "compare/filesystem_probe.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "common/error.h"
#include "support/fs_fixture.h"
#include "support/test_temp_dir.h"

namespace qor {
namespace {

bool tool_exists(const std::string& name) {
    for (const char* dir : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"}) {
        if (::access((dir + name).c_str(), X_OK) == 0) return true;
    }
    return false;
}

#define SKIP_WITHOUT(tool) \
    if (!tool_exists(tool)) GTEST_SKIP() << tool " is not installed"

class FilesystemProbe : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(tmp_.ok()); }

    // Formats a fresh 16 MiB sparse image with the test world's image builder.
    void make_filesystem(const std::string& fs) {
        ASSERT_TRUE(test::make_image({fs, image_, "16"})) << fs;
    }

    void write_image(const std::vector<std::uint8_t>& bytes) {
        std::ofstream out(image_, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }

    int probe(std::uint64_t offset = 0) {
        fs_type_ = -1;
        return probe_filesystem(image_.c_str(), offset, &fs_type_);
    }

    TestTempDir tmp_;
    std::string dir_ = tmp_.path(), image_ = tmp_ / "image";
    int fs_type_ = -1;
};

TEST_F(FilesystemProbe, RecognisesExt2) {
    SKIP_WITHOUT("mkfs.ext2");
    make_filesystem("ext2");
    EXPECT_EQ(probe(), 0);
    EXPECT_EQ(fs_type_, FS_EXT2);
}

TEST_F(FilesystemProbe, RecognisesExt3ByItsJournal) {
    SKIP_WITHOUT("mkfs.ext3");
    make_filesystem("ext3");
    EXPECT_EQ(probe(), 0);
    EXPECT_EQ(fs_type_, FS_EXT3);
}

TEST_F(FilesystemProbe, RecognisesExt4ByExtents) {
    SKIP_WITHOUT("mkfs.ext4");
    make_filesystem("ext4");
    EXPECT_EQ(probe(), 0);
    EXPECT_EQ(fs_type_, FS_EXT4);
    EXPECT_EQ(probe(4096), 0);  // not at the start of a file system
    EXPECT_EQ(fs_type_, FS_UNKNOWN);
}

TEST_F(FilesystemProbe, RecognisesNtfs) {
    SKIP_WITHOUT("mkfs.ntfs");
    make_filesystem("ntfs");
    EXPECT_EQ(probe(), 0);
    EXPECT_EQ(fs_type_, FS_NTFS);
}

TEST_F(FilesystemProbe, ReadsAtTheGivenOffsetAndPrefersNtfs) {
    std::vector<std::uint8_t> bytes(1 << 20, 0);
    const std::size_t at = 512 * 1024;
    bytes[at + 1080] = 0x53;  // ext magic, no feature bits
    bytes[at + 1081] = 0xEF;
    write_image(bytes);
    EXPECT_EQ(probe(at), 0);
    EXPECT_EQ(fs_type_, FS_EXT2);
    EXPECT_EQ(probe(0), 0);
    EXPECT_EQ(fs_type_, FS_UNKNOWN);

    const char oem[] = "NTFS    ";
    std::copy(oem, oem + 8, bytes.begin() + at + 3);
    write_image(bytes);
    EXPECT_EQ(probe(at), 0);
    EXPECT_EQ(fs_type_, FS_NTFS);
}

TEST_F(FilesystemProbe, ShortReadIsUnknownButNotAnError) {
    std::vector<std::uint8_t> bytes(2047, 0);
    bytes[1080] = 0x53;
    bytes[1081] = 0xEF;
    write_image(bytes);
    EXPECT_EQ(probe(), 0);
    EXPECT_EQ(fs_type_, FS_UNKNOWN);
    EXPECT_EQ(probe(1 << 30), 0);  // past the end
    EXPECT_EQ(fs_type_, FS_UNKNOWN);
}

TEST_F(FilesystemProbe, ReturnsOpenAndReadErrors) {
    image_ = dir_ + "/missing";
    EXPECT_EQ(probe(), ERR_NOT_FOUND);
    EXPECT_EQ(fs_type_, FS_UNKNOWN);
    image_ = dir_;  // a directory opens but cannot be read
    EXPECT_EQ(probe(), ERR_GENERIC);
    EXPECT_EQ(fs_type_, FS_UNKNOWN);
}

}  // namespace
}  // namespace qor
