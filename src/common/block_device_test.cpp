#include "common/block_device.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "support/test_temp_dir.h"

namespace qor {
namespace {

constexpr std::uint64_t SIZE = 3 * 1048576 + 4096;

// A file of SIZE bytes with data at its start, middle and end.
std::string dirty_file(const TestTempDir& tmp) {
    std::string path = tmp / "volume.img";
    std::ofstream f(path, std::ios::binary);
    for (std::uint64_t at : {std::uint64_t{0}, SIZE / 2, SIZE - 16}) {
        f.seekp(static_cast<std::streamoff>(at));
        f << "sixteen bytes!!!";
    }
    return path;
}

bool reads_as_zeros(const std::string& path, std::uint64_t size) {
    std::ifstream f(path, std::ios::binary);
    std::string buf(1 << 16, '\0');
    std::uint64_t seen = 0;
    while (f.read(buf.data(), static_cast<std::streamsize>(buf.size())) || f.gcount() > 0) {
        auto n = static_cast<std::size_t>(f.gcount());
        if (buf.find_first_not_of('\0', 0) < n) return false;
        seen += n;
    }
    return seen == size;
}

TEST(BlockDevice, SizesAndZeroesARegularFile) {
    TestTempDir tmp;
    std::string path = dirty_file(tmp);
    std::uint64_t size = 0;
    char err[200] = "junk";
    ASSERT_EQ(block_device_size(path.c_str(), &size, err, sizeof err), 0) << err;
    EXPECT_EQ(size, SIZE);
    EXPECT_STREQ(err, "");
    ASSERT_EQ(block_device_zero(path.c_str(), err, sizeof err), 0) << err;
    EXPECT_TRUE(reads_as_zeros(path, SIZE));
}

// Through a loop device the kernel's BLKZEROOUT does the work, as on an LV.
TEST(BlockDeviceAsRoot, SizesAndZeroesABlockDevice) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to attach a loop device";
    TestTempDir tmp;
    std::string file = dirty_file(tmp);
    std::string cmd = "losetup -f --show " + file;
    FILE* p = ::popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    char dev[64] = "";
    bool got = std::fgets(dev, sizeof dev, p) != nullptr;
    ::pclose(p);
    ASSERT_TRUE(got);
    std::string loop(dev, std::strcspn(dev, "\n"));
    std::uint64_t size = 0;
    char err[200] = "";
    EXPECT_EQ(block_device_size(loop.c_str(), &size, err, sizeof err), 0) << err;
    EXPECT_EQ(size, SIZE);
    EXPECT_EQ(block_device_zero(loop.c_str(), err, sizeof err), 0) << err;
    EXPECT_EQ(std::system(("losetup -d " + loop).c_str()), 0);
    EXPECT_TRUE(reads_as_zeros(file, SIZE));
}

TEST(BlockDevice, RefusesWhatIsNeitherDeviceNorFile) {
    std::uint64_t size = 7;
    char err[200] = "";
    EXPECT_EQ(block_device_size("/dev/null", &size, err, sizeof err), -1);
    EXPECT_STREQ(err, "/dev/null is neither a block device nor a regular file");
    EXPECT_EQ(block_device_zero("/nonexistent/volume", err, sizeof err), -1);
    EXPECT_STREQ(err, "cannot open /nonexistent/volume: No such file or directory");
}

}  // namespace
}  // namespace qor
