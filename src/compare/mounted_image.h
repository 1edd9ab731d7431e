#pragma once

#include <cstddef>
#include <cstdint>

namespace qor {

// Mount-point paths are built in buffers of this size.
inline constexpr std::size_t MOUNT_POINT_BYTES = 700;

// One image mounted read-only for the file-tree comparison: whole on
// "<root_dir>/whole", or per partition on "<root_dir>/p<i>" through a loop device.
struct MountedImage {
    char root_dir[512];    // temporary directory; empty when none
    char loop_device[64];  // attached loop device; empty when none
    std::int32_t partitions_mounted;
    std::int32_t whole_mounted;
};

// Mounts device_path read-only into *image (cleared first). 0, or -1 with one
// sentence in err after undoing everything this call created.
int mount_image(const char* device_path, MountedImage* image, char* err, std::size_t err_size);

// Mounts device read-only on the existing directory mount_point. 0 or -1.
int mount_readonly(const char* device, const char* mount_point, char* err, std::size_t err_size);

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
