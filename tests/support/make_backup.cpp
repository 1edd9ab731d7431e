// make_backup: writes a backup the way the backup program lays it out, for the
// test world and the demonstration. PREFIX.meta gets a header record, PREFIX.data
// a copy of the image (holes kept, so large sparse images stay cheap).
//
//   make_backup [--image IMG] --out PREFIX [--ref TEXT] [--chunk-size N]
//               [--source-size N] [--version V] [--magic HEX]
//               [--header-length N] [--file-size N]
//
// Without --image no .data file is written and the source size defaults to 0.
// --file-size cuts or extends the .meta file, for short or oversized headers.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "common/unique_fd.h"
#include "support/image_writer.h"
#include "support/tool_die.h"

namespace {

constexpr std::size_t COPY_BLOCK = 1 << 20;

struct Args {
    const char* image = nullptr;
    const char* out = nullptr;
    std::string ref;
    std::uint64_t chunk_size = 0;
    std::uint64_t source_size = 0;
    bool source_size_given = false;
    std::uint64_t version = 1;
    std::uint64_t magic = qor::test::MetaHeader{}.magic;
    std::uint64_t header_length = qor::test::META_RECORD_BYTES;
    std::uint64_t file_size = qor::test::META_RECORD_BYTES;
};

using qor::test::die;

std::uint64_t parse_number(const char* opt, const char* text, int base) {
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text, &end, base);
    if (errno != 0 || end == text || *end != '\0') die("bad number for %s: '%s'", opt, text);
    return v;
}

Args parse_args(int argc, char** argv) {
    Args a;
    for (int i = 1; i < argc; ++i) {
        std::string_view opt = argv[i];
        if (i + 1 >= argc) die("option %s needs a value", argv[i]);
        const char* val = argv[++i];
        if (opt == "--image")
            a.image = val;
        else if (opt == "--out")
            a.out = val;
        else if (opt == "--ref")
            a.ref = val;
        else if (opt == "--chunk-size")
            a.chunk_size = parse_number(argv[i - 1], val, 0);
        else if (opt == "--source-size") {
            a.source_size = parse_number(argv[i - 1], val, 0);
            a.source_size_given = true;
        } else if (opt == "--version")
            a.version = parse_number(argv[i - 1], val, 0);
        else if (opt == "--magic")
            a.magic = parse_number(argv[i - 1], val, 16);
        else if (opt == "--header-length")
            a.header_length = parse_number(argv[i - 1], val, 0);
        else if (opt == "--file-size")
            a.file_size = parse_number(argv[i - 1], val, 0);
        else
            die("unknown option %s", argv[i - 1]);
    }
    if (a.out == nullptr) die("--out is required");
    return a;
}

bool all_zero(const unsigned char* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (p[i] != 0) return false;
    return true;
}

bool write_all(int fd, const unsigned char* p, std::size_t n, off_t off) {
    while (n > 0) {
        ssize_t w = pwrite(fd, p, n, off);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<std::size_t>(w);
        off += w;
    }
    return true;
}

// Copies image to dst block by block, leaving all-zero blocks as holes.
std::uint64_t copy_sparse(const char* image, const std::string& dst) {
    qor::UniqueFd in(open(image, O_RDONLY | O_CLOEXEC));
    if (!in.is_open()) die("cannot open %s: %s", image, std::strerror(errno));
    qor::UniqueFd out(open(dst.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!out.is_open()) die("cannot create %s: %s", dst.c_str(), std::strerror(errno));
    std::vector<unsigned char> buf(COPY_BLOCK);
    off_t off = 0;
    for (;;) {
        ssize_t got = pread(in.get(), buf.data(), buf.size(), off);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) die("cannot read %s: %s", image, std::strerror(errno));
        if (got == 0) break;
        std::size_t n = static_cast<std::size_t>(got);
        if (!all_zero(buf.data(), n) && !write_all(out.get(), buf.data(), n, off))
            die("cannot write %s: %s", dst.c_str(), std::strerror(errno));
        off += got;
    }
    if (ftruncate(out.get(), off) != 0)
        die("cannot size %s: %s", dst.c_str(), std::strerror(errno));
    return static_cast<std::uint64_t>(off);
}

void write_meta(const Args& a, std::uint64_t source_size) {
    qor::test::MetaHeader h;
    h.magic = a.magic;
    h.version = a.version;
    h.header_length = a.header_length;
    h.chunk_size = a.chunk_size;
    h.source_size = source_size;
    h.snapshot_ref = a.ref;
    const std::string path = std::string(a.out) + ".meta";
    qor::test::ImageFile meta(path);
    qor::test::meta_put_header(meta, h, a.file_size);
    if (!meta.ok()) die("cannot write %s: %s", path.c_str(), std::strerror(errno));
}

}  // namespace

int main(int argc, char** argv) {
    Args a = parse_args(argc, argv);
    std::uint64_t image_size = 0;
    if (a.image != nullptr) image_size = copy_sparse(a.image, std::string(a.out) + ".data");
    write_meta(a, a.source_size_given ? a.source_size : image_size);
    return 0;
}
