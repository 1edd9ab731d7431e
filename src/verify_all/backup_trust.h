#pragma once

#include <string>

// Whether a backup may steer what the pass does beyond verifying it. The
// pass runs as root and reads a .meta to choose a volume and its settings;
// whoever can replace that file, or rename a directory on its way, chooses
// them instead.
namespace qor {

// True when the file at meta_path and every directory from / down to it
// (symbolic links resolved) belong to root or to the user this process runs
// as, and none is writable by its group or by others; a sticky directory is
// allowed above an entry of such an owner, which others cannot then rename
// or remove. Otherwise false with the first reason in *why (one clause,
// paths escaped). May throw std::bad_alloc.
bool backup_is_trusted(const std::string& meta_path, std::string* why);

}  // namespace qor
