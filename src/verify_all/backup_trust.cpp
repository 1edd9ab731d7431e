#include "verify_all/backup_trust.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "verify_all/escaped_text.h"

namespace qor {
namespace {

bool owner_is_trusted(uid_t uid) {
    return uid == 0 || uid == geteuid();
}

std::string shown(const std::string& path) {
    return EscapedText(path).c_str();
}

// Why the entry st (at path, the one above it being sticky or not) is not
// trusted, or "".
std::string entry_problem(const std::string& path, const struct stat& st,
                          const struct stat* below) {
    if (!owner_is_trusted(st.st_uid)) {
        return shown(path) + " belongs to uid " + std::to_string(st.st_uid);
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) == 0) return {};
    // Others may create entries in a sticky directory, but not rename or
    // remove one they do not own.
    if (S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) != 0 && below != nullptr &&
        owner_is_trusted(below->st_uid)) {
        return {};
    }
    return shown(path) +
           ((st.st_mode & S_IWOTH) != 0 ? " is writable by others" : " is writable by its group");
}

}  // namespace

bool backup_is_trusted(const std::string& meta_path, std::string* why) {
    std::unique_ptr<char, decltype(&std::free)> real(realpath(meta_path.c_str(), nullptr),
                                                     std::free);
    if (!real) {
        *why = shown(meta_path) + " cannot be resolved: " + std::strerror(errno);
        return false;
    }
    const std::string path = real.get();
    // Every entry from / down to the file, each checked with the one below it.
    std::vector<std::string> chain{"/"};
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        chain.push_back(path.substr(0, slash));
    }
    if (path != "/") chain.push_back(path);
    std::vector<struct stat> stats(chain.size());
    for (std::size_t i = 0; i < chain.size(); ++i) {
        if (lstat(chain[i].c_str(), &stats[i]) != 0) {
            *why = shown(chain[i]) + " cannot be examined: " + std::strerror(errno);
            return false;
        }
    }
    for (std::size_t i = 0; i < chain.size(); ++i) {
        const struct stat* below = i + 1 < chain.size() ? &stats[i + 1] : nullptr;
        std::string problem = entry_problem(chain[i], stats[i], below);
        if (!problem.empty()) {
            *why = problem;
            return false;
        }
    }
    return true;
}

}  // namespace qor
