#include <cstring>
#include <memory>
#include <vector>

#include "common/byte_order.h"
#include "common/error.h"
#include "compare/crc32_ieee.h"
#include "compare/partition_table.h"
#include "fuzz_check.h"
#include "fuzz_input_file.h"

using namespace qor;

namespace {

// The first input byte picks the logical sector size (the default, 512 or
// 4096) and whether the harness fixes the GPT header checksum.
constexpr std::uint32_t SECTOR_SIZES[] = {0, 512, 4096};

// A random header almost never carries a matching CRC; sealing it lets the
// fuzzer reach the entry geometry (array LBA, count, entry size) behind it.
void gpt_seal_header(std::vector<std::uint8_t>& image, std::uint32_t sector_size) {
    constexpr std::size_t SIZE_FIELD = 12;
    constexpr std::size_t CRC_FIELD = 16;
    constexpr std::uint32_t HEADER_MIN = 92;
    constexpr std::uint32_t HEADER_MAX = 512;
    if (image.size() < sector_size + HEADER_MAX) return;
    std::uint8_t* header = image.data() + sector_size;
    const std::uint32_t header_size = le32(header + SIZE_FIELD);
    if (header_size < HEADER_MIN || header_size > HEADER_MAX) return;
    std::memset(header + CRC_FIELD, 0, 4);
    const std::uint32_t crc = crc32_ieee(header, header_size);
    for (int i = 0; i < 4; ++i) header[CRC_FIELD + i] = static_cast<std::uint8_t>(crc >> (8 * i));
}

void check_entry(const PartitionEntry& e, std::uint32_t sector_size) {
    FUZZ_CHECK(e.size != 0);
    // Hostile LBAs are dropped, never allowed to wrap into a small byte range.
    FUZZ_CHECK(e.start <= UINT64_MAX - e.size);
    FUZZ_CHECK(e.start % sector_size == 0 && e.size % sector_size == 0);
    FUZZ_CHECK(e.is_gpt == 0 || e.is_gpt == 1);
    FUZZ_CHECK(e.number >= 1 && e.number <= PARTITION_TABLE_MAX);
    const std::size_t guid_len = strnlen(e.type_guid, sizeof e.type_guid);
    if (e.is_gpt == 1) {
        FUZZ_CHECK(e.mbr_type == 0);
        FUZZ_CHECK(guid_len == 36);
        FUZZ_CHECK(std::strcmp(e.type_guid, "00000000-0000-0000-0000-000000000000") != 0);
    } else {
        FUZZ_CHECK(e.mbr_type >= 1 && e.mbr_type <= 0xFF);
        FUZZ_CHECK(guid_len == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint32_t requested = SECTOR_SIZES[data[0] % 3];
    const std::uint32_t sector_size = requested != 0 ? requested : 512;
    std::vector<std::uint8_t> image(data + 1, data + size);
    if ((data[0] / 3) % 2 == 1) gpt_seal_header(image, sector_size);

    FuzzInputFile file(image.data(), image.size());
    auto table = std::make_unique<PartitionTable>();
    std::memset(table.get(), 0xC3, sizeof *table);

    const int rc = read_partition_table(file.path(), requested, table.get());
    FUZZ_CHECK(rc == 0 || rc == ERR_UNSUPPORTED);
    FUZZ_CHECK(table->sector_size == sector_size);
    FUZZ_CHECK(table->count <= PARTITION_TABLE_MAX);
    // An unusable GPT header yields no partitions alongside the error; a
    // table numbered past what is listed says so.
    FUZZ_CHECK(table->too_many == 0 || table->too_many == 1);
    if (rc != 0) FUZZ_CHECK(table->count == 0 || table->too_many == 1);
    if (rc == 0) FUZZ_CHECK(table->too_many == 0);
    bool seen[PARTITION_TABLE_MAX + 1] = {};
    for (std::uint64_t i = 0; i < table->count; ++i) {
        check_entry(table->entries[i], sector_size);
        FUZZ_CHECK(!seen[table->entries[i].number]);  // one entry per kernel partition
        seen[table->entries[i].number] = true;
    }
    return 0;
}
