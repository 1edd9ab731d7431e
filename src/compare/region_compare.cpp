#include "compare/region_compare.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/console_log.h"
#include "common/file_io.h"
#include "common/progress.h"
#include "common/text.h"
#include "common/text_escape.h"
#include "common/unique_fd.h"
#include "compare/block_compare.h"

namespace qor {
namespace {

constexpr std::size_t WHAT_BYTES = 160;  // "partition 128 (<name>, a file system ...)"
constexpr std::size_t SIDE_NAME_BYTES = 400;
constexpr std::size_t SHOWN_PATH_BYTES = 300;
constexpr std::size_t HOLDS_BYTES = 64;

// One byte range compared on both images, at the same offset.
struct Region {
    std::uint64_t start;
    std::uint64_t length;
    std::uint32_t number;   // the partition's; 0 for the boot area and the whole image
    char what[WHAT_BYTES];  // for the log line, escaped
};

// Where the first partition starts: what lies before it belongs to no
// partition and is seen by no mount.
std::uint64_t first_partition_start(const ImageLayout& layout) {
    std::uint64_t first = layout.entries[0].start;
    for (std::uint32_t i = 1; i < layout.count; ++i) {
        first = std::min(first, layout.entries[i].start);
    }
    return first;
}

// What an entry compared block by block holds, said so that a file system
// that is not mounted reads as one.
void region_describe(const LayoutEntry& entry, const char* place, char* what, std::size_t size) {
    char holds[HOLDS_BYTES];
    layout_entry_describe(entry, holds, sizeof holds);
    text_format(what, size, "%s (%s%s)", place, holds,
                entry.fs.is_filesystem ? ", a file system qor_verifier does not mount" : "");
}

// Region `slot` of the layout: on a partitioned image 0 is the boot area and
// slot i the entry i - 1; on a whole image slot 0 is the image. False when
// that slot is not compared block by block.
bool region_at(const ImageLayout& layout, std::uint32_t slot, std::uint64_t image_size,
               Region* region) {
    *region = Region{};
    if (!layout.partitioned) {
        if (slot != 0 || layout.count == 0 ||
            layout.entries[0].handling != LayoutHandling::block_compared) {
            return false;
        }
        region->length = image_size;
        region_describe(layout.entries[0], "the whole image", region->what, sizeof region->what);
        return true;
    }
    if (slot == 0) {
        region->length = layout.count > 0 ? first_partition_start(layout) : 0;
        text_copy(region->what, sizeof region->what,
                  "the bytes before the first partition (boot code and partition table)");
        return region->length > 0;
    }
    const LayoutEntry& entry = layout.entries[slot - 1];
    if (entry.handling != LayoutHandling::block_compared) return false;
    region->start = entry.start;
    region->length = entry.size;
    region->number = entry.number;
    char place[32];
    text_format(place, sizeof place, "partition %u", entry.number);
    region_describe(entry, place, region->what, sizeof region->what);
    return true;
}

// The name one side of a region goes by in a failure sentence.
void side_name(const Region& region, bool partitioned, const char* path, char* name,
               std::size_t size) {
    if (!partitioned) {
        text_copy(name, size, path);
    } else if (region.number == 0) {
        text_format(name, size, "the bytes before the first partition of %s", path);
    } else {
        text_format(name, size, "partition %u of %s", region.number, path);
    }
}

int open_side(const char* path, UniqueFd* fd, char* err, std::size_t err_size) {
    if (file_open_read(path, fd) == 0) return 0;
    const int errnum = errno;
    char shown[SHOWN_PATH_BYTES];
    text_escape(shown, sizeof shown, path);
    text_format(err, err_size, "cannot open %s: %s", shown, std::strerror(errnum));
    return -1;
}

struct Sides {
    const char* snapshot_path;
    const char* target_path;
    UniqueFd snapshot;
    UniqueFd target;
    bool partitioned;
};

// Compares one region and logs its line. 0, 1 (it differs) or -1 (err).
int compare_region(const Sides& sides, const Region& region, std::uint32_t chunk_size,
                   CompareStats* stats, char* err, std::size_t err_size) {
    char snapshot_name[SIDE_NAME_BYTES];
    char target_name[SIDE_NAME_BYTES];
    side_name(region, sides.partitioned, sides.snapshot_path, snapshot_name, sizeof snapshot_name);
    side_name(region, sides.partitioned, sides.target_path, target_name, sizeof target_name);
    CompareStats one;
    const int rc = compare_block_range(BlockSide{sides.snapshot.get(), region.start, snapshot_name},
                                       BlockSide{sides.target.get(), region.start, target_name},
                                       chunk_size, region.length, &one, err, err_size);
    stats->bytes_compared += one.bytes_compared;
    if (rc < 0) return -1;
    if (rc == 0) {
        runlog_log(RUNLOG_INFO, "%s: compared block by block, identical", region.what);
        return 0;
    }
    runlog_log(RUNLOG_WARN,
               "%s: differs in %llu of its chunks, the first at byte offset %llu within it "
               "(compared block by block)",
               region.what, static_cast<unsigned long long>(one.mismatched_chunks),
               static_cast<unsigned long long>(one.first_mismatch_offset));
    return 1;
}

}  // namespace

int compare_unmounted_regions(const char* snapshot_path, const char* target_path,
                              const ImageLayout& layout, std::uint64_t image_size,
                              std::uint32_t chunk_size, CompareStats* stats, char* err,
                              std::size_t err_size) {
    text_clear(err, err_size);
    Region region;
    std::uint64_t total = 0;
    for (std::uint32_t slot = 0; slot <= layout.count; ++slot) {
        if (region_at(layout, slot, image_size, &region)) total += region.length;
    }
    if (total == 0) return 0;

    Sides sides{snapshot_path, target_path, UniqueFd(), UniqueFd(), layout.partitioned != 0};
    if (open_side(snapshot_path, &sides.snapshot, err, err_size) != 0 ||
        open_side(target_path, &sides.target, err, err_size) != 0) {
        return -1;
    }
    progress_set_phase(ProgressPhase::comparing, total);
    bool differs = false;
    for (std::uint32_t slot = 0; slot <= layout.count; ++slot) {
        if (!region_at(layout, slot, image_size, &region)) continue;
        const int rc = compare_region(sides, region, chunk_size, stats, err, err_size);
        if (rc < 0) return -1;
        differs = differs || rc > 0;
    }
    if (differs) stats->files_differ = 1;
    return differs ? 1 : 0;
}

}  // namespace qor
