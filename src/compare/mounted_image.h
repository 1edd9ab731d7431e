#pragma once

#include <cstddef>
#include <cstdint>

#include "compare/image_layout.h"

namespace qor {

// Mount-point paths are built in buffers of this size.
inline constexpr std::size_t MOUNT_POINT_BYTES = 700;

// One image mounted read-only for the file-tree comparison: whole on
// "<root_dir>/whole", or per partition through a loop device, the i-th
// partition that is mounted (in the layout's order) on "<root_dir>/p<i>".
struct MountedImage {
    char root_dir[512];    // temporary directory; empty when none
    char loop_device[64];  // attached loop device; empty when none
    std::int32_t partitions_mounted;
    std::int32_t whole_mounted;
    ImageLayout layout;  // what the image holds, read before anything of it was mounted
};

// mount_image's answer when the image's layout differs from the one it must match.
inline constexpr int MOUNT_LAYOUT_DIFFERS = 1;

// Reads what device_path holds into image->layout (*image cleared first) and,
// when `like` is given, requires like's layout: otherwise returns
// MOUNT_LAYOUT_DIFFERS with layout_compare's sentence in err before anything
// is created; the layout then takes like's handling. Then mounts, read-only
// with the detected type, every partition whose handling is `mounted` (logging
// one line for each left out as swap), or the whole image; an image with
// nothing to mount gets no directory and no loop device. 0, or -1 with one
// sentence in err after undoing everything this call created.
int mount_image(const char* device_path, const MountedImage* like, MountedImage* image, char* err,
                std::size_t err_size);

// mount_image for a regular file the caller holds open as fd; path names it
// in messages only. Every read goes through the descriptor, the partition
// table in units of like's sector size (a file has none of its own), and the
// file is mounted, whole or per partition, only through a loop device whose
// backing file is checked to be fd's: a loop device over anything else is
// refused. Same answers as mount_image.
int mount_image_file(const char* path, int fd, const MountedImage* like, MountedImage* image,
                     char* err, std::size_t err_size);

// Mounts device, which holds the file system fs_type (an FsIdentity name),
// read-only with "-t" and the type's options on the existing directory
// mount_point. Every mount is nosuid,nodev,noexec; ext mounts also replay no
// journal and turn read-only on an error whatever the image asks. 0 or -1.
int mount_readonly(const char* device, const char* fs_type, const char* mount_point, char* err,
                   std::size_t err_size);

// Undoes what *image records (null, cleared and repeated calls are harmless).
void unmount_image(MountedImage* image);

// Writes the mount point of pair `index` under root_dir into path:
// "<root_dir>/whole" for the whole image, else "<root_dir>/p<index>".
void mount_point_path(const char* root_dir, bool whole, int index, char* path, std::size_t size);

// Undoes the record it watches when it goes out of scope, unless released, so
// that every early return leaves nothing mounted, attached or created.
class MountedImageGuard {
  public:
    explicit MountedImageGuard(MountedImage* image) : image_(image) {}
    ~MountedImageGuard() { undo(); }
    MountedImageGuard(const MountedImageGuard&) = delete;
    MountedImageGuard& operator=(const MountedImageGuard&) = delete;

    // Undoes the record now. Returns its temporary directory when that is
    // still there afterwards (something below it could not be undone), else null.
    const char* undo();
    // The record is the caller's to undo from now on.
    void release() { image_ = nullptr; }

  private:
    MountedImage* image_;
    char left_[sizeof MountedImage::root_dir] = "";
};

}  // namespace qor
