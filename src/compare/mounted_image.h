#pragma once

#include <cstddef>
#include <cstdint>

namespace qor {

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

}  // namespace qor
