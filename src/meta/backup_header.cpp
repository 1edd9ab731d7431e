#include "meta/backup_header.h"

#include <cstring>

#include "common/byte_order.h"
#include "common/error.h"
#include "common/file_io.h"

namespace qor {
namespace {

// Field offsets within the record; all integers are little-endian.
constexpr std::size_t OFF_MAGIC = 0;          // u32, "QORM"
constexpr std::size_t OFF_VERSION = 4;        // u16
constexpr std::size_t OFF_HEADER_LENGTH = 8;  // u32
constexpr std::size_t OFF_CHUNK_SIZE = 12;    // u32
constexpr std::size_t OFF_SOURCE_SIZE = 76;   // u64

void header_decode(BackupHeader* header) {
    header->magic = le32(header->raw + OFF_MAGIC);
    header->version = le16(header->raw + OFF_VERSION);
    header->header_length = le32(header->raw + OFF_HEADER_LENGTH);
    header->chunk_size = le32(header->raw + OFF_CHUNK_SIZE);
    header->source_size = le64(header->raw + OFF_SOURCE_SIZE);
}

// The first failing check decides; the magic comes before everything that
// could only be judged on a file known to be a header.
int header_validate(const BackupHeader& header, std::size_t got) {
    if (got < BACKUP_HEADER_MIN_BYTES) return ERR_FORMAT;
    if (header.magic != BACKUP_HEADER_MAGIC) return ERR_FORMAT;
    if (header.header_length < BACKUP_HEADER_MIN_BYTES ||
        header.header_length > BACKUP_HEADER_MAX_LENGTH) {
        return ERR_FORMAT;
    }
    if (header.header_length > got) return ERR_FORMAT;
    if (header.version >= 2) return ERR_UNSUPPORTED;
    return 0;
}

}  // namespace

int read_backup_header(const char* path, BackupHeader* header) {
    if (header == nullptr) return ERR_INVALID;
    UniqueFd fd;
    int rc = file_open_regular(path, &fd);
    if (rc != 0) return rc;

    // Zero the whole record, guard byte included: a short file then reads as
    // zero beyond its end and the reference text always ends inside the object.
    std::memset(header->raw, 0, sizeof header->raw);
    header->magic = 0;
    header->version = 0;
    header->header_length = 0;
    header->chunk_size = 0;
    header->source_size = 0;

    std::size_t got = 0;
    rc = file_pread(fd.get(), header->raw, BACKUP_HEADER_RECORD_SIZE, 0, &got);
    fd.reset();  // nothing to do about a failed close of a read-only file
    if (rc != 0) return rc;

    header_decode(header);
    return header_validate(*header, got);
}

}  // namespace qor
