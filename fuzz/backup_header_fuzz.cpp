#include <cstring>
#include <memory>

#include "common/error.h"
#include "fuzz_check.h"
#include "fuzz_input_file.h"
#include "meta/backup_header.h"
#include "meta/snapshot_ref.h"

using namespace qor;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInputFile file(data, size);
    // Pre-filled with junk: the reader must not rely on a zeroed caller object.
    auto header = std::make_unique<BackupHeader>();
    std::memset(header.get(), 0xA5, sizeof *header);

    const int rc = read_backup_header(file.path(), header.get());
    FUZZ_CHECK(rc == 0 || rc == ERR_FORMAT || rc == ERR_UNSUPPORTED);

    // The record holds the file's first bytes, zero beyond a short file, and the guard byte.
    const std::size_t kept = size < BACKUP_HEADER_RECORD_SIZE ? size : BACKUP_HEADER_RECORD_SIZE;
    FUZZ_CHECK(std::memcmp(header->raw, data, kept) == 0);
    static const std::uint8_t zeros[sizeof header->raw] = {};
    FUZZ_CHECK(std::memcmp(header->raw + kept, zeros, sizeof header->raw - kept) == 0);

    const char* ref = header->snapshot_ref();
    FUZZ_CHECK(std::strlen(ref) <= BACKUP_HEADER_RECORD_SIZE - BACKUP_HEADER_SNAPSHOT_REF_OFFSET);
    if (rc != 0) return 0;

    FUZZ_CHECK(size >= BACKUP_HEADER_MIN_BYTES);
    FUZZ_CHECK(header->magic == BACKUP_HEADER_MAGIC);
    FUZZ_CHECK(header->version < 2);
    FUZZ_CHECK(header->header_length >= BACKUP_HEADER_MIN_BYTES);
    FUZZ_CHECK(header->header_length <= BACKUP_HEADER_MAX_LENGTH);
    FUZZ_CHECK(header->header_length <= size);

    // The verifier hands an accepted header's reference straight to this parser.
    SnapshotRef parsed;
    parse_snapshot_ref(ref, &parsed);
    return 0;
}
