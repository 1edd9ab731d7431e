#include "common/file_io.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "common/error.h"

namespace qor {
namespace {

class FileIoTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qor_file_io_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/ten";
        FILE* f = std::fopen(path_.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fputs("0123456789", f);
        std::fclose(f);
    }
    void TearDown() override {
        std::remove(path_.c_str());
        rmdir(dir_.c_str());
    }
    std::string dir_;
    std::string path_;
};

TEST_F(FileIoTest, ShortReadIsNotAnError) {
    int fd = -1;
    ASSERT_EQ(file_open_read(path_.c_str(), &fd), 0);
    char buf[32] = {};
    std::size_t got = 99;
    EXPECT_EQ(file_pread(fd, buf, sizeof buf, 6, &got), 0);
    EXPECT_EQ(got, 4u);
    EXPECT_STREQ(buf, "6789");
    EXPECT_EQ(file_pread(fd, buf, sizeof buf, 10, &got), 0);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(file_pread(fd, buf, 1, 0, nullptr), 0);
    EXPECT_EQ(file_close(fd), 0);
}

TEST_F(FileIoTest, MapsFailuresToSuiteCodes) {
    int fd = 123;
    EXPECT_EQ(file_open_read((dir_ + "/none").c_str(), &fd), ERR_NOT_FOUND);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(file_open_read((path_ + "/below").c_str(), &fd), ERR_GENERIC);  // ENOTDIR

    ASSERT_EQ(file_open_read(dir_.c_str(), &fd), 0);
    char buf[8];
    std::size_t got = 99;
    EXPECT_EQ(file_pread(fd, buf, sizeof buf, 0, &got), ERR_GENERIC);  // EISDIR
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(file_pread(fd, buf, sizeof buf, std::numeric_limits<std::uint64_t>::max(), &got),
              ERR_INVALID);
    EXPECT_EQ(file_close(fd), 0);
    EXPECT_EQ(file_close(fd), ERR_GENERIC);  // EBADF: already closed
    EXPECT_EQ(file_close(-1), 0);
}

}  // namespace
}  // namespace qor
