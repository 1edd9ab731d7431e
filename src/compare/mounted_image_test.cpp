#include "compare/mounted_image.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/fs_fixture.h"
#include "support/test_temp_dir.h"

namespace qor {
namespace {

using test::FakeToolDir;

const char ROOT_PATTERN[] = R"(/var/tmp/qor_verifier\.[A-Za-z0-9]{6})";
const char LOOP_PATTERN[] = R"(/dev/loop[0-9]+)";

bool record_is_cleared(const MountedImage& image) {
    return image.root_dir[0] == '\0' && image.loop_device[0] == '\0' &&
           image.partitions_mounted == 0 && image.whole_mounted == 0;
}

// Field `index` (0-based) of a mountinfo line; the super-block options come
// after the " - " separator.
std::string mountinfo_field(const std::string& line, int index) {
    std::istringstream fields(line);
    std::string field;
    for (int i = 0; i <= index; ++i) fields >> field;
    return field;
}

struct MountFacts {
    std::string source, fs_type, options, super_options;
};

MountFacts mount_facts(const std::string& mount_point) {
    std::string line = test::mountinfo_line(mount_point);
    std::size_t dash = line.find(" - ");
    if (dash == std::string::npos) return {};
    std::string tail = line.substr(dash + 3);
    return {mountinfo_field(tail, 1), mountinfo_field(tail, 0), mountinfo_field(line, 5),
            mountinfo_field(tail, 2)};
}

// Every test leaves no mount, no temporary directory and no loop device
// behind, whatever mount_image or unmount_image did.
class MountedImageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!test::running_as_root()) {
            GTEST_SKIP() << "needs root: attaches loop devices and mounts file systems";
        }
        lock_ = std::make_unique<test::FsTestLock>();
        ASSERT_TRUE(temp_.ok());
        roots_before_ = test::verifier_roots();
        tools_ = std::make_unique<FakeToolDir>();
        tools_->set_path_before_inherited();  // partx, which the partx losetup needs
        std::strcpy(err_, "stale");
    }

    void TearDown() override {
        if (!test::running_as_root()) return;
        unmount_image(&image_);
        tools_.reset();
        EXPECT_EQ(test::leftovers_since(roots_before_, temp_.path()), "");
    }

    // An ext image holding the given files (name -> text).
    std::string ext_image(const std::string& name, const std::string& fs,
                          const std::map<std::string, std::string>& files) {
        std::string source = temp_ / (name + ".src");
        std::filesystem::create_directories(source);
        for (const auto& [file, text] : files) test::write_file(source + "/" + file, text);
        std::string image = temp_ / (name + ".img");
        EXPECT_TRUE(test::make_image({fs, image, "16", source})) << image;
        return image;
    }

    std::string blank_image(const std::string& name) {
        std::string image = temp_ / (name + ".img");
        EXPECT_TRUE(test::shell("truncate -s 8M '" + image + "'"));
        return image;
    }

    std::string disk_image(const std::string& name, const std::string& label,
                           const std::vector<std::string>& fs_images) {
        std::string image = temp_ / (name + ".img");
        std::vector<std::string> args{"disk", image, label};
        args.insert(args.end(), fs_images.begin(), fs_images.end());
        EXPECT_TRUE(test::make_image(args)) << image;
        return image;
    }

    // Records losetup, udevadm, mount and umount; losetup creates partition
    // nodes when `partx` is set, and udevadm (not installed here) does nothing.
    void record_tools(bool partx) {
        std::string losetup = partx ? test::partx_losetup_dir() + "/losetup" : "/usr/sbin/losetup";
        tools_->add_tool("losetup", "exec '" + losetup + "' \"$@\"");
        tools_->add_tool("udevadm", "exit 0");
        tools_->add_tool("mount", "exec /usr/bin/mount \"$@\"");
        tools_->add_tool("umount", "exec /usr/bin/umount \"$@\"");
    }

    int mount(const std::string& device) {
        return mount_image(device.c_str(), &image_, err_, sizeof err_);
    }

    std::string mounted(const std::string& where) { return std::string(image_.root_dir) + where; }

    std::unique_ptr<test::FsTestLock> lock_;
    TestTempDir temp_;
    std::string roots_before_;
    std::unique_ptr<FakeToolDir> tools_;
    MountedImage image_{};
    char err_[400];
};

TEST_F(MountedImageTest, WholeExtImageMountsReadOnlyWithNoloadOnlyWhenJournalled) {
    for (std::string fs : {"ext2", "ext3", "ext4"}) {
        SCOPED_TRACE(fs);
        std::string image = ext_image(fs, fs, {{"hello", "from " + fs + "\n"}});

        ASSERT_EQ(mount(image), 0) << err_;
        EXPECT_STREQ(err_, "");
        EXPECT_TRUE(std::regex_match(image_.root_dir, std::regex(ROOT_PATTERN))) << image_.root_dir;
        EXPECT_STREQ(image_.loop_device, "");
        EXPECT_EQ(image_.whole_mounted, 1);
        EXPECT_EQ(image_.partitions_mounted, 0);
        struct stat st {};
        ASSERT_EQ(stat(image_.root_dir, &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0700u);

        MountFacts facts = mount_facts(mounted("/whole"));
        EXPECT_EQ(facts.fs_type, fs);
        EXPECT_EQ(facts.options.rfind("ro,", 0), 0u) << facts.options;
        // The kernel shows "noload" as "norecovery"; ext2 refuses the option.
        bool noload = facts.super_options.find("norecovery") != std::string::npos;
        EXPECT_EQ(noload, fs != "ext2") << facts.super_options;
        EXPECT_EQ(test::file_text(mounted("/whole/hello")), "from " + fs + "\n");

        std::string root = image_.root_dir;
        unmount_image(&image_);
        EXPECT_TRUE(record_is_cleared(image_));
        EXPECT_FALSE(std::filesystem::exists(root));
        EXPECT_EQ(test::leftovers_since(roots_before_, temp_.path()), "");
    }
}

TEST_F(MountedImageTest, UnmountingTwiceOrNothingIsHarmless) {
    record_tools(false);
    std::string image = ext_image("twice", "ext4", {{"f", "x"}});
    ASSERT_EQ(mount(image), 0) << err_;
    std::string root = image_.root_dir;
    unmount_image(&image_);
    unmount_image(&image_);
    unmount_image(nullptr);
    MountedImage cleared{};
    unmount_image(&cleared);
    EXPECT_TRUE(record_is_cleared(image_));
    EXPECT_EQ(tools_->calls(), (std::vector<std::string>{
                                   "mount -o ro,noload " + image + " " + root + "/whole",
                                   "umount " + root + "/whole",
                               }));
}

TEST_F(MountedImageTest, WholeNtfsImageMountsWithPlainRo) {
    std::string source = temp_ / "ntfs.src";
    std::filesystem::create_directories(source + "/dir");
    test::write_file(source + "/dir/file.txt", "ntfs content\n");
    std::string image = temp_ / "ntfs.img";
    ASSERT_TRUE(test::make_image({"ntfs", image, "16", source}));
    record_tools(false);

    ASSERT_EQ(mount(image), 0) << err_;
    EXPECT_EQ(image_.whole_mounted, 1);
    EXPECT_EQ(test::file_text(mounted("/whole/dir/file.txt")), "ntfs content\n");
    EXPECT_EQ(tools_->calls(),
              std::vector<std::string>{"mount -o ro " + image + " " + mounted("/whole")});
    EXPECT_EQ(mount_facts(mounted("/whole")).fs_type, "fuseblk");
}

TEST_F(MountedImageTest, PartitionedImageMountsEveryPartitionThroughOneLoopDevice) {
    std::string first = ext_image("first", "ext4", {{"name", "first\n"}});
    std::string second = ext_image("second", "ext2", {{"name", "second\n"}});
    record_tools(true);
    for (std::string label : {"dos", "gpt"}) {
        SCOPED_TRACE(label);
        std::string disk = disk_image("disk-" + label, label, {first, second});
        tools_->forget_calls();

        ASSERT_EQ(mount(disk), 0) << err_;
        std::string loop = image_.loop_device;
        EXPECT_TRUE(std::regex_match(loop, std::regex(LOOP_PATTERN))) << loop;
        EXPECT_EQ(image_.partitions_mounted, 2);
        EXPECT_EQ(image_.whole_mounted, 0);
        EXPECT_EQ(test::file_text(mounted("/p0/name")), "first\n");
        EXPECT_EQ(test::file_text(mounted("/p1/name")), "second\n");
        EXPECT_EQ(mount_facts(mounted("/p0")).source, loop + "p1");
        EXPECT_EQ(mount_facts(mounted("/p1")).source, loop + "p2");
        std::string root = image_.root_dir;

        unmount_image(&image_);
        EXPECT_TRUE(record_is_cleared(image_));
        EXPECT_EQ(tools_->calls(), (std::vector<std::string>{
                                       "losetup -P --show -f -r " + disk,
                                       "udevadm settle --timeout=5",
                                       "mount -o ro,noload " + loop + "p1 " + root + "/p0",
                                       "mount -o ro " + loop + "p2 " + root + "/p1",
                                       "umount " + root + "/p0",
                                       "umount " + root + "/p1",
                                       "losetup -d " + loop,
                                   }));
        EXPECT_EQ(test::leftovers_since(roots_before_, temp_.path()), "");
        EXPECT_FALSE(std::filesystem::exists(root));
    }
}

TEST_F(MountedImageTest, LosetupWarningsAndLineEndsStayOutOfTheDeviceName) {
    std::string fs = ext_image("odd-fs", "ext4", {{"f", "x"}});
    std::string disk = disk_image("odd", "dos", {fs});
    // Not a whole number of sectors: the real losetup warns before the name.
    ASSERT_TRUE(test::shell("truncate -s +100 '" + disk + "'"));
    tools_->add_tool("losetup",
                     "case \"$1\" in -d) exec /usr/sbin/losetup \"$@\" ;; esac\n"
                     "out=$('" +
                         test::partx_losetup_dir() +
                         "/losetup' \"$@\" 2>&1) || exit 1\n"
                         "printf '%s\\r\\n' \"$out\"");

    ASSERT_EQ(mount(disk), 0) << err_;
    EXPECT_TRUE(std::regex_match(image_.loop_device, std::regex(LOOP_PATTERN)))
        << image_.loop_device;
    EXPECT_EQ(image_.partitions_mounted, 1);
}

TEST_F(MountedImageTest, PartitionNodeThatNeverAppearsFailsAfterFiveSecondsAndDetaches) {
    std::string fs = ext_image("lonely", "ext4", {{"f", "x"}});
    std::string disk = disk_image("no-nodes", "dos", {fs});
    record_tools(false);

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(mount(disk), -1);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(4900));
    EXPECT_LT(waited, std::chrono::seconds(9));

    std::smatch match;
    std::string err = err_;
    ASSERT_TRUE(std::regex_match(
        err, match,
        std::regex(std::string("partition device (") + LOOP_PATTERN + ")p1 did not appear")))
        << err;
    EXPECT_TRUE(record_is_cleared(image_));
    EXPECT_EQ(tools_->calls().back(), "losetup -d " + match[1].str());
}

TEST_F(MountedImageTest, UnmountableSecondPartitionUndoesEverything) {
    std::string good = ext_image("good", "ext4", {{"f", "x"}});
    std::string blank = blank_image("blank");
    std::string disk = disk_image("half", "dos", {good, blank});
    record_tools(true);

    EXPECT_EQ(mount(disk), -1);
    std::smatch match;
    std::string err = err_;
    ASSERT_TRUE(
        std::regex_match(err, match,
                         std::regex(std::string("cannot mount (") + LOOP_PATTERN + ")p2 at (" +
                                    ROOT_PATTERN + ")/p1: mount: [\\s\\S]*[^\n]")))
        << err;
    EXPECT_TRUE(record_is_cleared(image_));
    std::string loop = match[1].str();
    std::string root = match[2].str();
    std::vector<std::string> calls = tools_->calls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(calls.end() - 2, calls.end()),
              (std::vector<std::string>{"umount " + root + "/p0", "losetup -d " + loop}));
    EXPECT_FALSE(std::filesystem::exists(root));
}

TEST_F(MountedImageTest, UnmountableWholeImageLeavesNoDirectory) {
    std::string image = temp_ / "garbage.img";
    ASSERT_TRUE(test::shell("yes garbage | head -c 4M > '" + image + "'"));

    EXPECT_EQ(mount(image), -1);
    std::string err = err_;
    EXPECT_TRUE(std::regex_match(err, std::regex("cannot mount " + image + " at " + ROOT_PATTERN +
                                                 "/whole: mount: [\\s\\S]*[^\n]")))
        << err;
    EXPECT_TRUE(record_is_cleared(image_));
}

TEST_F(MountedImageTest, UnreadableImageFailsBeforeMounting) {
    std::string missing = temp_ / "missing.img";
    EXPECT_EQ(mount(missing), -1);
    EXPECT_EQ(std::string(err_), "cannot read the partition table of " + missing);
    EXPECT_TRUE(record_is_cleared(image_));
}

TEST_F(MountedImageTest, FailedLoopAttachQuotesLosetup) {
    std::string fs = ext_image("attach", "ext4", {{"f", "x"}});
    std::string disk = disk_image("attach-disk", "dos", {fs});
    const std::string prefix = "cannot set up a partition-scanning loop device for " + disk +
                               " (needs losetup -P support): ";
    const std::pair<std::string, std::string> cases[] = {
        {"exit 1", "losetup failed"},
        {"echo 'losetup: cannot find an unused loop device'; exit 1",
         "losetup: cannot find an unused loop device"},
        {"exit 0", "losetup failed"},  // succeeded without naming a device
    };
    for (const auto& [body, quoted] : cases) {
        SCOPED_TRACE(body);
        tools_->add_tool("losetup", body);
        EXPECT_EQ(mount(disk), -1);
        EXPECT_EQ(std::string(err_), prefix + quoted);
        EXPECT_TRUE(record_is_cleared(image_));
    }
}

// mount_readonly chooses its options from the file system it finds; a
// recording mount shows the command line without mounting anything.
TEST(MountReadonly, UsesNoloadOnlyForJournalledExtFileSystems) {
    TestTempDir temp;
    FakeToolDir tools;
    tools.add_tool("mount", "exit 0");
    const std::pair<std::string, std::string> cases[] = {
        {"ext2", "ro"}, {"ext3", "ro,noload"}, {"ext4", "ro,noload"},
        {"ntfs", "ro"}, {"none", "ro"},        {"missing", "ro"},
    };
    for (const auto& [fs, options] : cases) {
        SCOPED_TRACE(fs);
        std::string image = temp / (fs + ".img");
        if (fs == "ntfs") {
            ASSERT_TRUE(test::make_image({"ntfs", image, "8"}));
        } else if (fs == "none") {
            ASSERT_TRUE(test::shell("truncate -s 4M '" + image + "'"));
        } else if (fs != "missing") {
            ASSERT_TRUE(test::make_image({fs, image, "8"}));
        }
        char err[64] = "stale";
        EXPECT_EQ(mount_readonly(image.c_str(), "/mnt/point", err, sizeof err), 0);
        EXPECT_STREQ(err, "");
        EXPECT_EQ(tools.calls().back(), "mount -o " + options + " " + image + " /mnt/point");
    }
}

TEST(MountReadonly, FailureQuotesMountOrFallsBack) {
    FakeToolDir tools;
    const std::pair<std::string, std::string> cases[] = {
        {"exit 32", "mount failed"},
        {"printf 'mount: /m: wrong fs type.\\n'; exit 32", "mount: /m: wrong fs type."},
        {"head -c 500 /dev/zero | tr '\\0' y; exit 1", std::string(300, 'y')},
    };
    for (const auto& [body, quoted] : cases) {
        SCOPED_TRACE(body);
        tools.add_tool("mount", body);
        char err[400] = "stale";
        EXPECT_EQ(mount_readonly("/dev/null", "/m", err, sizeof err), -1);
        EXPECT_EQ(std::string(err), "cannot mount /dev/null at /m: " + quoted);
    }
}

}  // namespace
}  // namespace qor
