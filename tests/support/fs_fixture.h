#pragma once

// Test helpers for the mount and file-tree tests: shell commands, real disk
// images from the test world's image builder, the lock that mounting tests
// share, and the test world's check that nothing was left behind.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/fake_tool_dir.h"

namespace qor::test {

inline bool running_as_root() {
    return geteuid() == 0;
}

// Runs a shell command line; true when it exited with status 0.
inline bool shell(const std::string& command) {
    int status = std::system((command + " >/dev/null 2>&1").c_str());
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Standard output of a shell command line (standard error dropped).
inline std::string shell_output(const std::string& command) {
    std::string text;
    FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr) return text;
    char chunk[512];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) text.append(chunk, got);
    pclose(pipe);
    return text;
}

inline std::string file_text(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void write_file(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

// Leaves a socket node at path, as a server that has gone leaves its own.
inline bool make_socket(const std::string& path) {
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) return false;
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, path.size());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    bool bound = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return bound;
}

// Runs the test world's image builder (tests/support/make-image) with these
// arguments, each quoted: "ext4 IMAGE MIB [TREE]", "ntfs ...", "disk IMAGE LABEL FS...".
inline bool make_image(const std::vector<std::string>& args) {
    std::string command = "'" + support_dir() + "/make-image'";
    for (const std::string& arg : args) command += " '" + arg + "'";
    return shell(command);
}

// The losetup that also creates partition nodes, which this kernel does not.
inline std::string partx_losetup_dir() {
    return support_dir() + "/losetup-partx";
}

// Every test that mounts takes this lock, so that parallel test processes do
// not see each other's temporary mount directories as leftovers.
class FsTestLock {
  public:
    FsTestLock()
        : fd_(open("/tmp/qor_verifier_fs_tests.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
        if (fd_ >= 0) flock(fd_, LOCK_EX);
    }
    ~FsTestLock() {
        if (fd_ >= 0) close(fd_);
    }
    FsTestLock(const FsTestLock&) = delete;
    FsTestLock& operator=(const FsTestLock&) = delete;

  private:
    int fd_;
};

// The temporary mount directories that exist now, as tests/support/leftovers lists them.
inline std::string verifier_roots() {
    return shell_output("'" + support_dir() + "/leftovers' roots");
}

// What a run left behind since roots_before was taken, with loop devices
// over files under dir; one line each, empty when nothing was left.
inline std::string leftovers_since(const std::string& roots_before, const std::string& dir) {
    return shell_output("'" + support_dir() + "/leftovers' check '" + roots_before + "' '" + dir +
                        "'");
}

// The mountinfo line of mount_point, or "" when nothing is mounted there.
inline std::string mountinfo_line(const std::string& mount_point) {
    std::ifstream in("/proc/self/mountinfo");
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string id, parent, devno, root, point;
        fields >> id >> parent >> devno >> root >> point;
        if (point == mount_point) return line;
    }
    return "";
}

}  // namespace qor::test
