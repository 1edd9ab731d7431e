#pragma once

// Test helper: a temporary directory of small shell scripts standing in for
// external tools, put first on PATH for the lifetime of the object.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace qor::testing {

class FakeBin {
public:
    FakeBin() {
        char tmpl[] = "/tmp/qor_fakebin.XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        const char* old = ::getenv("PATH");
        old_path_ = old != nullptr ? old : "";
        had_path_ = old != nullptr;
        ::setenv("PATH", (dir_ + ":/usr/sbin:/usr/bin:/sbin:/bin").c_str(), 1);
    }
    ~FakeBin() {
        if (had_path_) {
            ::setenv("PATH", old_path_.c_str(), 1);
        } else {
            ::unsetenv("PATH");
        }
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    FakeBin(const FakeBin&) = delete;
    FakeBin& operator=(const FakeBin&) = delete;

    const std::string& dir() const { return dir_; }

    // Adds an executable script `name` with the given body (after "#!/bin/sh").
    void add(const std::string& name, const std::string& body) {
        std::string path = dir_ + "/" + name;
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        ::chmod(path.c_str(), 0755);
    }

    // Adds a tool that appends its arguments (one per line, then "--end") to
    // <dir>/<name>.args, prints `output` and exits with `status`.
    void add_recording(const std::string& name, int status, const std::string& output = "") {
        add(name, "for a in \"$@\"; do printf '%s\\n' \"$a\" >> '" + dir_ + "/" + name +
                      ".args'; done\necho --end >> '" + dir_ + "/" + name + ".args'\n" +
                      (output.empty() ? "" : "printf '%s' '" + output + "'\n") + "exit " +
                      std::to_string(status));
    }

    // What the recording tool `name` was called with, one argument per line.
    std::string args_of(const std::string& name) const {
        std::ifstream in(dir_ + "/" + name + ".args");
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

private:
    std::string dir_;
    std::string old_path_;
    bool had_path_ = false;
};

}  // namespace qor::testing
