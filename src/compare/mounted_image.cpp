#include "compare/mounted_image.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/console_log.h"
#include "common/interrupt.h"
#include "common/text.h"
#include "common/text_escape.h"
#include "common/tool_output.h"
#include "common/unique_fd.h"
#include "lvm/command_runner.h"

namespace qor {
namespace {

constexpr char ROOT_TEMPLATE[] = "/var/tmp/qor_verifier.XXXXXX";
constexpr std::size_t NODE_BYTES = 128;
constexpr std::size_t PROC_FD_PATH_BYTES = 64;  // "/proc/<pid>/fd/<n>"

constexpr std::uint32_t LOSETUP_ATTACH_SECONDS = 30;
// Room for a warning that quotes the image path before the device name: a
// name cut off here would leave a loop device attached that nothing detaches.
constexpr std::size_t LOSETUP_ATTACH_OUT_BYTES = 1024;
constexpr std::uint32_t SETTLE_SECONDS = 10;
constexpr std::size_t SETTLE_OUT_BYTES = 128;
constexpr std::uint32_t MOUNT_SECONDS = 60;
constexpr std::size_t MOUNT_OUT_BYTES = 512;
constexpr std::uint32_t UNDO_SECONDS = 30;  // umount and losetup -d
constexpr std::size_t UNDO_OUT_BYTES = 256;

// Escaped text quoted in a message: paths, and tool output cut at 300 characters.
constexpr std::size_t SHOWN_PATH_BYTES = 300;
constexpr std::size_t SHOWN_OUTPUT_BYTES = 301;

// The loop device's logical sector size when nothing else is asked for.
constexpr std::uint32_t LOOP_DEFAULT_SECTOR_SIZE = 512;

// udev creates partition nodes some time after losetup has returned.
constexpr int NODE_WAIT_SLEEPS = 50;
constexpr useconds_t NODE_WAIT_STEP_US = 100000;

static_assert(SETTLE_OUT_BYTES <= UNDO_OUT_BYTES);

// Text from outside, made safe to place in a message.
struct Shown {
    explicit Shown(std::string_view text) { text_escape(buf, sizeof buf, text); }
    char buf[SHOWN_PATH_BYTES];
};

// The image to mount: its name in messages and, for a file the caller holds
// open, that descriptor, through which it is read and attached.
struct ImageSource {
    const char* name;
    int fd;  // -1: a device node, read and attached by its name
};

// Runs a command whose outcome changes nothing for the caller, its output
// captured and dropped.
void run_command_ignoring_result(const char* const* argv, std::uint32_t timeout_seconds,
                                 std::size_t out_size) {
    char out[UNDO_OUT_BYTES];
    CommandResult result{};
    run_command(argv, nullptr, timeout_seconds, RUN_CAPTURE_OUTPUT, out, out_size, &result);
}

// A mount point of mode 0700; one that is already there is taken as it is.
int mount_point_make(const char* path, char* err, std::size_t err_size) {
    if (mkdir(path, 0700) == 0 || errno == EEXIST) return 0;
    const int errnum = errno;
    text_format(err, err_size, "mkdir %s failed: %s", Shown(path).buf, std::strerror(errnum));
    return -1;
}

int image_make_root(MountedImage* image, char* err, std::size_t err_size) {
    text_copy(image->root_dir, sizeof image->root_dir, ROOT_TEMPLATE);
    if (mkdtemp(image->root_dir) != nullptr) return 0;
    int errnum = errno;
    image->root_dir[0] = '\0';
    text_format(err, err_size, "mkdtemp failed: %s", std::strerror(errnum));
    return -1;
}

// Logs a line for each partition left out (swap), and fails on an image of
// which nothing can be compared: a whole image of swap or of nothing
// recognised, or one whose partitions all hold swap. Answers whether anything
// is to be mounted.
int layout_check_comparable(const char* device_path, const ImageLayout& layout, bool* mounts,
                            char* err, std::size_t err_size) {
    std::uint32_t skipped = 0;
    *mounts = false;
    char holds[64];
    for (std::uint32_t i = 0; i < layout.count; ++i) {
        const LayoutEntry& entry = layout.entries[i];
        if (entry.handling == LayoutHandling::mounted) *mounts = true;
        if (entry.handling != LayoutHandling::skipped &&
            entry.handling != LayoutHandling::refused) {
            continue;
        }
        layout_entry_describe(entry, holds, sizeof holds);
        const char* tail = entry.fs.name[0] != '\0' ? ", not a file system" : "";
        if (entry.handling == LayoutHandling::refused) {
            text_format(err, err_size, "cannot mount %s: it holds %s%s", Shown(device_path).buf,
                        holds, tail);
            return -1;
        }
        ++skipped;
        runlog_log(RUNLOG_INFO, "not mounting partition %u of %s: it holds %s, not a file system",
                   entry.number, Shown(device_path).buf, holds);
    }
    if (layout.count > 0 && skipped == layout.count) {
        text_format(err, err_size, "cannot mount %s: none of its partitions holds a file system",
                    Shown(device_path).buf);
        return -1;
    }
    return 0;
}

int image_mount_whole(const char* device_path, MountedImage* image, char* err,
                      std::size_t err_size) {
    char mount_point[MOUNT_POINT_BYTES];
    mount_point_path(image->root_dir, true, 0, mount_point, sizeof mount_point);
    if (mount_point_make(mount_point, err, err_size) != 0) return -1;
    if (mount_readonly(device_path, image->layout.entries[0].fs.name, mount_point, err, err_size) !=
        0) {
        rmdir(mount_point);
        return -1;
    }
    image->whole_mounted = 1;
    return 0;
}

// The device is the last line of the output: losetup writes warnings (an
// image size that is not a whole number of sectors) into the same stream
// first, and a wrong name here would leave the device attached for good.
std::string_view loop_name_from_output(const char* out) {
    std::string_view text(out);
    std::size_t line_end = text.find_last_of('\n');
    if (line_end != std::string_view::npos) text.remove_prefix(line_end + 1);
    return text;
}

// Whether the loop device reads the file open as fd: losetup opens its
// argument again by name, so whatever was put at that name meanwhile is
// what it attached.
bool loop_is_backed_by(const char* loop_device, int fd) {
    struct stat st;
    UniqueFd loop(::open(loop_device, O_RDONLY | O_CLOEXEC | O_NOCTTY));
    loop_info64 info{};
    if (::fstat(fd, &st) != 0 || !loop.is_open() ||
        ::ioctl(loop.get(), LOOP_GET_STATUS64, &info) != 0) {
        return false;
    }
    // The kernel reports the backing file's device in its own encoding.
    const std::uint64_t major_number = major(st.st_dev);
    const std::uint64_t minor_number = minor(st.st_dev);
    const std::uint64_t device =
        (minor_number & 0xFFu) | (major_number << 8) | ((minor_number & ~0xFFull) << 12);
    return info.lo_device == device && info.lo_inode == st.st_ino;
}

// The loop device gets the image's own logical sector size, so that the
// kernel reads the partition table in the units it was written in. A file
// held open is handed over as this process's descriptor and the result
// checked, since losetup resolves that name to a path before it opens it.
int image_attach_loop(const ImageSource& source, MountedImage* image, char* err,
                      std::size_t err_size) {
    char sector_size[16];
    text_format(sector_size, sizeof sector_size, "%u", image->layout.sector_size);
    char held[PROC_FD_PATH_BYTES];
    text_format(held, sizeof held, "/proc/%ld/fd/%d", static_cast<long>(::getpid()), source.fd);
    const char* argv[9] = {"losetup", "-P", "--show", "-f", "-r"};
    std::size_t n = 5;
    if (image->layout.sector_size != LOOP_DEFAULT_SECTOR_SIZE) {
        argv[n++] = "-b";
        argv[n++] = sector_size;
    }
    argv[n++] = source.fd >= 0 ? held : source.name;
    argv[n] = nullptr;
    char out[LOSETUP_ATTACH_OUT_BYTES];
    bool attached = run_command_succeeded(argv, LOSETUP_ATTACH_SECONDS, out, sizeof out);
    tool_output_trim(out);
    std::string_view name = loop_name_from_output(out);
    if (!attached || name.empty() || name.front() != '/') {
        char shown[SHOWN_OUTPUT_BYTES];
        text_escape(shown, sizeof shown, out[0] != '\0' ? out : "losetup failed");
        text_format(err, err_size,
                    "cannot set up a partition-scanning loop device for %s (needs losetup -P "
                    "support): %s",
                    Shown(source.name).buf, shown);
        return -1;
    }
    text_copy(image->loop_device, sizeof image->loop_device, name);
    if (source.fd >= 0 && !loop_is_backed_by(image->loop_device, source.fd)) {
        text_format(err, err_size,
                    "the loop device %s does not read %s (another file was put at its path); "
                    "refusing to mount it",
                    Shown(image->loop_device).buf, Shown(source.name).buf);
        return -1;
    }
    return 0;
}

bool node_appears(const char* node) {
    struct stat st;
    for (int i = 0; i < NODE_WAIT_SLEEPS && !interrupt_should_abort(); ++i) {
        if (stat(node, &st) == 0) return true;
        usleep(NODE_WAIT_STEP_US);
    }
    return stat(node, &st) == 0;
}

// Mounts the loop device's partition entry.number on "p<partitions_mounted>".
int image_mount_partition(const LayoutEntry& entry, MountedImage* image, char* err,
                          std::size_t err_size) {
    char node[NODE_BYTES];
    text_format(node, sizeof node, "%sp%u", image->loop_device, entry.number);
    if (!node_appears(node)) {
        text_format(err, err_size, "partition device %s did not appear", Shown(node).buf);
        return -1;
    }
    char mount_point[MOUNT_POINT_BYTES];
    mount_point_path(image->root_dir, false, image->partitions_mounted, mount_point,
                     sizeof mount_point);
    if (mount_point_make(mount_point, err, err_size) != 0) return -1;
    if (mount_readonly(node, entry.fs.name, mount_point, err, err_size) != 0) {
        rmdir(mount_point);
        return -1;
    }
    image->partitions_mounted += 1;
    return 0;
}

int image_mount_partitions(const ImageSource& source, MountedImage* image, char* err,
                           std::size_t err_size) {
    if (image_attach_loop(source, image, err, err_size) != 0) return -1;
    const char* settle[] = {"udevadm", "settle", "--timeout=5", nullptr};
    run_command_ignoring_result(settle, SETTLE_SECONDS, SETTLE_OUT_BYTES);
    for (std::uint32_t i = 0; i < image->layout.count; ++i) {
        const LayoutEntry& entry = image->layout.entries[i];
        if (entry.handling != LayoutHandling::mounted) continue;
        if (image_mount_partition(entry, image, err, err_size) != 0) return -1;
    }
    return 0;
}

// The kernel's type name for what the probe found: NTFS goes through ntfs-3g.
const char* mount_type_for(std::string_view fs_type) {
    return fs_type == "ntfs" ? "ntfs-3g" : fs_type.data();
}

// Every mount is read-only and honours no set-user-ID bit, device node or
// program of the image. ext3 and ext4 would replay their journal even on a
// read-only mount, which "noload" prevents (ext2 has none and refuses it);
// and an ext image that asks for a panic on error must not get one: an error
// makes it read-only instead. ntfs-3g keeps its own options.
void mount_options_for(std::string_view fs_type, char* options, std::size_t size) {
    const bool ext = fs_type == "ext2" || fs_type == "ext3" || fs_type == "ext4";
    const bool journal = fs_type == "ext3" || fs_type == "ext4";
    text_format(options, size, "%s,nosuid,nodev,noexec%s", journal ? "ro,noload" : "ro",
                ext ? ",errors=remount-ro" : "");
}

int mount_image_from(const ImageSource& source, const MountedImage* like, MountedImage* image,
                     char* err, std::size_t err_size) {
    text_clear(err, err_size);
    *image = MountedImage{};
    // A file has no sector size of its own: it is read in the units of the
    // image it must match.
    char held[PROC_FD_PATH_BYTES];
    text_format(held, sizeof held, "/proc/self/fd/%d", source.fd);
    const std::uint32_t sector_size =
        source.fd >= 0 && like != nullptr ? like->layout.sector_size : 0;
    if (layout_read_as(source.fd >= 0 ? held : source.name, source.name, sector_size,
                       &image->layout, err, err_size) != 0) {
        return -1;
    }
    // Before anything is attached or mounted: an image that differs from what
    // it must match never reaches a kernel driver.
    if (like != nullptr && layout_compare(like->layout, &image->layout, err, err_size) != 0) {
        return MOUNT_LAYOUT_DIFFERS;
    }
    bool mounts = false;
    if (layout_check_comparable(source.name, image->layout, &mounts, err, err_size) != 0) {
        return -1;
    }
    // What is all data is compared block by block: no directory, no loop device.
    if (!mounts) return 0;
    if (image_make_root(image, err, err_size) != 0) return -1;
    MountedImageGuard undo(image);
    int rc;
    if (image->layout.partitioned) {
        rc = image_mount_partitions(source, image, err, err_size);
    } else if (source.fd >= 0) {
        // mount would set up a loop device over the name; this one is checked.
        rc = image_attach_loop(source, image, err, err_size) != 0
                 ? -1
                 : image_mount_whole(image->loop_device, image, err, err_size);
    } else {
        rc = image_mount_whole(source.name, image, err, err_size);
    }
    if (rc == 0) undo.release();
    return rc;
}

}  // namespace

int mount_image(const char* device_path, const MountedImage* like, MountedImage* image, char* err,
                std::size_t err_size) {
    return mount_image_from(ImageSource{device_path, -1}, like, image, err, err_size);
}

int mount_image_file(const char* path, int fd, const MountedImage* like, MountedImage* image,
                     char* err, std::size_t err_size) {
    return mount_image_from(ImageSource{path, fd}, like, image, err, err_size);
}

int mount_readonly(const char* device, const char* fs_type, const char* mount_point, char* err,
                   std::size_t err_size) {
    text_clear(err, err_size);
    char options[64];
    mount_options_for(fs_type, options, sizeof options);
    const char* argv[] = {"mount",     "-t",   mount_type_for(fs_type), "-o", options, device,
                          mount_point, nullptr};
    char out[MOUNT_OUT_BYTES];
    if (run_command_succeeded(argv, MOUNT_SECONDS, out, sizeof out)) return 0;
    tool_output_trim(out);
    char shown[SHOWN_OUTPUT_BYTES];
    text_escape(shown, sizeof shown, out[0] != '\0' ? out : "mount failed");
    text_format(err, err_size, "cannot mount %s at %s: %s", Shown(device).buf,
                Shown(mount_point).buf, shown);
    return -1;
}

void unmount_image(MountedImage* image) {
    if (image == nullptr) return;
    InterruptShield shield;  // an interrupted run still unmounts and detaches everything
    char mount_point[MOUNT_POINT_BYTES];
    if (image->whole_mounted) {
        mount_point_path(image->root_dir, true, 0, mount_point, sizeof mount_point);
        const char* argv[] = {"umount", mount_point, nullptr};
        run_command_ignoring_result(argv, UNDO_SECONDS, UNDO_OUT_BYTES);
        rmdir(mount_point);
        image->whole_mounted = 0;
    }
    for (int i = 0; i < image->partitions_mounted; ++i) {
        mount_point_path(image->root_dir, false, i, mount_point, sizeof mount_point);
        const char* argv[] = {"umount", mount_point, nullptr};
        run_command_ignoring_result(argv, UNDO_SECONDS, UNDO_OUT_BYTES);
        rmdir(mount_point);
    }
    image->partitions_mounted = 0;
    if (image->loop_device[0] != '\0') {
        const char* argv[] = {"losetup", "-d", image->loop_device, nullptr};
        run_command_ignoring_result(argv, UNDO_SECONDS, UNDO_OUT_BYTES);
        image->loop_device[0] = '\0';
    }
    if (image->root_dir[0] != '\0') {
        rmdir(image->root_dir);
        image->root_dir[0] = '\0';
    }
}

void mount_point_path(const char* root_dir, bool whole, int index, char* path, std::size_t size) {
    if (whole) {
        text_format(path, size, "%s/whole", root_dir);
    } else {
        text_format(path, size, "%s/p%d", root_dir, index);
    }
}

const char* MountedImageGuard::undo() {
    if (image_ == nullptr) return nullptr;
    text_copy(left_, sizeof left_, image_->root_dir);
    unmount_image(image_);
    // The temporary directory goes last, so if it is still there, something
    // below it could not be undone.
    if (left_[0] != '\0' && access(left_, F_OK) == 0) return left_;
    return nullptr;
}

}  // namespace qor
