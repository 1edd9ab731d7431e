#pragma once

#include <cstddef>
#include <cstdint>

#include "compare/compare_stats.h"
#include "compare/mounted_image.h"

namespace qor {

// The shortest time one run of diff or of the metadata walk gets.
inline constexpr std::uint32_t TREE_MIN_SECONDS = 300;

// Runs "diff -rq --no-dereference" on each pair of mount points of the two
// images, then walks both trees comparing what the pair's file system keeps
// of each file besides its contents (metadata_walk.h). Two FIFOs, two sockets
// or two device nodes with the same numbers count as equal; every other
// difference diff reports stays one. Each run gets min_seconds or, when
// longer, the time to read the used bytes of both file systems at 20 MB/s;
// past it the run is killed, after the pair's FUSE connections are aborted.
// Differences are logged escaped, one indented line each, one block per pair.
// 0: no differences; 1: some (logged, files_differ set); -1: layouts differ
// or a run failed, one sentence in err.
int compare_trees(const MountedImage* snapshot, const MountedImage* target, CompareStats* stats,
                  char* err, std::size_t err_size, std::uint32_t min_seconds = TREE_MIN_SECONDS);

}  // namespace qor
