/* SPDX-License-Identifier: Apache-2.0 */
// Bounded copy, fill, format and scan functions in the manner of C11 Annex K,
// which glibc does not provide. Every copy and format in the library goes
// through them.
//
// Contracts shared by all of them:
// - A size above kRsizeMax is treated as a corrupted (negative) value and
//   refused.
// - On failure the destination is left empty or zeroed, never holding a cut
//   copy or a truncated text.
// - No runtime-constraint handler: failures are reported only by the result.
#ifndef TELMOR_VAQ_HOST_BOUNDED_H
#define TELMOR_VAQ_HOST_BOUNDED_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace tv {

using errno_t = int;
using rsize_t = std::size_t;
inline constexpr rsize_t kRsizeMax = SIZE_MAX >> 1;

// Copies count bytes into dest (room for destsz). Fails (non-zero) when
// dest or src is null, count exceeds destsz, or the ranges overlap; when dest
// is usable it is then zero-filled over destsz bytes.
errno_t memcpy_s(void *dest, rsize_t destsz, const void *src, rsize_t count);

// Fills min(count, destsz) bytes with ch; a call the compiler may not drop,
// so it can wipe secrets before release. Fails when count exceeds destsz
// (the destsz bytes are still filled).
errno_t memset_s(void *dest, rsize_t destsz, int ch, rsize_t count);

// Copies the zero-terminated src with its terminator. Fails when it does not
// fit or the ranges overlap; dest then holds the empty string.
errno_t strcpy_s(char *dest, rsize_t destsz, const char *src);

// Formats into buffer (room for bufsz bytes, terminator included). Returns
// the length written, or a negative value when the text and its terminator
// do not fit, when formatting fails, or on a null buffer, zero size or null
// format. On a negative result buffer holds the empty string (when usable).
// The %n conversion is refused.
int sprintf_s(char *buffer, rsize_t bufsz, const char *format, ...) __attribute__((format(printf, 3, 4)));
int vsprintf_s(char *buffer, rsize_t bufsz, const char *format, std::va_list args)
    __attribute__((format(printf, 3, 0)));

// Writes value as printf's "%0<width>lld" does (a '-', then zeros, then the
// digits: at least width characters in all) without a terminator. Returns
// the length, or 0 with nothing written when it would not fit in bufsz.
// For the fixed pieces of a log line, which a general format made cost more
// than the line's write.
std::size_t put_decimal(char *buffer, rsize_t bufsz, std::int64_t value, unsigned width);

namespace scan_detail {

// One argument of sscanf_s as the scanner sees it. The front end below
// records each argument's real type, so a conversion whose argument has the
// wrong kind or width is refused instead of writing through a bad pointer,
// and a size given as int is read as the value it is.
struct Arg {
    enum class Kind : std::uint8_t { kBuffer, kSize, kInteger };
    Kind kind;
    void *ptr;
    rsize_t value;  // kSize: the size; kInteger: the pointee's width in bytes
};

template <class T>
Arg make_arg(T arg) {
    if constexpr (std::is_integral_v<T>) {
        // A negative size becomes huge and is refused as above kRsizeMax.
        return {Arg::Kind::kSize, nullptr, static_cast<rsize_t>(arg)};
    } else if constexpr (std::is_same_v<T, char *> || std::is_same_v<T, unsigned char *> ||
                         std::is_same_v<T, signed char *>) {
        return {Arg::Kind::kBuffer, arg, sizeof(char)};
    } else {
        static_assert(std::is_pointer_v<T> && std::is_integral_v<std::remove_pointer_t<T>> &&
                          !std::is_const_v<std::remove_pointer_t<T>>,
                      "sscanf_s takes char buffers with their sizes and pointers to integers");
        return {Arg::Kind::kInteger, arg, sizeof(std::remove_pointer_t<T>)};
    }
}

int scan(const char *text, const char *format, const Arg *args, std::size_t count);

}  // namespace scan_detail

// Scans text. Each %s and %c takes a destination and its size, the way
// Annex K asks: a %s token that does not fit with its terminator fails the
// conversion and leaves the empty string; a width still limits how much is
// read. Supported: %s %c %d %i %u %x %X %o %%, the length modifiers hh h l ll
// j z t, and '*' to skip an assignment; integer destinations must have the
// width that the length modifier names, and a number that does not fit its
// destination fails the conversion. Any other conversion, a missing or
// mistyped argument, or a size of 0 refuses the whole call before anything is
// read or written. Returns the number of assigned fields, or EOF (-1) when
// refused or when the input ends before the first conversion.
template <class... Args>
int sscanf_s(const char *text, const char *format, Args... args) {
    const scan_detail::Arg packed[] = {scan_detail::make_arg(args)..., {scan_detail::Arg::Kind::kSize, nullptr, 0}};
    return scan_detail::scan(text, format, packed, sizeof...(Args));
}

}  // namespace tv

#endif  // TELMOR_VAQ_HOST_BOUNDED_H
