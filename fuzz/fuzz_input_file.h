#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "common/unique_fd.h"

// The parsers under test open a path, so each input is written to an
// anonymous in-memory file and handed over as /proc/self/fd/N.
namespace qor {

class FuzzInputFile {
  public:
    FuzzInputFile(const std::uint8_t* data, std::size_t size)
        : fd_(::memfd_create("qor-fuzz-input", MFD_CLOEXEC)) {
        // Without the file nothing is tested: stop loudly rather than pass quietly.
        if (!fd_.is_open()) std::abort();
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n = ::write(fd_.get(), data + done, size - done);
            if (n <= 0) std::abort();
            done += static_cast<std::size_t>(n);
        }
        std::snprintf(path_, sizeof path_, "/proc/self/fd/%d", fd_.get());
    }

    const char* path() const { return path_; }

  private:
    UniqueFd fd_;
    char path_[32] = "";
};

}  // namespace qor
