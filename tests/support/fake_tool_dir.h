#pragma once

// Test helpers for code that runs external tools through PATH: a scoped PATH,
// and a temporary directory of small shell scripts standing in for the tools.
// Every script records its call, so a test can assert the exact command lines
// the code under test ran.

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/test_temp_dir.h"

namespace qor::test {

// The directory of the test world's own stand-ins and tools (tests/support).
inline std::string support_dir() {
    const char* dir = std::getenv("QOR_TEST_SUPPORT_DIR");
    if (dir != nullptr && *dir != '\0') return dir;
    return std::filesystem::path(__FILE__).parent_path();
}

// Sets PATH for the life of the object; the previous value comes back after.
class ScopedPath {
  public:
    explicit ScopedPath(const std::string& path) {
        const char* old = std::getenv("PATH");
        had_path_ = old != nullptr;
        if (had_path_) saved_ = old;
        set(path);
    }
    ~ScopedPath() {
        if (had_path_) {
            setenv("PATH", saved_.c_str(), 1);
        } else {
            unsetenv("PATH");
        }
    }
    ScopedPath(const ScopedPath&) = delete;
    ScopedPath& operator=(const ScopedPath&) = delete;

    void set(const std::string& path) { setenv("PATH", path.c_str(), 1); }
    // The PATH this object found, for putting a directory before it.
    const std::string& saved() const { return saved_; }

  private:
    std::string saved_;
    bool had_path_ = false;
};

class FakeToolDir {
  public:
    // PATH is this directory, then the system's own, so scripts find cat and
    // sleep but no real LVM or util-linux administration tool.
    FakeToolDir() : path_(dir() + ":/usr/bin:/bin") {}
    FakeToolDir(const FakeToolDir&) = delete;
    FakeToolDir& operator=(const FakeToolDir&) = delete;

    bool ok() const { return temp_.ok(); }
    const std::string& dir() const { return temp_.path(); }

    // PATH is this directory alone: a tool not written here cannot be found at all.
    void set_path_only_here() { path_.set(dir()); }
    // PATH is this directory before the one the test started with.
    void set_path_before_inherited() { path_.set(dir() + ":" + path_.saved()); }

    // Writes an executable script `name` that records its call and then runs
    // `body` (shell text: what to print, how to exit).
    void add_tool(const std::string& name, const std::string& body) {
        std::string file = dir() + "/" + name;
        std::ofstream script(file);
        script << "#!/bin/sh\n"
               << "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" << args_file(name) << "'\n"
               << "{ printf '%s' '" << name << "'; printf ' %s' \"$@\"; printf '\\n'; } >> '"
               << calls_file() << "'\n"
               << body << "\n";
        script.close();
        chmod(file.c_str(), 0755);
    }

    // The arguments of the last run of `name` (without argv[0]); empty when it never ran.
    std::vector<std::string> recorded_args(const std::string& name) const {
        return lines_of(args_file(name));
    }
    bool ran(const std::string& name) const { return std::filesystem::exists(args_file(name)); }

    // Every recorded call of every tool, "name arg...", one a line, in order.
    std::vector<std::string> calls() const { return lines_of(calls_file()); }
    void forget_calls() const { std::filesystem::remove(calls_file()); }

  private:
    std::string args_file(const std::string& name) const { return dir() + "/" + name + ".args"; }
    std::string calls_file() const { return dir() + "/calls.log"; }

    static std::vector<std::string> lines_of(const std::string& file) {
        std::vector<std::string> lines;
        std::ifstream in(file);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    TestTempDir temp_;
    ScopedPath path_;
};

}  // namespace qor::test
