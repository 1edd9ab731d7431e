#pragma once

// Test helper: a temporary directory of small shell scripts standing in for
// external tools, put first in PATH for the life of the object. Every script
// records its argument vector, one argument a line, so a test can assert the
// exact command line the code under test ran.

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace qor::test {

class FakeToolDir {
  public:
    FakeToolDir() {
        char tmpl[] = "/tmp/qor_lvm_test.XXXXXX";
        const char* made = mkdtemp(tmpl);
        dir_ = made != nullptr ? made : "";
        const char* path = std::getenv("PATH");
        had_path_ = path != nullptr;
        if (had_path_) saved_path_ = path;
        set_path_with_system_dirs();
    }
    ~FakeToolDir() {
        if (had_path_) {
            setenv("PATH", saved_path_.c_str(), 1);
        } else {
            unsetenv("PATH");
        }
        std::error_code ec;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
    }
    FakeToolDir(const FakeToolDir&) = delete;
    FakeToolDir& operator=(const FakeToolDir&) = delete;

    bool ok() const { return !dir_.empty(); }
    const std::string& dir() const { return dir_; }

    // PATH is this directory, then the system's own, so scripts find cat and sleep.
    void set_path_with_system_dirs() { setenv("PATH", (dir_ + ":/usr/bin:/bin").c_str(), 1); }
    // PATH is this directory alone: a tool not written here cannot be found at all.
    void set_path_only_here() { setenv("PATH", dir_.c_str(), 1); }

    // Writes an executable script `name` that records its arguments and then
    // runs `body` (shell text: what to print, how to exit).
    void add_tool(const std::string& name, const std::string& body) {
        std::string file = dir_ + "/" + name;
        std::ofstream script(file);
        script << "#!/bin/sh\n"
               << "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" << args_file(name) << "'\n"
               << body << "\n";
        script.close();
        chmod(file.c_str(), 0755);
    }

    // The arguments of the last run of `name` (without argv[0]); empty when it never ran.
    std::vector<std::string> recorded_args(const std::string& name) const {
        std::vector<std::string> args;
        std::ifstream in(args_file(name));
        for (std::string line; std::getline(in, line);) args.push_back(line);
        return args;
    }

    bool ran(const std::string& name) const { return std::filesystem::exists(args_file(name)); }

  private:
    std::string args_file(const std::string& name) const { return dir_ + "/" + name + ".args"; }

    std::string dir_;
    std::string saved_path_;
    bool had_path_ = false;
};

}  // namespace qor::test
