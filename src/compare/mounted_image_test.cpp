#include "compare/mounted_image.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "common/unique_fd.h"
#include "support/fs_fixture.h"
#include "support/image_writer.h"
#include "support/test_temp_dir.h"

namespace qor {
namespace {

using test::FakeToolDir;

const char ROOT_PATTERN[] = R"(/var/tmp/qor_verifier\.[A-Za-z0-9]{6})";
const char LOOP_PATTERN[] = R"(/dev/loop[0-9]+)";
// The options of every ext mount, after its type.
const std::string EXT2_MOUNT = "mount -t ext2 -o ro,nosuid,nodev,noexec,errors=remount-ro ";
const std::string EXT4_MOUNT = "mount -t ext4 -o ro,noload,nosuid,nodev,noexec,errors=remount-ro ";

bool has_option(const std::string& options, const std::string& option) {
    return ("," + options + ",").find("," + option + ",") != std::string::npos;
}

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
class MountedImageAsRoot : public ::testing::Test {
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

    // An ext4 image of 4096-byte blocks whose one file, name, holds text.
    std::string ext4_holding_name(const std::string& prefix, const std::string& text) {
        std::string tree = temp_ / (prefix + "-tree");
        std::filesystem::create_directories(tree);
        test::write_file(tree + "/name", text);
        std::string fs = temp_ / (prefix + "-fs.img");
        EXPECT_TRUE(test::make_image({"ext4", fs, "8", tree, "4096"})) << fs;
        return fs;
    }

    // A read-only loop device of 4096-byte sectors over an image, attached
    // by the test as an operator would, detached when it goes.
    struct AttachedLoop {
        explicit AttachedLoop(const std::string& image)
            : device(test::shell_output("losetup -r -b 4096 -f --show '" + image + "'")) {
            device = device.substr(0, device.find('\n'));
        }
        ~AttachedLoop() {
            if (!device.empty()) test::shell("losetup -d " + device);
        }
        AttachedLoop(const AttachedLoop&) = delete;
        AttachedLoop& operator=(const AttachedLoop&) = delete;
        std::string device;
    };

    // Records losetup, udevadm, mount and umount; losetup creates partition
    // nodes when `partx` is set, and udevadm (not installed here) does nothing.
    // A kernel without FAT takes a vfat mount as done, leaving the point empty.
    void record_tools(bool partx) {
        std::string losetup = partx ? test::partx_losetup_dir() + "/losetup" : "/usr/sbin/losetup";
        tools_->add_tool("losetup", "exec '" + losetup + "' \"$@\"");
        tools_->add_tool("udevadm", "exit 0");
        tools_->add_tool("mount",
                         "[ \"$2\" = vfat ] && ! grep -qw vfat /proc/filesystems && exit 0\n"
                         "exec /usr/bin/mount \"$@\"");
        tools_->add_tool("umount", "exec /usr/bin/umount \"$@\"");
    }

    int mount(const std::string& device, const MountedImage* like = nullptr) {
        return mount_image(device.c_str(), like, &image_, err_, sizeof err_);
    }

    // Mounts with standard error, where skipped partitions are logged, in logged_.
    int mount_logged(const std::string& device, const MountedImage* like = nullptr) {
        ::testing::internal::CaptureStderr();
        int rc = mount(device, like);
        logged_ = ::testing::internal::GetCapturedStderr();
        return rc;
    }

    // A Debian-like MBR disk: ext4 p1, extended p2 with swap p5 and ext4 p6.
    std::string debian_mbr_disk(const std::string& name, const std::string& p5 = "S:swap") {
        std::string root = ext_image(name + "-root", "ext4", {{"name", "root\n"}});
        std::string home = ext_image(name + "-home", "ext4", {{"name", "home\n"}});
        std::string swap = temp_ / (name + "-swap.img");
        EXPECT_TRUE(test::make_image({"swap", swap, "4"}));
        std::string fifth = p5 == "S:swap" ? "5:S:" + swap : "5:S:" + root;
        return disk_image(name, "dos", {"1:83:" + root, "2:E", fifth, "6:L:" + home});
    }

    std::string mounted(const std::string& where) { return std::string(image_.root_dir) + where; }

    std::unique_ptr<test::FsTestLock> lock_;
    TestTempDir temp_;
    std::string roots_before_;
    std::unique_ptr<FakeToolDir> tools_;
    MountedImage image_{};
    char err_[400];
    std::string logged_;
};

// Each ext image asks for a kernel panic on error; the mount overrides that
// with errors=remount-ro, which the kernel then lists because it differs
// from the image's own policy.
TEST_F(MountedImageAsRoot, WholeExtImageMountsHardenedWithNoloadOnlyWhenJournalled) {
    for (std::string fs : {"ext2", "ext3", "ext4"}) {
        SCOPED_TRACE(fs);
        std::string image = ext_image(fs, fs, {{"hello", "from " + fs + "\n"}});
        ASSERT_TRUE(test::shell("tune2fs -e panic '" + image + "'"));

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
        for (const char* option : {"nosuid", "nodev", "noexec"}) {
            EXPECT_TRUE(has_option(facts.options, option)) << option << " in " << facts.options;
        }
        EXPECT_TRUE(has_option(facts.super_options, "errors=remount-ro")) << facts.super_options;
        // The kernel shows "noload" as "norecovery"; ext2 refuses the option.
        EXPECT_EQ(has_option(facts.super_options, "norecovery"), fs != "ext2")
            << facts.super_options;
        EXPECT_EQ(test::file_text(mounted("/whole/hello")), "from " + fs + "\n");

        std::string root = image_.root_dir;
        unmount_image(&image_);
        EXPECT_TRUE(record_is_cleared(image_));
        EXPECT_FALSE(std::filesystem::exists(root));
        EXPECT_EQ(test::leftovers_since(roots_before_, temp_.path()), "");
    }
}

TEST_F(MountedImageAsRoot, UnmountingTwiceOrNothingIsHarmless) {
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
                                   EXT4_MOUNT + image + " " + root + "/whole",
                                   "umount " + root + "/whole",
                               }));
}

TEST_F(MountedImageAsRoot, WholeNtfsImageMountsThroughNtfs3g) {
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
              std::vector<std::string>{"mount -t ntfs-3g -o ro,nosuid,nodev,noexec " + image + " " +
                                       mounted("/whole")});
    MountFacts facts = mount_facts(mounted("/whole"));
    EXPECT_EQ(facts.fs_type.rfind("fuse", 0), 0u) << facts.fs_type;
    for (const char* option : {"ro", "nosuid", "nodev", "noexec"}) {
        EXPECT_TRUE(has_option(facts.options, option)) << option << " in " << facts.options;
    }
}

TEST_F(MountedImageAsRoot, PartitionedImageMountsEveryPartitionThroughOneLoopDevice) {
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
                                       EXT4_MOUNT + loop + "p1 " + root + "/p0",
                                       EXT2_MOUNT + loop + "p2 " + root + "/p1",
                                       "umount " + root + "/p0",
                                       "umount " + root + "/p1",
                                       "losetup -d " + loop,
                                   }));
        EXPECT_EQ(test::leftovers_since(roots_before_, temp_.path()), "");
        EXPECT_FALSE(std::filesystem::exists(root));
    }
}

TEST_F(MountedImageAsRoot, LosetupWarningsAndLineEndsStayOutOfTheDeviceName) {
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

TEST_F(MountedImageAsRoot, PartitionNodeThatNeverAppearsFailsAfterFiveSecondsAndDetaches) {
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

TEST_F(MountedImageAsRoot, UnmountableSecondPartitionUndoesEverything) {
    std::string good = ext_image("good", "ext4", {{"f", "x"}});
    std::string disk = disk_image("half", "dos", {good, good});
    record_tools(true);
    tools_->add_tool("mount",
                     "case \"$6\" in */p1) printf 'mount: %s: no luck\\n' \"$6\"; exit 32 ;; esac\n"
                     "exec /usr/bin/mount \"$@\"");

    EXPECT_EQ(mount(disk), -1);
    std::smatch match;
    std::string err = err_;
    ASSERT_TRUE(
        std::regex_match(err, match,
                         std::regex(std::string("cannot mount (") + LOOP_PATTERN + ")p2 at (" +
                                    ROOT_PATTERN + ")/p1: mount: .*/p1: no luck")))
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

// What holds no file system that can be named fails before anything is
// made, unless it is a partition, which is left to the block comparison;
// what the kernel refuses to mount fails with mount's own words.
TEST_F(MountedImageAsRoot, UnmountableImagesLeaveNothing) {
    std::string garbage = temp_ / "garbage.img";
    ASSERT_TRUE(test::shell("yes garbage | head -c 4M > '" + garbage + "'"));
    std::string swap = temp_ / "swap.img";
    ASSERT_TRUE(test::make_image({"swap", swap, "4"}));
    std::string good = ext_image("beside-blank", "ext4", {{"f", "x"}});
    std::string disk = disk_image("blank-disk", "dos", {good, blank_image("blank")});
    std::string only_swap = disk_image("swap-disk", "gpt", {"1:S:" + swap});
    record_tools(true);
    const std::pair<std::string, std::string> refused[] = {
        {garbage, "cannot mount " + garbage + ": it holds no recognised file system"},
        {swap, "cannot mount " + swap + ": it holds swap, not a file system"},
        {only_swap, "cannot mount " + only_swap + ": none of its partitions holds a file system"},
    };
    for (const auto& [image, sentence] : refused) {
        SCOPED_TRACE(image);
        EXPECT_EQ(mount_logged(image), -1);
        EXPECT_EQ(std::string(err_), sentence);
        EXPECT_TRUE(record_is_cleared(image_));
    }
    EXPECT_EQ(tools_->calls(), std::vector<std::string>{});
    EXPECT_EQ(test::verifier_roots(), roots_before_);

    ASSERT_EQ(mount(disk), 0) << err_;
    EXPECT_EQ(image_.partitions_mounted, 1);
    EXPECT_EQ(image_.layout.entries[1].handling, LayoutHandling::block_compared);
    unmount_image(&image_);

    // ext4 by its superblock, but without its group descriptors.
    std::string broken = ext_image("broken", "ext4", {{"f", "x"}});
    ASSERT_TRUE(
        test::shell("dd if=/dev/zero of='" + broken + "' bs=1024 seek=2 count=1 conv=notrunc"));
    EXPECT_EQ(mount(broken), -1);
    std::string err = err_;
    EXPECT_TRUE(std::regex_match(err, std::regex("cannot mount " + broken + " at " + ROOT_PATTERN +
                                                 "/whole: mount: .*Structure needs cleaning.*")))
        << err;
    EXPECT_TRUE(record_is_cleared(image_));
}

TEST_F(MountedImageAsRoot, UnreadableImageFailsBeforeMounting) {
    std::string missing = temp_ / "missing.img";
    EXPECT_EQ(mount(missing), -1);
    EXPECT_EQ(std::string(err_), "cannot read the partition table of " + missing);
    EXPECT_TRUE(record_is_cleared(image_));
}

// Debian's MBR (ext4, swap in a logical partition, ext4 after it) and a UEFI
// GPT (an EFI system partition, a hole, ext4, swap): each file system is
// mounted from its own kernel partition, swap is left out with a line each.
TEST_F(MountedImageAsRoot, RealLayoutsMountEachFileSystemByItsOwnNumber) {
    std::string mbr = debian_mbr_disk("debian");
    std::string esp = temp_ / "esp.img";
    ASSERT_TRUE(test::make_image({"vfat", esp, "8"}));
    std::string root = ext_image("uefi-root", "ext4", {{"name", "uefi\n"}});
    std::string swap = temp_ / "uefi-swap.img";
    ASSERT_TRUE(test::make_image({"swap", swap, "4"}));
    std::string gpt = disk_image("uefi", "gpt", {"1:U:" + esp, "3:L:" + root, "4:S:" + swap});
    record_tools(true);
    const struct {
        std::string disk;
        std::vector<std::string> mounts;  // type and partition number, one per mount point
        std::string skipped;
        std::string first_name;
    } layouts[] = {
        {mbr, {EXT4_MOUNT + "p1", EXT4_MOUNT + "p6"}, "5", "root\n"},
        {gpt, {"mount -t vfat -o ro,nosuid,nodev,noexec p1", EXT4_MOUNT + "p3"}, "4", ""},
    };
    for (const auto& l : layouts) {
        SCOPED_TRACE(l.disk);
        tools_->forget_calls();
        ASSERT_EQ(mount_logged(l.disk), 0) << err_;
        const std::string loop = image_.loop_device;
        const std::string point = image_.root_dir;
        EXPECT_EQ(image_.partitions_mounted, 2);
        std::vector<std::string> want{"losetup -P --show -f -r " + l.disk,
                                      "udevadm settle --timeout=5"};
        for (std::size_t i = 0; i < l.mounts.size(); ++i) {
            std::string m = l.mounts[i];
            m.insert(m.size() - m.substr(m.rfind(' ') + 1).size(), loop);
            want.push_back(m + " " + point + "/p" + std::to_string(i));
        }
        EXPECT_EQ(tools_->calls(), want);
        EXPECT_NE(logged_.find("] INFO  not mounting partition " + l.skipped + " of " + l.disk +
                               ": it holds swap, not a file system\n"),
                  std::string::npos)
            << logged_;
        EXPECT_EQ(std::count(logged_.begin(), logged_.end(), '\n'), 1) << logged_;
        if (!l.first_name.empty()) {
            EXPECT_EQ(test::file_text(mounted("/p0/name")), l.first_name);
            EXPECT_EQ(mount_facts(mounted("/p1")).source, loop + "p6");
            EXPECT_EQ(test::file_text(mounted("/p1/name")), "home\n");
        } else {
            EXPECT_EQ(test::file_text(mounted("/p1/name")), "uefi\n");
        }
        unmount_image(&image_);
        EXPECT_TRUE(record_is_cleared(image_));
        EXPECT_EQ(test::leftovers_since(roots_before_, temp_.path()), "");
    }
}

// A restored target is read before it is mounted: unlike the snapshot it is
// refused with what differs, and nothing of it is attached or mounted.
TEST_F(MountedImageAsRoot, TargetUnlikeTheSnapshotIsRefusedBeforeItIsMounted) {
    std::string tree = temp_ / "tree";
    std::filesystem::create_directories(tree);
    test::write_file(tree + "/f", "x");
    std::string ext4 = ext_image("whole-ext4", "ext4", {{"f", "x"}});
    std::string squashfs = temp_ / "squash.img";
    ASSERT_TRUE(test::make_image({"squashfs", squashfs, tree}));
    std::string debian = debian_mbr_disk("like");
    std::string fifth_ext4 = debian_mbr_disk("fifth", "ext4");
    std::string two = disk_image("two", "dos", {ext4, ext4});
    std::string pv = temp_ / "pv.img";
    std::string big_pv = temp_ / "big-pv.img";
    ASSERT_TRUE(test::make_image({"pv", pv, "4"}));
    ASSERT_TRUE(test::make_image({"pv", big_pv, "8"}));
    std::string boot_pv = disk_image("boot-pv", "dos", {ext4, "2:8e:" + pv});
    const char* const DIFFERENT_LAYOUT =
        "the snapshot and the restored target have a different partition layout -- cannot "
        "compare file by file";
    const struct {
        std::string snapshot, target, sentence;
    } cases[] = {
        {ext4, squashfs,
         "the restored target holds squashfs where the snapshot holds ext4 -- cannot compare file "
         "by file"},
        {debian, fifth_ext4,
         "partition 5 of the restored target holds ext4 where the snapshot's holds swap -- cannot "
         "compare file by file"},
        {debian, two, DIFFERENT_LAYOUT},
        {two, ext4, DIFFERENT_LAYOUT},
        // A partition compared block by block lies at the same bytes on both sides.
        {boot_pv, disk_image("boot-big-pv", "dos", {ext4, "2:8e:" + big_pv}), DIFFERENT_LAYOUT},
    };
    record_tools(true);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        MountedImage snapshot{};
        ASSERT_EQ(layout_read(c.snapshot.c_str(), &snapshot.layout, err_, sizeof err_), 0) << err_;
        tools_->forget_calls();
        EXPECT_EQ(mount(c.target, &snapshot), MOUNT_LAYOUT_DIFFERS);
        EXPECT_EQ(std::string(err_), c.sentence);
        EXPECT_TRUE(record_is_cleared(image_));
        EXPECT_EQ(tools_->calls(), std::vector<std::string>{});
    }
    EXPECT_EQ(test::verifier_roots(), roots_before_);
    MountedImage same{};
    ASSERT_EQ(layout_read(debian.c_str(), &same.layout, err_, sizeof err_), 0);
    ASSERT_EQ(mount_logged(debian_mbr_disk("same"), &same), 0) << err_;
    EXPECT_EQ(image_.partitions_mounted, 2);
    unmount_image(&image_);

    // Where the snapshot holds a PV, the target's ext4 is data to compare, not a mount.
    MountedImage with_pv{};
    ASSERT_EQ(layout_read(boot_pv.c_str(), &with_pv.layout, err_, sizeof err_), 0);
    std::string small_ext4 = temp_ / "small-ext4.img";
    ASSERT_TRUE(test::make_image({"ext4", small_ext4, "4"}));
    ASSERT_EQ(mount(disk_image("boot-ext4", "dos", {ext4, "2:8e:" + small_ext4}), &with_pv), 0)
        << err_;
    EXPECT_EQ(image_.partitions_mounted, 1);
    EXPECT_EQ(image_.layout.entries[1].handling, LayoutHandling::block_compared);
}

// A disk of 4096-byte sectors gets a loop device of that sector size, so that
// its GPT reads in the units it was written in.
TEST_F(MountedImageAsRoot, GptOf4096ByteSectorsMountsThroughALoopDeviceOfThatSize) {
    std::string fs = ext4_holding_name("4k", "4k\n");
    std::string disk = disk_image("4k-disk", "gpt/4096", {"2:L:" + fs});
    AttachedLoop loop(disk);
    const std::string& device = loop.device;
    ASSERT_TRUE(std::regex_match(device, std::regex(LOOP_PATTERN))) << device;
    record_tools(true);

    ASSERT_EQ(mount(device), 0) << err_;
    EXPECT_EQ(tools_->calls().front(), "losetup -P --show -f -r -b 4096 " + device);
    EXPECT_EQ(mount_facts(mounted("/p0")).source, std::string(image_.loop_device) + "p2");
    EXPECT_EQ(test::file_text(mounted("/p0/name")), "4k\n");
}

// A file held open is read in the sector size of the image it must match,
// attached as that descriptor and mounted only through the loop device; a
// loop device over any other file (losetup opens what is at a name) is
// refused and detached.
TEST_F(MountedImageAsRoot, HeldFileIsMountedOnlyThroughALoopDeviceOverThatFile) {
    std::string fs = ext4_holding_name("held", "held\n");
    std::string disk = disk_image("held-disk", "gpt/4096", {"2:L:" + fs});
    std::string other = disk_image("other-disk", "gpt/4096", {"2:L:" + fs});
    AttachedLoop loop(disk);
    const std::string& device = loop.device;
    ASSERT_TRUE(std::regex_match(device, std::regex(LOOP_PATTERN))) << device;
    record_tools(true);
    MountedImage snapshot{};
    ASSERT_EQ(mount_image(device.c_str(), nullptr, &snapshot, err_, sizeof err_), 0) << err_;
    MountedImageGuard snapshot_guard(&snapshot);
    UniqueFd held(::open(disk.c_str(), O_RDONLY | O_CLOEXEC));

    ASSERT_EQ(mount_image_file(disk.c_str(), held.get(), &snapshot, &image_, err_, sizeof err_), 0)
        << err_;
    EXPECT_EQ(tools_->recorded_args("losetup"),
              (std::vector<std::string>{
                  "-P", "--show", "-f", "-r", "-b", "4096",
                  "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(held.get())}));
    EXPECT_EQ(mount_facts(mounted("/p0")).source, std::string(image_.loop_device) + "p2");
    EXPECT_EQ(test::file_text(mounted("/p0/name")), "held\n");
    unmount_image(&image_);

    tools_->add_tool("losetup", "[ \"$1\" = -P ] && exec '" + test::partx_losetup_dir() +
                                    "/losetup' -P --show -f -r -b 4096 '" + other +
                                    "'\nexec /usr/sbin/losetup \"$@\"");
    EXPECT_EQ(mount_image_file(disk.c_str(), held.get(), &snapshot, &image_, err_, sizeof err_),
              -1);
    EXPECT_TRUE(std::regex_match(
        err_, std::regex(std::string("the loop device ") + LOOP_PATTERN + " does not read " + disk +
                         R"( \(another file was put at its path\); refusing to mount it)")))
        << err_;
    EXPECT_TRUE(record_is_cleared(image_));
}

TEST_F(MountedImageAsRoot, FailedLoopAttachQuotesLosetup) {
    std::string fs = ext_image("attach", "ext4", {{"f", "x"}});
    std::string disk = disk_image("attach-disk", "dos", {fs});
    const std::string prefix = "cannot set up a partition-scanning loop device for " + disk +
                               " (needs losetup -P support): ";
    const std::pair<std::string, std::string> cases[] = {
        {"exit 1", "losetup failed"},
        {"echo 'losetup: cannot find an unused loop device'; exit 1",
         "losetup: cannot find an unused loop device"},
        {"exit 0", "losetup failed"},  // succeeded without naming a device
        {"printf 'losetup: no\\n2026-01-01T00:00:00Z [qor_verifier] INFO  ok\\033[0m'; exit 1",
         "losetup: no\\n2026-01-01T00:00:00Z [qor_verifier] INFO  ok\\x1b[0m"},
    };
    for (const auto& [body, quoted] : cases) {
        SCOPED_TRACE(body);
        tools_->add_tool("losetup", body);
        EXPECT_EQ(mount(disk), -1);
        EXPECT_EQ(std::string(err_), prefix + quoted);
        EXPECT_TRUE(record_is_cleared(image_));
    }
}

// mount_readonly takes its options from the type it is given; a recording
// mount shows the command line without mounting anything.
TEST(MountReadonly, OptionsFollowTheFileSystemType) {
    FakeToolDir tools;
    tools.add_tool("mount", "exit 0");
    const std::pair<std::string, std::string> cases[] = {
        {"ext2", "-t ext2 -o ro,nosuid,nodev,noexec,errors=remount-ro"},
        {"ext3", "-t ext3 -o ro,noload,nosuid,nodev,noexec,errors=remount-ro"},
        {"ext4", "-t ext4 -o ro,noload,nosuid,nodev,noexec,errors=remount-ro"},
        {"ntfs", "-t ntfs-3g -o ro,nosuid,nodev,noexec"},
        {"vfat", "-t vfat -o ro,nosuid,nodev,noexec"},
        {"squashfs", "-t squashfs -o ro,nosuid,nodev,noexec"},
    };
    for (const auto& [fs, options] : cases) {
        SCOPED_TRACE(fs);
        char err[64] = "stale";
        EXPECT_EQ(mount_readonly("/dev/loop7p1", fs.c_str(), "/mnt/point", err, sizeof err), 0);
        EXPECT_STREQ(err, "");
        EXPECT_EQ(tools.calls().back(), "mount " + options + " /dev/loop7p1 /mnt/point");
    }
}

TEST(MountReadonly, FailureQuotesMountEscapedOrFallsBack) {
    FakeToolDir tools;
    const std::pair<std::string, std::string> cases[] = {
        {"exit 32", "mount failed"},
        {"printf 'mount: /m: wrong fs type.\\n'; exit 32", "mount: /m: wrong fs type."},
        {"head -c 500 /dev/zero | tr '\\0' y; exit 1", std::string(300, 'y')},
        {"printf 'mount: bad\\n       dmesg(1) says \\033[31mmore\\377'; exit 32",
         "mount: bad\\n       dmesg(1) says \\x1b[31mmore\\xff"},
    };
    for (const auto& [body, quoted] : cases) {
        SCOPED_TRACE(body);
        tools.add_tool("mount", body);
        char err[400] = "stale";
        EXPECT_EQ(mount_readonly("/dev/null", "ext4", "/m", err, sizeof err), -1);
        EXPECT_EQ(std::string(err), "cannot mount /dev/null at /m: " + quoted);
    }
}

// A GPT with a partition in slot 200 is refused before anything is made,
// not mounted in part.
TEST(MountImage, TableNumberedPastWhatIsComparedIsRefused) {
    TestTempDir temp;
    test::ImageFile img(temp / "wide.img");
    test::GptLayout g;
    g.entry_count = 256;
    test::gpt_put_header(img, g);
    test::gpt_put_entry(img, g, 199, test::guid_from_text("0FC63DAF-8483-4772-8E79-3D69D8477DE4"),
                        100, 199);
    test::gpt_seal(img, g);
    ASSERT_TRUE(img.ok());
    MountedImage image{};
    char err[400];
    EXPECT_EQ(mount_image(img.path().c_str(), nullptr, &image, err, sizeof err), -1);
    EXPECT_EQ(std::string(err), "the partition table of " + img.path() +
                                    " has partitions numbered past 128, more than qor_verifier "
                                    "compares");
    EXPECT_TRUE(record_is_cleared(image));
}

}  // namespace
}  // namespace qor
