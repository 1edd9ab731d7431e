#pragma once

namespace qor {

// Aborts the connection of the FUSE file system mounted on mount_point, if
// one is: every request it holds, also one its daemon has already taken,
// fails at once, so that a process waiting in one can end, and a later
// unmount does not wait for the daemon either. Reads only the kernel's mount
// table, never the mount itself, so a hung daemon cannot hold it up. Mounts
// of other kinds are left alone. True when a connection was aborted.
bool fuse_abort_mount(const char* mount_point);

}  // namespace qor
