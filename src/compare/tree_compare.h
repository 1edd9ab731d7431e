#pragma once

#include <cstddef>

#include "compare/compare_stats.h"
#include "compare/mounted_image.h"

namespace qor {

// Runs "diff -rq --no-dereference" on each pair of mount points of the two
// images. 0: no differences; 1: some (logged, files_differ set); -1: layouts
// differ or a diff run failed, one sentence in err.
int compare_trees(const MountedImage* snapshot, const MountedImage* target, CompareStats* stats,
                  char* err, std::size_t err_size);

}  // namespace qor
