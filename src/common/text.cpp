#include "common/text.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace qor {

int text_format(char* buf, std::size_t size, const char* fmt, ...) {
    if (buf == nullptr || size == 0) return 0;
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(buf, size, fmt, ap);
    va_end(ap);
    if (n < 0) buf[0] = '\0';
    return n;
}

void text_copy(char* buf, std::size_t size, std::string_view src) {
    if (buf == nullptr || size == 0) return;
    std::size_t n = src.size() < size - 1 ? src.size() : size - 1;
    if (n > 0) std::memcpy(buf, src.data(), n);
    buf[n] = '\0';
}

}  // namespace qor
