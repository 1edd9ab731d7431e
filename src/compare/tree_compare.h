#pragma once

#include <cstddef>

#include "compare/compare_stats.h"
#include "compare/mounted_image.h"

namespace qor {

// Runs "diff -rq --no-dereference" on each pair of mount points of the two
// images. Two FIFOs, two sockets or two device nodes with the same numbers
// count as equal; every other difference diff reports stays one. Differences
// are logged escaped, one indented line each. 0: no differences; 1: some
// (logged, files_differ set); -1: layouts differ or a diff run failed, one
// sentence in err.
int compare_trees(const MountedImage* snapshot, const MountedImage* target, CompareStats* stats,
                  char* err, std::size_t err_size);

}  // namespace qor
