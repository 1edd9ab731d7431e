#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "verify_all/history.h"

// The metrics file for node_exporter's textfile collector.
namespace qor {

// The text of the metrics file: per volume the start of its last
// verification, of its last identical one (0 when none is known), the last
// duration, a 0/1 gauge per result and the modification time of its newest
// backup (when known); then the time of this pass, the number of .meta files
// that could not be used and the program's version. A volume never verified
// (last_run 0) has every result gauge at 0. Label values are escaped and
// kept to printable ASCII; no line is ever cut. May throw std::bad_alloc.
std::string textfile_render(const std::map<std::string, VolumeHistory>& volumes,
                            std::int64_t pass_time, std::size_t unusable_backups);

// Writes text to a new file beside path and renames it over path, so that a
// reader sees the old file or the new one, never part of one. 0, or -1 with
// the sentence in err.
int textfile_write(const std::string& path, const std::string& text, char* err,
                   std::size_t err_size);

}  // namespace qor
