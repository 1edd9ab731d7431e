#include "common/file_io.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <limits>
#include <string>

#include "common/error.h"
#include "support/test_temp_dir.h"

namespace qor {
namespace {

class FileIoTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(tmp_.ok());
        std::ofstream(path_) << "0123456789";
    }
    TestTempDir tmp_;
    std::string path_ = tmp_ / "ten";
};

TEST_F(FileIoTest, ShortReadIsNotAnError) {
    UniqueFd fd;
    ASSERT_EQ(file_open_read(path_.c_str(), &fd), 0);
    char buf[32] = {};
    std::size_t got = 99;
    EXPECT_EQ(file_pread(fd.get(), buf, sizeof buf, 6, &got), 0);
    EXPECT_EQ(got, 4u);
    EXPECT_STREQ(buf, "6789");
    EXPECT_EQ(file_pread(fd.get(), buf, sizeof buf, 10, &got), 0);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(file_pread(fd.get(), buf, 1, 0, nullptr), 0);
    EXPECT_EQ(file_close(fd.release()), 0);
}

TEST_F(FileIoTest, MapsFailuresToSuiteCodes) {
    UniqueFd fd(::dup(0));
    EXPECT_EQ(file_open_read((tmp_ / "none").c_str(), &fd), ERR_NOT_FOUND);
    EXPECT_FALSE(fd.is_open());
    EXPECT_EQ(errno, ENOENT);  // left for callers that quote the system's text
    EXPECT_EQ(file_open_read((path_ + "/below").c_str(), &fd), ERR_GENERIC);  // ENOTDIR
    EXPECT_EQ(file_open_read(nullptr, &fd), ERR_INVALID);

    ASSERT_EQ(file_open_read(tmp_.path().c_str(), &fd), 0);
    char buf[8];
    std::size_t got = 99;
    EXPECT_EQ(file_pread(fd.get(), buf, sizeof buf, 0, &got), ERR_GENERIC);  // EISDIR
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(
        file_pread(fd.get(), buf, sizeof buf, std::numeric_limits<std::uint64_t>::max(), &got),
        ERR_INVALID);
    const int raw = fd.release();
    EXPECT_EQ(file_close(raw), 0);
    EXPECT_EQ(file_close(raw), ERR_GENERIC);  // EBADF: already closed
    EXPECT_EQ(file_close(-1), 0);
}

TEST_F(FileIoTest, ReadFullAtStopsAtEndOfFileAndFailsOnUnreadableDescriptors) {
    UniqueFd fd;
    ASSERT_EQ(file_open_read(path_.c_str(), &fd), 0);
    char buf[16] = {};
    EXPECT_EQ(read_full_at(fd.get(), buf, 0, 0), 0);
    EXPECT_EQ(read_full_at(fd.get(), buf, 4, 3), 4);
    EXPECT_EQ(std::string(buf, 4), "3456");
    EXPECT_EQ(read_full_at(fd.get(), buf, 16, 6), 4);  // only up to end of file
    EXPECT_EQ(read_full_at(fd.get(), buf, 16, 100), 0);
    EXPECT_EQ(read_full_at(fd.get(), buf, 4, ~std::uint64_t{0} - 1), -1);  // not addressable

    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    UniqueFd read_end(pipe_fds[0]), write_end(pipe_fds[1]);
    EXPECT_EQ(read_full_at(read_end.get(), buf, 4, 0), -1);  // not seekable
}

}  // namespace
}  // namespace qor
