// SPDX-License-Identifier: Apache-2.0
#include "host/bounded.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tv {

namespace {

bool overlaps(const void *a, rsize_t a_len, const void *b, rsize_t b_len) {
    const auto pa = reinterpret_cast<std::uintptr_t>(a);
    const auto pb = reinterpret_cast<std::uintptr_t>(b);
    return a_len != 0 && b_len != 0 && pa < pb + b_len && pb < pa + a_len;
}

// %n writes through a pointer taken from the arguments; Annex K forbids it.
bool has_count_conversion(const char *format) {
    for (const char *p = format; *p != '\0'; ++p) {
        if (*p != '%') continue;
        ++p;
        if (*p == '%') continue;
        while (*p != '\0' && std::strchr("-+ #0'I123456789.*$hlLqjzt", *p) != nullptr) ++p;
        if (*p == 'n') return true;
        if (*p == '\0') break;
    }
    return false;
}

}  // namespace

errno_t memcpy_s(void *dest, rsize_t destsz, const void *src, rsize_t count) {
    if (dest == nullptr || destsz > kRsizeMax) return EINVAL;
    if (src == nullptr || count > destsz || overlaps(dest, count, src, count)) {
        std::memset(dest, 0, destsz);
        return src == nullptr ? EINVAL : ERANGE;
    }
    if (count != 0) std::memcpy(dest, src, count);
    return 0;
}

errno_t memset_s(void *dest, rsize_t destsz, int ch, rsize_t count) {
    if (dest == nullptr || destsz > kRsizeMax) return EINVAL;
    const rsize_t n = count < destsz ? count : destsz;
    std::memset(dest, ch, n);
    // The barrier makes the stores observable, so the fill survives even when
    // the buffer is released right after (and under link-time optimisation).
    __asm__ __volatile__("" : : "r"(dest) : "memory");
    return count > destsz ? EOVERFLOW : 0;
}

std::size_t put_decimal(char *buffer, rsize_t bufsz, std::int64_t value, unsigned width) {
    char digits[20];
    std::size_t count = 0;
    // The magnitude in unsigned arithmetic, so that the lowest value has one.
    std::uint64_t magnitude = value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    const std::size_t sign = value < 0 ? 1 : 0;
    const std::size_t length = sign + count > width ? sign + count : width;
    if (buffer == nullptr || length > bufsz) return 0;
    char *p = buffer;
    if (sign != 0) *p++ = '-';
    for (std::size_t zeros = length - sign - count; zeros > 0; --zeros) *p++ = '0';
    while (count > 0) *p++ = digits[--count];
    return length;
}

errno_t strcpy_s(char *dest, rsize_t destsz, const char *src) {
    if (dest == nullptr || destsz == 0 || destsz > kRsizeMax) return EINVAL;
    if (src == nullptr) {
        dest[0] = '\0';
        return EINVAL;
    }
    const rsize_t len = ::strnlen(src, destsz);
    if (len == destsz) {
        dest[0] = '\0';
        return ERANGE;
    }
    if (overlaps(dest, len + 1, src, len + 1)) {
        dest[0] = '\0';
        return EINVAL;
    }
    std::memcpy(dest, src, len + 1);
    return 0;
}

int vsprintf_s(char *buffer, rsize_t bufsz, const char *format, std::va_list args) {
    if (buffer == nullptr || bufsz == 0 || bufsz > kRsizeMax) return -1;
    if (format == nullptr || has_count_conversion(format)) {
        buffer[0] = '\0';
        return -1;
    }
    const int n = std::vsnprintf(buffer, bufsz, format, args);
    if (n < 0 || static_cast<rsize_t>(n) >= bufsz) {
        // vsnprintf has left a cut text behind; no caller may see it.
        std::memset(buffer, 0, bufsz);
        return -1;
    }
    return n;
}

int sprintf_s(char *buffer, rsize_t bufsz, const char *format, ...) {
    std::va_list args;
    va_start(args, format);
    const int n = vsprintf_s(buffer, bufsz, format, args);
    va_end(args);
    return n;
}

}  // namespace tv
