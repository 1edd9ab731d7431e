#pragma once

// Test helpers for the mount and file-tree tests: real file-system images
// made with the mkfs tools, a directory of stand-in tools put first in PATH,
// and the checks that nothing mounted, attached or created was left behind.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

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

// The directory of the shared test-world tools (tests/support).
inline std::string support_dir() {
    const char* dir = std::getenv("QOR_TEST_SUPPORT_DIR");
    if (dir != nullptr && *dir != '\0') return dir;
    return std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() /
           "tests/support";
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

// The temporary mount directories that exist right now.
inline std::vector<std::string> verifier_roots() {
    std::vector<std::string> roots;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/var/tmp", ec)) {
        std::string name = entry.path().filename();
        if (name.rfind("qor_verifier.", 0) == 0) roots.push_back(entry.path());
    }
    return roots;
}

// Mount-table lines whose mount point lies in a temporary mount directory.
inline std::vector<std::string> verifier_mounts() {
    std::vector<std::string> mounts;
    std::ifstream in("/proc/self/mountinfo");
    for (std::string line; std::getline(in, line);) {
        if (line.find(" /var/tmp/qor_verifier.") != std::string::npos) mounts.push_back(line);
    }
    return mounts;
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

// Loop devices over file, as "losetup -j" lists them. A loop device that a
// FUSE daemon still holds goes away a moment after its unmount, so wait a little.
inline std::string loops_over(const std::string& file) {
    std::string listed;
    for (int i = 0; i < 30; ++i) {
        listed = shell_output("/usr/sbin/losetup -j '" + file + "'");
        if (listed.empty()) break;
        usleep(100000);
    }
    return listed;
}

// A sparse file of size_mib MiB with an ext2/3/4 file system, filled from
// source_dir when that is not empty.
inline bool make_ext_image(const std::string& path, const std::string& fs, int size_mib,
                           const std::string& source_dir = "") {
    std::string populate = source_dir.empty() ? "" : " -d '" + source_dir + "'";
    return shell("truncate -s " + std::to_string(size_mib) + "M '" + path + "'") &&
           shell("/usr/sbin/mkfs." + fs + " -q -F" + populate + " '" + path + "'");
}

// A sparse file of size_mib MiB with an NTFS file system; source_dir's contents
// are copied in through a writable mount on scratch_mount.
inline bool make_ntfs_image(const std::string& path, int size_mib, const std::string& source_dir,
                            const std::string& scratch_mount) {
    if (!shell("truncate -s " + std::to_string(size_mib) + "M '" + path + "'") ||
        !shell("/usr/sbin/mkfs.ntfs -Q -F -q '" + path + "'")) {
        return false;
    }
    if (source_dir.empty()) return true;
    std::filesystem::create_directories(scratch_mount);
    if (!shell("/usr/bin/mount -t ntfs-3g '" + path + "' '" + scratch_mount + "'")) return false;
    bool copied = shell("cp -a '" + source_dir + "/.' '" + scratch_mount + "/'");
    bool unmounted = shell("/usr/bin/umount '" + scratch_mount + "'");
    return copied && unmounted;
}

// A disk image with a "dos" or "gpt" label and one partition per file-system
// image, each partition holding a copy of that image.
inline bool make_partitioned_image(const std::string& path, const std::string& label,
                                   const std::vector<std::string>& fs_images) {
    constexpr std::uintmax_t MIB = 1024 * 1024;
    std::string script = "label: " + label + "\n";
    std::uintmax_t start_mib = 1;
    std::vector<std::uintmax_t> starts;
    for (const auto& image : fs_images) {
        std::uintmax_t size_mib = (std::filesystem::file_size(image) + MIB - 1) / MIB;
        script += "start=" + std::to_string(start_mib * 2048) +
                  ", size=" + std::to_string(size_mib * 2048) + "\n";
        starts.push_back(start_mib);
        start_mib += size_mib;
    }
    // Room after the last partition for the backup GPT.
    if (!shell("truncate -s " + std::to_string(start_mib + 1) + "M '" + path + "'")) return false;
    std::string script_file = path + ".sfdisk";
    write_file(script_file, script);
    if (!shell("/usr/sbin/sfdisk -q '" + path + "' < '" + script_file + "'")) return false;
    for (std::size_t i = 0; i < fs_images.size(); ++i) {
        if (!shell("dd if='" + fs_images[i] + "' of='" + path + "' bs=1M seek=" +
                   std::to_string(starts[i]) + " conv=notrunc,sparse status=none")) {
            return false;
        }
    }
    return true;
}

// A directory of stand-in tools put first in PATH for the life of the object;
// the previous PATH comes back afterwards.
class ToolDir {
  public:
    explicit ToolDir(const std::string& dir) : dir_(dir) {
        std::filesystem::create_directories(dir_);
        const char* path = std::getenv("PATH");
        saved_path_ = path != nullptr ? path : "/usr/sbin:/usr/bin:/sbin:/bin";
        prepend(dir_);
    }
    ~ToolDir() { setenv("PATH", saved_path_.c_str(), 1); }
    ToolDir(const ToolDir&) = delete;
    ToolDir& operator=(const ToolDir&) = delete;

    // Puts another directory first in PATH, before this one.
    static void prepend(const std::string& dir) {
        const char* path = std::getenv("PATH");
        setenv("PATH", (dir + ":" + (path != nullptr ? path : "")).c_str(), 1);
    }

    // A script `name` running `body` after "#!/bin/sh".
    void add(const std::string& name, const std::string& body) const {
        std::string file = dir_ + "/" + name;
        write_file(file, "#!/bin/sh\n" + body + "\n");
        chmod(file.c_str(), 0755);
    }

    // A script `name` that appends "name arg..." to the call log, then runs `body`.
    void add_recording(const std::string& name, const std::string& body) const {
        add(name, "{ printf '%s' '" + name + "'; printf ' %s' \"$@\"; printf '\\n'; } >> '" +
                      log_path() + "'\n" + body);
    }

    // The recorded calls, one line each, in order.
    std::vector<std::string> calls() const {
        std::vector<std::string> lines;
        std::ifstream in(log_path());
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    const std::string& dir() const { return dir_; }

  private:
    std::string log_path() const { return dir_ + "/calls.log"; }

    std::string dir_;
    std::string saved_path_;
};

}  // namespace qor::test
