#include <cstring>

#include "compare/filesystem_probe.h"
#include "fuzz_check.h"
#include "fuzz_input_file.h"

using namespace qor;

namespace {

constexpr std::size_t PROBE_BYTES = 2048;

int probe_checked(const char* path, std::uint64_t offset) {
    int fs_type = -1;
    FUZZ_CHECK(probe_filesystem(path, offset, &fs_type) == 0);
    FUZZ_CHECK(fs_type >= FS_UNKNOWN && fs_type <= FS_NTFS);
    return fs_type;
}

// What any answer implies about the bytes it was drawn from.
void check_answer(const std::uint8_t* block, std::size_t available, int fs_type) {
    if (available < PROBE_BYTES) {
        FUZZ_CHECK(fs_type == FS_UNKNOWN);
        return;
    }
    if (fs_type == FS_NTFS) FUZZ_CHECK(std::memcmp(block + 3, "NTFS    ", 8) == 0);
    if (fs_type >= FS_EXT2 && fs_type <= FS_EXT4) {
        FUZZ_CHECK(block[1080] == 0x53 && block[1081] == 0xEF);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInputFile image(data, size);
    check_answer(data, size, probe_checked(image.path(), 0));

    // A partition start one to eight sectors in: the answer must be the one
    // for the same bytes at the start of a file of their own.
    const std::size_t offset = 512 * (1 + (size > 0 ? data[0] % 8 : 0));
    const int shifted = probe_checked(image.path(), offset);
    const std::size_t rest = size > offset ? size - offset : 0;
    FuzzInputFile tail(data + (size - rest), rest);
    FUZZ_CHECK(shifted == probe_checked(tail.path(), 0));
    check_answer(data + (size - rest), rest, shifted);
    return 0;
}
