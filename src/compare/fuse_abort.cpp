#include "compare/fuse_abort.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "common/text.h"
#include "common/unique_fd.h"

namespace qor {
namespace {

constexpr char MOUNT_TABLE[] = "/proc/self/mountinfo";
constexpr char CONNECTIONS_DIR[] = "/sys/fs/fuse/connections";
constexpr std::size_t LINE_BYTES = 8192;
constexpr std::size_t PATH_BYTES = 4096;
// The kernel names a connection after its super block's device number in
// its own encoding: major above the low 20 bits of minor. That is the
// minor alone for a plain "fuse" mount, not for a "fuseblk" one over a block
// device, which ntfs-3g makes of every device it mounts as root.
constexpr unsigned KERNEL_MINOR_BITS = 20;

// Undoes the octal escapes ("\040" for a blank) of a mountinfo path in place.
void mountinfo_unescape(char* path) {
    char* out = path;
    for (const char* in = path; *in != '\0'; ++out) {
        if (in[0] == '\\' && in[1] >= '0' && in[1] <= '3' && in[2] >= '0' && in[2] <= '7' &&
            in[3] >= '0' && in[3] <= '7') {
            *out = static_cast<char>((in[1] - '0') * 64 + (in[2] - '0') * 8 + (in[3] - '0'));
            in += 4;
        } else {
            *out = *in++;
        }
    }
    *out = '\0';
}

// The connection number of the FUSE mount on mount_point from one mountinfo
// line ("36 25 0:41 / /mnt ro,relatime - fuse src opts"); false for a line of
// another mount point or of another kind of file system.
bool mountinfo_fuse_connection(char* line, const char* mount_point, unsigned long* connection) {
    unsigned major = 0;
    unsigned minor = 0;
    char point[PATH_BYTES];
    if (std::sscanf(line, "%*u %*u %u:%u %*s %4095s", &major, &minor, point) != 3) return false;
    mountinfo_unescape(point);
    if (std::strcmp(point, mount_point) != 0) return false;
    const char* separator = std::strstr(line, " - ");
    if (separator == nullptr) return false;
    const std::string_view type(separator + 3, std::strcspn(separator + 3, " "));
    if (type != "fuse" && type != "fuseblk" && type.substr(0, 5) != "fuse.") return false;
    *connection = (static_cast<unsigned long>(major) << KERNEL_MINOR_BITS) | minor;
    return true;
}

bool connection_abort(unsigned long connection) {
    char path[128];
    text_format(path, sizeof path, "%s/%lu/abort", CONNECTIONS_DIR, connection);
    UniqueFd fd(open(path, O_WRONLY | O_CLOEXEC));
    return fd.is_open() && write(fd.get(), "1", 1) == 1;
}

}  // namespace

bool fuse_abort_mount(const char* mount_point) {
    FILE* table = std::fopen(MOUNT_TABLE, "re");
    if (table == nullptr) return false;
    char line[LINE_BYTES];
    unsigned long connection = 0;
    bool found = false;
    while (!found && std::fgets(line, sizeof line, table) != nullptr) {
        found = mountinfo_fuse_connection(line, mount_point, &connection);
    }
    std::fclose(table);
    if (!found) return false;
    if (connection_abort(connection)) return true;
    // Without the control file system mounted there is no abort file; a
    // forced unmount aborts the same connection through the file system's
    // own hook, and unmounts it too when nothing uses it any more.
    return umount2(mount_point, MNT_FORCE) == 0 || errno == EBUSY;
}

}  // namespace qor
