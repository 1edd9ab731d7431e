#pragma once

#include <cstddef>
#include <cstdint>

#include "compare/compare_stats.h"
#include "compare/image_layout.h"

namespace qor {

// Compares block by block what no mount shows: on a partitioned image the
// bytes before its first partition (boot code, partition table, a boot
// loader's core image) and every partition whose handling is block_compared;
// on a whole image whose handling is block_compared, its first image_size
// bytes. Both images are read at the snapshot's offsets: layout_compare has
// required the target's partitions to lie there. Each region gets one line:
// INFO when identical, WARN with what it holds and the first differing offset
// within it. 0: nothing differs (also when there is nothing to compare);
// 1: something differs (files_differ set); -1: a read failed, one sentence in
// err. bytes_compared grows by what was compared; the other fields of *stats
// are not touched.
int compare_unmounted_regions(const char* snapshot_path, const char* target_path,
                              const ImageLayout& layout, std::uint64_t image_size,
                              std::uint32_t chunk_size, CompareStats* stats, char* err,
                              std::size_t err_size);

}  // namespace qor
