// make_seeds: writes the seed corpora of the fuzz targets.
//
//   make_seeds [CORPUS_DIR]     (default: the source tree's fuzz/corpus)
//
// Seeds are small, valid or near-valid inputs; the fuzzer mutates from there.
// Binary layouts come from the test world's image writer; the file-system
// seeds are the first 4 KiB of real images from tests/support/make-image, so
// making them again changes their UUIDs and times, nothing else. Every other
// seed comes out byte for byte the same each time.

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "support/image_writer.h"
#include "support/tool_die.h"

namespace {

using qor::test::gpt_put_entry;
using qor::test::gpt_put_header;
using qor::test::gpt_seal;
using qor::test::GptLayout;
using qor::test::guid_from_text;
using qor::test::ImageFile;
using qor::test::mbr_put_entry;

const char* const GUID_ESP = "C12A7328-F81F-11D2-BA4B-00A0C93EC93B";
const char* const GUID_LINUX = "0FC63DAF-8483-4772-8E79-3D69D8477DE4";
const char* const GUID_LVM = "E6D6D379-F507-44C2-A23C-238F2A3DF928";

using qor::test::die;

std::string corpus_dir(const std::string& root, const char* target) {
    std::string dir = root + "/" + target;
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) die("cannot create %s", dir.c_str());
    return dir;
}

void write_bytes(const std::string& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) die("cannot write %s", path.c_str());
}

std::string read_bytes(const std::string& path, std::size_t max) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.eof() && !in) die("cannot read %s", path.c_str());
    return bytes.substr(0, max);
}

void check(const ImageFile& image) {
    if (!image.ok()) die("cannot write %s", image.path().c_str());
}

// ---- backup header -------------------------------------------------------

void header(const std::string& path, std::uint64_t file_size, std::uint64_t version,
            std::uint64_t header_length, std::uint64_t chunk_size, std::uint64_t source_size,
            const char* ref = "") {
    ImageFile file(path);
    qor::test::MetaHeader h;
    h.version = version;
    h.header_length = header_length;
    h.chunk_size = chunk_size;
    h.source_size = source_size;
    h.snapshot_ref = ref;
    qor::test::meta_put_header(file, h, file_size);
    check(file);
}

void seeds_backup_header(const std::string& root) {
    const std::string d = corpus_dir(root, "backup_header");
    const char* ref = "lvm:vg0/home=home_snap";
    header(d + "/valid-4k", 4096, 1, 4096, 0, 10737418240);
    header(d + "/valid-with-ref", 25188, 1, 4096, 1048576, 10737418240, ref);
    // The reference runs to the end of a short file: the reader's zero fill ends it.
    header(d + "/ref-at-end-of-file", 25180, 1, 4096, 0, 4096, ref);
    header(d + "/version-2", 4096, 2, 4096, 0, 4096);
    header(d + "/length-past-end", 4096, 1, 8192, 0, 4096);
    // Just the fields, which end with the source size at byte 84.
    header(d + "/short", 84, 1, 4096, 0, 4096);
}

// ---- texts ----------------------------------------------------------------

struct TextSeed {
    const char* path;  // below the corpus directory
    std::string_view bytes;
};

using namespace std::string_view_literals;

// Command lines are their words separated by zero bytes.
const TextSeed TEXT_SEEDS[] = {
    {"snapshot_ref/valid", "lvm:vg0/home=home_snap"},
    {"snapshot_ref/valid-separators-in-snapshot", "lvm:vg0/home=snap=with/separators"},
    {"snapshot_ref/origin-like-option", "lvm:vg0/-home=snap"},
    {"snapshot_ref/empty-snapshot", "lvm:vg0/home="},
    {"snapshot_ref/empty-group", "lvm:/home=snap"},
    {"snapshot_ref/no-slash", "lvm:vg0home=snap"},
    {"snapshot_ref/other-kind", "zfs:pool/home@snap"},
    {"snapshot_ref/zero-byte-inside", "lvm:vg0/home=sn\0ap"sv},
    {"lv_parse_row/snapshot", "  vg0|home_snap|swi-a-s---|10737418240|linear|home|253|7"},
    {"lv_parse_row/origin", "  vg0|home|owi-aos---|10737418240|linear||253|3"},
    {"lv_parse_row/invalid-snapshot", "  vg0|old_snap|swi-I-s---|10737418240|linear|home|253|9"},
    {"lv_parse_row/inactive-no-device", "  vg0|scratch|-wi-------|1073741824|linear|||"},
    {"lv_parse_row/too-few-columns", "  vg0|home|owi-aos---|10737418240"},
    {"lv_parse_row/extra-column", "  vg0|home|owi-aos---|10737418240|linear||253|3|extra"},
    {"lv_parse_row/size-not-a-number", "  vg0|home|owi-aos---|big|linear||253|3"},
    {"lv_parse_row/warning-line", "  WARNING: Not using device /dev/sdb for PV abc."},
    {"options/meta-mode", "--meta\0/srv/backup/home.meta\0--mode\0tree"sv},
    {"options/short-and-inline", "-m\0home.meta\0--target-lv=vg0/scratch\0--keep-restored"sv},
    {"options/search-dir-file", "-d\0/srv/backup\0--target-file\0/var/tmp/r.img\0--no-progress"sv},
    {"options/unknown-and-forwarded", "--mode=byte\0--bogus\0value\0--\0qor_restore\0--flag"sv},
    {"options/flag-with-value", "--keep-restored=yes\0extra\0-\0--remove-snapshot-after"sv},
    {"options/logging-and-help", "--log-path\0/var/log/qor\0--no-syslog\0--help"sv},
    {"options/value-missing", "--meta"},
    // The first byte is the buffer size less one.
    {"text_escape/forged-line",
     "\xff"
     "snap\n2026-12-08T00:00:00Z [qor_verifier] INFO  verified identical: 1 bytes"sv},
    {"text_escape/controls-and-broken-utf8",
     "\x20"
     "\x1b[31m\x7f\xc3\x28\xed\xa0\x80\xc2\x9b\\\0"sv},
    {"text_escape/cut-inside-a-character",
     "\x05"
     "ab\xe2\x82\xac\xf0\x9f\x98\x80"sv},
    {"text_escape/diff-lines",
     "\xff"
     "Only in /a: x\r\nFiles /a/y and /b/y differ\n\n\tz"sv},
    // Right-to-left override, line separator, byte order mark, a tag, soft hyphen.
    {"text_escape/format-characters",
     "\x40"
     "a\xe2\x80\xae"
     "fdp.exe\xe2\x80\xa8\xef\xbb\xbf\xf3\xa0\x80\x81\xc2\xad"sv},
};

void seeds_texts(const std::string& root) {
    for (const char* dir : {"snapshot_ref", "lv_parse_row", "options", "text_escape"}) {
        corpus_dir(root, dir);
    }
    for (const TextSeed& seed : TEXT_SEEDS) write_bytes(root + "/" + seed.path, seed.bytes);
    // Names of 127 characters are the longest a reference may hold.
    const std::string n127(127, 'a');
    write_bytes(root + "/snapshot_ref/valid-127-char-group", "lvm:" + n127 + "/home=snap");
    write_bytes(root + "/snapshot_ref/group-too-long", "lvm:" + n127 + "a/home=snap");
}

// ---- partition tables ----------------------------------------------------

// The first byte of a partition_table seed picks the sector size (0: the
// default, 1: 512, 2: 4096); 3 to 5 also have the target fix the GPT header
// CRC itself. The image follows, at most `max` bytes of it.
void seed_with_selector(int selector, const ImageFile& image, const std::string& dst,
                        std::size_t max = std::string::npos) {
    check(image);
    write_bytes(dst, std::string(1, static_cast<char>(selector)) + read_bytes(image.path(), max));
}

// A GPT disk of total_sectors sectors, its entries and CRCs still to come.
ImageFile gpt_image(const std::string& path, const GptLayout& g) {
    ImageFile image(path);
    image.resize(g.sector * g.total_sectors);
    gpt_put_header(image, g);
    return image;
}

void gpt_entry(ImageFile& image, const GptLayout& g, std::uint32_t slot, const char* type,
               std::uint64_t first, std::uint64_t last) {
    char unique[40];
    std::snprintf(unique, sizeof unique, "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F%u", slot);
    const qor::test::Guid unique_guid = guid_from_text(unique);
    gpt_put_entry(image, g, slot, guid_from_text(type), first, last, &unique_guid);
}

void seeds_mbr(const std::string& d, const std::string& work) {
    {
        ImageFile f(work);
        f.resize(512);
        mbr_put_entry(f, 0, 0, 0x83, 2048, 204800);
        mbr_put_entry(f, 0, 1, 0x07, 206848, 409600);
        seed_with_selector(0, f, d + "/mbr-primaries");
    }
    {
        // An extended partition at LBA 2 whose chain has two records, at 2 and 4.
        ImageFile f(work);
        f.resize(512 * 5);
        mbr_put_entry(f, 0, 0, 0x83, 2048, 4096);
        mbr_put_entry(f, 0, 1, 0x05, 2, 20000);
        mbr_put_entry(f, 1024, 0, 0x83, 2048, 8192);
        mbr_put_entry(f, 1024, 1, 0x05, 2, 10000);
        mbr_put_entry(f, 2048, 0, 0x07, 2048, 4096);
        seed_with_selector(1, f, d + "/mbr-extended-chain");
    }
    {
        // A chain that loops between its records at LBA 3 and 4: 2 -> 4 -> 3 -> 4 ...
        ImageFile f(work);
        f.resize(512 * 5);
        mbr_put_entry(f, 0, 0, 0x83, 2048, 4096);
        mbr_put_entry(f, 0, 1, 0x0F, 2, 20000);
        mbr_put_entry(f, 1024, 0, 0x83, 2048, 8192);
        mbr_put_entry(f, 1024, 1, 0x85, 2, 10);
        mbr_put_entry(f, 1536, 0, 0x83, 100, 100);
        mbr_put_entry(f, 1536, 1, 0x05, 2, 10);
        mbr_put_entry(f, 2048, 0, 0x07, 2048, 4096);
        mbr_put_entry(f, 2048, 1, 0x05, 1, 10);
        seed_with_selector(0, f, d + "/mbr-chain-loop");
    }
    {
        ImageFile f(work);
        f.resize(512);
        seed_with_selector(0, f, d + "/no-table");
    }
}

void seeds_gpt_sealed(const std::string& d, const std::string& work) {
    {
        const GptLayout g{512, 2, 128, 128, 92, 34};
        ImageFile f = gpt_image(work, g);
        gpt_entry(f, g, 0, GUID_ESP, 2048, 1050623);
        gpt_entry(f, g, 1, GUID_LINUX, 1050624, 3147775);
        gpt_entry(f, g, 2, GUID_LVM, 3147776, 20969471);
        gpt_seal(f, g);
        seed_with_selector(1, f, d + "/gpt-512");
        // The same with one header byte changed after sealing: the CRC no longer holds.
        f.put_le(512 + 40, 0x23, 1);
        seed_with_selector(1, f, d + "/gpt-header-crc-wrong", 512 * 3);
    }
    {
        const GptLayout g{4096, 2, 4, 128, 92, 3};
        ImageFile f = gpt_image(work, g);
        gpt_entry(f, g, 0, GUID_LINUX, 256, 262399);
        gpt_seal(f, g);
        seed_with_selector(2, f, d + "/gpt-4096");
    }
    {
        // Entries whose byte ranges cannot be addressed in 64 bits.
        const GptLayout g{512, 2, 4, 128, 92, 3};
        ImageFile f = gpt_image(work, g);
        gpt_entry(f, g, 0, GUID_LINUX, 72057594037927936, 72057594037928959);
        gpt_entry(f, g, 1, GUID_LINUX, 0, ~std::uint64_t{0});
        gpt_entry(f, g, 2, GUID_LINUX, 36028797018963967, 36028797018963967);
        gpt_entry(f, g, 3, GUID_LINUX, 2048, 4095);
        gpt_seal(f, g);
        seed_with_selector(1, f, d + "/gpt-hostile-lbas");
    }
}

// Selector bytes 3 to 5 have the fuzz target fix the header CRC itself, so
// these headers go unsealed and their geometry is what gets exercised.
void seeds_gpt_unsealed(const std::string& d, const std::string& work) {
    {
        const GptLayout g{512, 2, 4, 128, 92, 3};
        ImageFile f = gpt_image(work, g);
        f.put_le(512 + 72, 36028797018963967, 8);  // entry array LBA
        f.put_le(512 + 80, 4096, 4);               // entry count
        f.put_le(512 + 84, 512, 4);                // entry size
        seed_with_selector(4, f, d + "/gpt-unsealed-array-at-end-of-space");
    }
    {
        const GptLayout g{512, 2, 5, 128, 92, 5};
        ImageFile f = gpt_image(work, g);
        f.put_le(512 + 84, 200, 4);
        const qor::test::Guid linux_guid = guid_from_text(GUID_LINUX);
        for (std::uint64_t slot = 0; slot < 5; ++slot) {
            f.put(1024 + 200 * slot, linux_guid.data(), linux_guid.size());
            f.put_le(1024 + 200 * slot + 32, 2048 * (slot + 1), 8);
            f.put_le(1024 + 200 * slot + 40, 2048 * (slot + 1) + 2047, 8);
        }
        seed_with_selector(4, f, d + "/gpt-unsealed-200-byte-entries");
    }
    {
        const GptLayout g{4096, 2, 4, 128, 92, 3};
        ImageFile f = gpt_image(work, g);
        f.put_le(4096 + 12, 512, 4);  // header size
        gpt_entry(f, g, 0, GUID_LVM, 256, 511);
        seed_with_selector(5, f, d + "/gpt-unsealed-4096-long-header");
    }
}

// ---- file-system superblocks ---------------------------------------------

void make_image(const std::string& kind, const std::string& path, int mib) {
    const std::string command = std::string("'") + QOR_SOURCE_DIR + "/tests/support/make-image' " +
                                kind + " '" + path + "' " + std::to_string(mib);
    if (std::system(command.c_str()) != 0) die("%s failed", command.c_str());
}

void seeds_probe_filesystem(const std::string& root, const std::string& work) {
    const std::string d = corpus_dir(root, "probe_filesystem");
    for (const char* fs : {"ext2", "ext3", "ext4"}) {
        std::remove(work.c_str());
        make_image(fs, work, 64);
        write_bytes(d + "/" + fs, read_bytes(work, 4096));
    }
    std::remove(work.c_str());
    make_image("ntfs", work, 16);
    write_bytes(d + "/ntfs", read_bytes(work, 4096));
    // An ext4 superblock one sector into the file, as in a partition at 512.
    write_bytes(d + "/ext4-at-512", std::string(512, '\0') + read_bytes(d + "/ext4", 3584));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2) die("usage: make_seeds [CORPUS_DIR]");
    const std::string root = argc == 2 ? argv[1] : QOR_SOURCE_DIR "/fuzz/corpus";
    if (::mkdir(root.c_str(), 0755) != 0 && errno != EEXIST) die("cannot create %s", root.c_str());
    char work_dir[] = "/tmp/qor_seeds.XXXXXX";
    if (::mkdtemp(work_dir) == nullptr) die("cannot make a work directory");
    const std::string work = std::string(work_dir) + "/image";

    seeds_backup_header(root);
    seeds_texts(root);
    const std::string tables = corpus_dir(root, "partition_table");
    seeds_mbr(tables, work);
    seeds_gpt_sealed(tables, work);
    seeds_gpt_unsealed(tables, work);
    seeds_probe_filesystem(root, work);

    std::remove(work.c_str());
    ::rmdir(work_dir);
    return 0;
}
