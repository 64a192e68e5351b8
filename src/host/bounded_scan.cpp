// SPDX-License-Identifier: Apache-2.0
// The scanner behind tv::sscanf_s. A format is checked whole against the
// arguments before any input is read, so an unsupported conversion or a
// mismatched argument changes nothing.
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/bounded.h"

namespace tv::scan_detail {

namespace {

struct Conversion {
    bool suppress = false;
    rsize_t width = 0;  // 0: none given
    rsize_t bytes = sizeof(int);
    bool has_length = false;
    char conv = '\0';
};

// Digits beyond this are never part of a number we can store.
constexpr rsize_t kNumberMax = 127;
constexpr rsize_t kWidthMax = 1u << 20;

bool is_space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

const char *skip_space(const char *p) {
    while (is_space(*p)) ++p;
    return p;
}

// Reads one conversion after its '%'. False for anything unsupported.
bool parse_conversion(const char *&f, Conversion &cv) {
    cv = Conversion{};
    if (*f == '*') {
        cv.suppress = true;
        ++f;
    }
    if (std::isdigit(static_cast<unsigned char>(*f))) {
        while (std::isdigit(static_cast<unsigned char>(*f))) {
            cv.width = cv.width * 10 + static_cast<rsize_t>(*f - '0');
            if (cv.width > kWidthMax) return false;
            ++f;
        }
        if (cv.width == 0) return false;
    }
    cv.has_length = true;
    if (f[0] == 'h' && f[1] == 'h') {
        cv.bytes = sizeof(signed char);
        f += 2;
    } else if (f[0] == 'l' && f[1] == 'l') {
        cv.bytes = sizeof(long long);
        f += 2;
    } else if (*f == 'h') {
        cv.bytes = sizeof(short);
        ++f;
    } else if (*f == 'l') {
        cv.bytes = sizeof(long);
        ++f;
    } else if (*f == 'j') {
        cv.bytes = sizeof(intmax_t);
        ++f;
    } else if (*f == 'z') {
        cv.bytes = sizeof(size_t);
        ++f;
    } else if (*f == 't') {
        cv.bytes = sizeof(ptrdiff_t);
        ++f;
    } else {
        cv.has_length = false;
    }
    cv.conv = *f;
    if (cv.conv == '\0') return false;
    ++f;
    switch (cv.conv) {
        case 's':
        case 'c':
            return !cv.has_length;
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X':
        case 'o':
            return true;
        default:
            return false;
    }
}

bool is_text(const Conversion &cv) { return cv.conv == 's' || cv.conv == 'c'; }

bool arguments_fit(const char *format, const Arg *args, std::size_t count) {
    std::size_t next = 0;
    for (const char *f = format; *f != '\0';) {
        if (*f++ != '%') continue;
        if (*f == '%') {
            ++f;
            continue;
        }
        Conversion cv;
        if (!parse_conversion(f, cv)) return false;
        if (cv.suppress) continue;
        if (is_text(cv)) {
            if (next + 2 > count) return false;
            const Arg &buf = args[next];
            const Arg &size = args[next + 1];
            if (buf.kind != Arg::Kind::kBuffer || buf.ptr == nullptr) return false;
            if (size.kind != Arg::Kind::kSize || size.value == 0 || size.value > kRsizeMax) {
                return false;
            }
            next += 2;
        } else {
            if (next + 1 > count) return false;
            const Arg &dest = args[next];
            // An int8_t* arrives as a buffer of width 1.
            if (dest.kind == Arg::Kind::kSize || dest.ptr == nullptr || dest.value != cv.bytes) {
                return false;
            }
            next += 1;
        }
    }
    return next == count;
}

template <class T>
void store(void *dest, T value) {
    std::memcpy(dest, &value, sizeof value);
}

bool store_signed(void *dest, rsize_t bytes, long long v) {
    switch (bytes) {
        case 1:
            if (v < SCHAR_MIN || v > SCHAR_MAX) return false;
            store(dest, static_cast<signed char>(v));
            return true;
        case 2:
            if (v < SHRT_MIN || v > SHRT_MAX) return false;
            store(dest, static_cast<short>(v));
            return true;
        case 4:
            if (v < INT_MIN || v > INT_MAX) return false;
            store(dest, static_cast<int>(v));
            return true;
        case 8:
            store(dest, v);
            return true;
        default:
            return false;
    }
}

bool store_unsigned(void *dest, rsize_t bytes, unsigned long long v) {
    switch (bytes) {
        case 1:
            if (v > UCHAR_MAX) return false;
            store(dest, static_cast<unsigned char>(v));
            return true;
        case 2:
            if (v > USHRT_MAX) return false;
            store(dest, static_cast<unsigned short>(v));
            return true;
        case 4:
            if (v > UINT_MAX) return false;
            store(dest, static_cast<unsigned>(v));
            return true;
        case 8:
            store(dest, v);
            return true;
        default:
            return false;
    }
}

// Converts one number at in; false on a matching failure.
bool scan_integer(const char *&in, const Conversion &cv, void *dest) {
    const rsize_t limit = cv.width == 0 || cv.width > kNumberMax ? kNumberMax : cv.width;
    char token[kNumberMax + 1] = {};
    rsize_t n = 0;
    while (n < limit && in[n] != '\0') {
        token[n] = in[n];
        ++n;
    }
    const bool is_signed = cv.conv == 'd' || cv.conv == 'i';
    if (!is_signed && token[0] == '-') return false;
    const int base = cv.conv == 'i' ? 0 : cv.conv == 'o' ? 8 : (cv.conv == 'x' || cv.conv == 'X') ? 16 : 10;
    const int saved_errno = errno;
    errno = 0;
    char *end = nullptr;
    long long sv = 0;
    unsigned long long uv = 0;
    if (is_signed) {
        sv = std::strtoll(token, &end, base);
    } else {
        uv = std::strtoull(token, &end, base);
    }
    const bool out_of_range = errno == ERANGE;
    errno = saved_errno;
    const auto used = static_cast<rsize_t>(end - token);
    if (used == 0 || out_of_range) return false;
    // A number longer than we read is refused rather than split in two.
    if (cv.width == 0 && used == limit && std::isalnum(static_cast<unsigned char>(in[used]))) {
        return false;
    }
    if (dest != nullptr) {
        const bool stored = is_signed ? store_signed(dest, cv.bytes, sv) : store_unsigned(dest, cv.bytes, uv);
        if (!stored) return false;
    }
    in += used;
    return true;
}

}  // namespace

int scan(const char *text, const char *format, const Arg *args, std::size_t count) {
    if (text == nullptr || format == nullptr || !arguments_fit(format, args, count)) return EOF;
    const char *in = text;
    std::size_t next = 0;
    int assigned = 0;
    bool converted = false;
    // Input ending before the first conversion is EOF, as with sscanf.
    const auto input_failure = [&] { return converted ? assigned : EOF; };

    for (const char *f = format; *f != '\0';) {
        if (is_space(*f)) {
            f = skip_space(f);
            in = skip_space(in);
            continue;
        }
        if (*f != '%' || f[1] == '%') {
            f += (*f == '%') ? 2 : 1;
            const char literal = f[-1];
            if (literal == '%') in = skip_space(in);
            if (*in == '\0') return input_failure();
            if (*in != literal) return assigned;
            ++in;
            continue;
        }
        ++f;
        Conversion cv;
        parse_conversion(f, cv);
        if (cv.conv != 'c') in = skip_space(in);
        if (*in == '\0') return input_failure();

        if (cv.conv == 's' || cv.conv == 'c') {
            char *dest = cv.suppress ? nullptr : static_cast<char *>(args[next].ptr);
            const rsize_t size = cv.suppress ? 0 : args[next + 1].value;
            if (!cv.suppress) next += 2;
            rsize_t n = 0;
            if (cv.conv == 's') {
                while (in[n] != '\0' && !is_space(in[n]) && (cv.width == 0 || n < cv.width)) ++n;
            } else {
                const rsize_t want = cv.width == 0 ? 1 : cv.width;
                while (n < want && in[n] != '\0') ++n;
                if (n < want) return input_failure();
            }
            if (dest != nullptr) {
                const rsize_t need = cv.conv == 's' ? n + 1 : n;
                if (need > size) {
                    dest[0] = '\0';
                    return assigned;
                }
                std::memcpy(dest, in, n);
                if (cv.conv == 's') dest[n] = '\0';
                ++assigned;
            }
            in += n;
        } else {
            void *dest = cv.suppress ? nullptr : args[next].ptr;
            if (!cv.suppress) next += 1;
            if (!scan_integer(in, cv, dest)) return assigned;
            if (dest != nullptr) ++assigned;
        }
        converted = true;
    }
    return assigned;
}

}  // namespace tv::scan_detail
