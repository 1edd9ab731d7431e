#pragma once

// The test world's writer of on-disk formats, field by field: a sparse file
// written at byte offsets, the MBR and GPT structures the partition reader
// takes apart, and the backup header of a .meta file. Shared by the unit
// tests, tests/support/make_backup.cpp and the fuzz seed maker, so that each
// layout is written in one place. Offsets are this writer's own, not the
// reader's constants, so that a wrong constant on either side shows.
//
// Not a test framework: a failed write only marks the file, and ok() says so.

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "common/unique_fd.h"
#include "compare/crc32_ieee.h"

namespace qor::test {

// A file written at offsets relative to `base`; writing past its end grows
// it, and what is never written reads as zero (holes).
class ImageFile {
  public:
    // Creates or empties path.
    explicit ImageFile(const std::string& path, std::uint64_t base = 0)
        : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)),
          path_(path),
          base_(base),
          failed_(!fd_.is_open()) {}

    bool ok() const { return !failed_; }
    const std::string& path() const { return path_; }

    void put(std::uint64_t offset, const void* data, std::size_t size) {
        const auto* p = static_cast<const std::uint8_t*>(data);
        std::uint64_t at = base_ + offset;
        while (size > 0 && !failed_) {
            const ssize_t n = ::pwrite(fd_.get(), p, size, static_cast<off_t>(at));
            if (n <= 0) {
                failed_ = true;
                break;
            }
            p += n;
            at += static_cast<std::uint64_t>(n);
            size -= static_cast<std::size_t>(n);
        }
    }
    // The low `bytes` bytes of value, least significant first.
    void put_le(std::uint64_t offset, std::uint64_t value, int bytes) {
        std::uint8_t b[8];
        for (int i = 0; i < bytes; ++i) b[i] = static_cast<std::uint8_t>(value >> (8 * i));
        put(offset, b, static_cast<std::size_t>(bytes));
    }
    void put_text(std::uint64_t offset, std::string_view text) {
        put(offset, text.data(), text.size());
    }
    // The bytes at offset; what cannot be read (past the end) reads as zero.
    std::vector<std::uint8_t> get(std::uint64_t offset, std::size_t size) const {
        std::vector<std::uint8_t> bytes(size, 0);
        std::uint64_t at = 0;
        if (!__builtin_add_overflow(base_, offset, &at) && at <= INT64_MAX) {
            const ssize_t n = ::pread(fd_.get(), bytes.data(), size, static_cast<off_t>(at));
            (void)n;
        }
        return bytes;
    }
    // Cuts or extends the file to base + size bytes.
    void resize(std::uint64_t size) {
        if (::ftruncate(fd_.get(), static_cast<off_t>(base_ + size)) != 0) failed_ = true;
    }

  private:
    UniqueFd fd_;
    std::string path_;
    std::uint64_t base_;
    bool failed_;
};

// ---- MBR and extended boot records ----------------------------------------

// Slot `slot` (0-3) of the 512-byte record at record_offset: type at +4,
// first LBA at +8, sector count at +12 of the 16-byte entry at 446; and the
// record's 0x55 0xAA signature at 510.
inline void mbr_put_entry(ImageFile& img, std::uint64_t record_offset, int slot, std::uint8_t type,
                          std::uint32_t first_lba, std::uint32_t sectors) {
    const std::uint64_t entry = record_offset + 446 + 16 * static_cast<std::uint64_t>(slot);
    img.put_le(entry + 4, type, 1);
    img.put_le(entry + 8, first_lba, 4);
    img.put_le(entry + 12, sectors, 4);
    img.put_le(record_offset + 510, 0xAA55, 2);
}

// ---- GPT ------------------------------------------------------------------

using Guid = std::array<std::uint8_t, 16>;

// "0FC63DAF-8483-4772-8E79-3D69D8477DE4" as stored: the first three groups
// little-endian, the rest byte by byte.
inline Guid guid_from_text(std::string_view text) {
    std::string hex;
    for (char c : text) {
        if (c != '-') hex += c;
    }
    auto byte = [&hex](std::size_t i) {
        return static_cast<std::uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    };
    Guid g{};
    for (std::size_t i = 0; i < 16; ++i) g[i] = byte(i);
    std::swap(g[0], g[3]);
    std::swap(g[1], g[2]);
    std::swap(g[4], g[5]);
    std::swap(g[6], g[7]);
    return g;
}

struct GptLayout {
    std::uint32_t sector = 512;
    std::uint64_t entries_lba = 2;
    std::uint32_t entry_count = 128;
    std::uint32_t entry_bytes = 128;
    std::uint32_t header_size = 92;
    // Decides the protective entry's length, the backup header's LBA and the
    // last usable LBA; the first usable LBA is the one after the entry array.
    std::uint64_t total_sectors = 0x100000000;
};

inline std::uint64_t gpt_header_offset(const GptLayout& g) {
    return g.sector;
}
inline std::uint64_t gpt_entry_offset(const GptLayout& g, std::uint32_t slot) {
    return g.entries_lba * g.sector + std::uint64_t{slot} * g.entry_bytes;
}

// A protective MBR (slot 0, type 0xEE) and the GPT header at LBA 1, its CRC
// fields zero until gpt_seal.
inline void gpt_put_header(ImageFile& img, const GptLayout& g) {
    const std::uint64_t last = g.total_sectors - 1;
    mbr_put_entry(img, 0, 0, 0xEE, 1,
                  static_cast<std::uint32_t>(last > 0xFFFFFFFF ? 0xFFFFFFFF : last));
    const std::uint64_t h = gpt_header_offset(g);
    img.put_text(h, "EFI PART");
    img.put_le(h + 8, 0x00010000, 4);  // revision 1.0
    img.put_le(h + 12, g.header_size, 4);
    img.put_le(h + 24, 1, 8);     // this header's LBA
    img.put_le(h + 32, last, 8);  // the backup header's LBA
    const std::uint64_t array_sectors =
        (std::uint64_t{g.entry_count} * g.entry_bytes + g.sector - 1) / g.sector;
    img.put_le(h + 40, 2 + array_sectors, 8);    // first usable LBA
    img.put_le(h + 48, g.total_sectors - 2, 8);  // last usable LBA
    const Guid disk = guid_from_text("5B1E3F6A-2C4D-4E8F-9A0B-1C2D3E4F5A6B");
    img.put(h + 56, disk.data(), disk.size());
    img.put_le(h + 72, g.entries_lba, 8);
    img.put_le(h + 80, g.entry_count, 4);
    img.put_le(h + 84, g.entry_bytes, 4);
}

// Entry `slot`, all entry_bytes of it: type GUID at 0, unique GUID at 16
// (when given), first and last (inclusive) LBA at 32 and 40, zeros after.
inline void gpt_put_entry(ImageFile& img, const GptLayout& g, std::uint32_t slot, const Guid& type,
                          std::uint64_t first_lba, std::uint64_t last_lba,
                          const Guid* unique = nullptr) {
    const std::uint64_t at = gpt_entry_offset(g, slot);
    img.put(at, std::vector<std::uint8_t>(g.entry_bytes, 0).data(), g.entry_bytes);
    img.put(at, type.data(), type.size());
    if (unique != nullptr) img.put(at + 16, unique->data(), unique->size());
    img.put_le(at + 32, first_lba, 8);
    img.put_le(at + 40, last_lba, 8);
}

// The entry array's CRC (at 88), then the header's CRC (at 16) over
// header_size bytes with its own field zero. An array that cannot be
// addressed is taken as zeros.
inline void gpt_seal(ImageFile& img, const GptLayout& g) {
    const std::uint64_t h = gpt_header_offset(g);
    std::uint64_t array_offset = 0;
    std::vector<std::uint8_t> array(std::size_t{g.entry_count} * g.entry_bytes, 0);
    if (!__builtin_mul_overflow(g.entries_lba, std::uint64_t{g.sector}, &array_offset)) {
        array = img.get(array_offset, array.size());
    }
    img.put_le(h + 88, crc32_ieee(array.data(), array.size()), 4);
    img.put_le(h + 16, 0, 4);
    const std::vector<std::uint8_t> header = img.get(h, g.header_size);
    img.put_le(h + 16, crc32_ieee(header.data(), header.size()), 4);
}

// ---- the backup header of a .meta file ------------------------------------

inline constexpr std::uint64_t META_RECORD_BYTES = 131072;

struct MetaHeader {
    std::uint64_t magic = 0x4D524F51;  // "QORM" read as little-endian
    std::uint64_t version = 1;
    std::uint64_t header_length = META_RECORD_BYTES;
    std::uint64_t chunk_size = 0;
    std::uint64_t source_size = 0;
    std::string snapshot_ref;  // without its terminator when it reaches the record's end
};

// Writes the header record into img, cut or extended to file_size bytes:
// magic at 0 (u32), version at 4 (u16), header length at 8 (u32), chunk size
// at 12 (u32), source size at 76 (u64), the snapshot reference at 25157.
inline void meta_put_header(ImageFile& img, const MetaHeader& h,
                            std::uint64_t file_size = META_RECORD_BYTES) {
    constexpr std::uint64_t REF_OFFSET = 25157;
    img.resize(file_size);
    img.put_le(0, h.magic, 4);
    img.put_le(4, h.version, 2);
    img.put_le(8, h.header_length, 4);
    img.put_le(12, h.chunk_size, 4);
    img.put_le(76, h.source_size, 8);
    const std::size_t room = META_RECORD_BYTES - REF_OFFSET;
    img.put_text(REF_OFFSET, std::string_view(h.snapshot_ref).substr(0, room));
    img.resize(file_size);
}

// A .meta file holding only a valid header that records ref, for a volume of
// source_size bytes. False when it could not be written.
inline bool meta_write_file(const std::string& path, std::string_view ref,
                            std::uint64_t source_size = 4096) {
    ImageFile file(path);
    MetaHeader h;
    h.source_size = source_size;
    h.snapshot_ref = ref;
    meta_put_header(file, h);
    return file.ok();
}

}  // namespace qor::test
