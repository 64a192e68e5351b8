// SPDX-License-Identifier: Apache-2.0
// The bounded copy, format and scan functions: what fits exactly, what is one
// byte too long, and that a failure never leaves a cut text behind.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "host/bounded.h"

namespace {

// The bytes of a buffer after its first zero are checked too: a failed
// format must not leave the start of a text anywhere in the buffer.
bool all_zero(const char *buf, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        if (buf[i] != 0) return false;
    }
    return true;
}

TEST(BoundedFormat, ResultAndBufferByFit) {
    struct Case {
        const char *text;
        std::size_t size;
        int result;  // -1: any negative value
    };
    const Case cases[] = {
        {"hello", 6, 5},   // text and terminator fit exactly
        {"hello", 5, -1},  // terminator does not fit
        {"hello", 1, -1},
        {"", 1, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.text) + " into " + std::to_string(c.size));
        char buf[8];
        std::memset(buf, 'X', sizeof buf);
        const int n = tv::sprintf_s(buf, c.size, "%s", c.text);
        if (c.result >= 0) {
            EXPECT_EQ(n, c.result);
            EXPECT_STREQ(buf, c.text);
        } else {
            EXPECT_LT(n, 0);
            EXPECT_TRUE(all_zero(buf, c.size));
        }
        // Nothing is written past the given size.
        for (std::size_t i = c.size; i < sizeof buf; ++i) EXPECT_EQ(buf[i], 'X');
    }
}

TEST(BoundedFormat, RefusesWhatItCannotFormatSafely) {
    char buf[16] = "untouched";
    int count = 0;
    EXPECT_LT(tv::sprintf_s(buf, sizeof buf, "ab%n", &count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_STREQ(buf, "");

    // An encoding error of the C library is a failure, not a short text.
    std::strcpy(buf, "untouched");
    const wchar_t bad[] = {static_cast<wchar_t>(0x7fffffff), 0};
    EXPECT_LT(tv::sprintf_s(buf, sizeof buf, "x%ls", bad), 0);
    EXPECT_TRUE(all_zero(buf, sizeof buf));

    EXPECT_LT(tv::sprintf_s(nullptr, 8, "x"), 0);
    EXPECT_LT(tv::sprintf_s(buf, 0, "x"), 0);
    EXPECT_LT(tv::sprintf_s(buf, static_cast<tv::rsize_t>(-1), "x"), 0);
}

int format_via_list(char *buf, tv::rsize_t size, const char *format, ...) __attribute__((format(printf, 3, 4)));
int format_via_list(char *buf, tv::rsize_t size, const char *format, ...) {
    va_list args;
    va_start(args, format);
    const int n = tv::vsprintf_s(buf, size, format, args);
    va_end(args);
    return n;
}

TEST(BoundedFormat, ArgumentListVariant) {
    char buf[12];
    EXPECT_EQ(format_via_list(buf, sizeof buf, "[%06d] %s", 42, "ok"), 11);
    EXPECT_STREQ(buf, "[000042] ok");
    EXPECT_LT(format_via_list(buf, sizeof buf, "[%06d] %s!", 42, "ok"), 0);
    EXPECT_TRUE(all_zero(buf, sizeof buf));
}

// The log line's numbers: what printf's "%0<width>lld" makes of them, or
// nothing at all when that does not fit.
TEST(BoundedFormat, DecimalsAsZeroPaddedPrintfMakesThem) {
    const int64_t values[] = {0, 7, -7, 42, 999999, 1000000, -99999, -100000, 4294967295LL, INT64_MAX, INT64_MIN};
    const unsigned widths[] = {0, 1, 2, 4, 6, 25};
    for (const int64_t v : values) {
        for (const unsigned w : widths) {
            char expected[64];
            const int n =
                std::snprintf(expected, sizeof expected, "%0*lld", static_cast<int>(w), static_cast<long long>(v));
            char out[64];
            std::memset(out, '#', sizeof out);
            ASSERT_EQ(tv::put_decimal(out, sizeof out, v, w), static_cast<size_t>(n)) << v << " width " << w;
            EXPECT_EQ(std::string(out, static_cast<size_t>(n)), expected);
            EXPECT_EQ(out[n], '#') << "no terminator, nothing past the digits";
            char tight[64];
            std::memset(tight, '#', sizeof tight);
            EXPECT_EQ(tv::put_decimal(tight, static_cast<size_t>(n) - 1, v, w), 0u);
            EXPECT_EQ(tight[0], '#') << "nothing written when it does not fit";
        }
    }
}

TEST(BoundedCopy, MemcpyFitsOrZeroes) {
    unsigned char dest[4] = {9, 9, 9, 9};
    const unsigned char src[5] = {1, 2, 3, 4, 5};
    EXPECT_EQ(tv::memcpy_s(dest, sizeof dest, src, 4), 0);
    EXPECT_EQ(std::memcmp(dest, src, 4), 0);

    EXPECT_NE(tv::memcpy_s(dest, sizeof dest, src, 5), 0);
    EXPECT_EQ(std::memcmp(dest, "\0\0\0\0", 4), 0);

    std::memset(dest, 9, sizeof dest);
    EXPECT_NE(tv::memcpy_s(dest, sizeof dest, nullptr, 1), 0);
    EXPECT_EQ(std::memcmp(dest, "\0\0\0\0", 4), 0);

    unsigned char both[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_NE(tv::memcpy_s(both + 2, 6, both, 4), 0);  // overlapping ranges
    EXPECT_EQ(tv::memcpy_s(dest, sizeof dest, src, 0), 0);
}

TEST(BoundedCopy, StrcpyFitsOrLeavesEmpty) {
    char dest[6];
    EXPECT_EQ(tv::strcpy_s(dest, sizeof dest, "hello"), 0);
    EXPECT_STREQ(dest, "hello");
    EXPECT_NE(tv::strcpy_s(dest, sizeof dest, "hello!"), 0);
    EXPECT_STREQ(dest, "");
    std::strcpy(dest, "abc");
    EXPECT_NE(tv::strcpy_s(dest, sizeof dest, nullptr), 0);
    EXPECT_STREQ(dest, "");
    EXPECT_NE(tv::strcpy_s(dest, 0, "a"), 0);
}

TEST(BoundedCopy, MemsetFillsAtMostTheDestination) {
    unsigned char buf[6] = {1, 1, 1, 1, 1, 1};
    EXPECT_EQ(tv::memset_s(buf, 4, 0xab, 4), 0);
    EXPECT_EQ(buf[3], 0xab);
    EXPECT_EQ(buf[4], 1);
    EXPECT_NE(tv::memset_s(buf, 4, 0, 6), 0);
    EXPECT_EQ(buf[3], 0);
    EXPECT_EQ(buf[4], 1);
    EXPECT_NE(tv::memset_s(nullptr, 4, 0, 4), 0);
}

TEST(BoundedScan, StringHonoursItsSize) {
    char name[4];
    // The blank of the pattern also matches the tab of /proc/<pid>/status.
    EXPECT_EQ(tv::sscanf_s("Name:\tcat\n", "Name: %s", name, sizeof name), 1);
    EXPECT_STREQ(name, "cat");

    std::strcpy(name, "xyz");
    EXPECT_EQ(tv::sscanf_s("Name:\tcats\n", "Name: %s", name, sizeof name), 0);
    EXPECT_STREQ(name, "");

    // A size given as an int is taken at its value.
    char two[2];
    EXPECT_EQ(tv::sscanf_s("Name: ab cd", "Name: %s", two, 2), 0);
    EXPECT_EQ(tv::sscanf_s("Name: a b", "Name: %s", two, 2), 1);
    EXPECT_STREQ(two, "a");
}

TEST(BoundedScan, WidthLimitsEachField) {
    char first[8];
    char second[8];
    EXPECT_EQ(tv::sscanf_s("abcdef", "%3s%s", first, sizeof first, second, sizeof second), 2);
    EXPECT_STREQ(first, "abc");
    EXPECT_STREQ(second, "def");

    // A width larger than the buffer does not lift the buffer's limit.
    EXPECT_EQ(tv::sscanf_s("abcdefghij", "%20s", first, sizeof first), 0);
    EXPECT_STREQ(first, "");

    char c[3] = {'-', '-', '-'};
    EXPECT_EQ(tv::sscanf_s("xy", "%2c", c, sizeof c), 1);
    EXPECT_EQ(std::string(c, 3), "xy-");
    EXPECT_EQ(tv::sscanf_s("xy", "%3c", c, sizeof c), EOF);
}

TEST(BoundedScan, Integers) {
    int pid = 0;
    unsigned id = 0;
    long long big = 0;
    int16_t small = 0;
    EXPECT_EQ(tv::sscanf_s("Pid:\t4242 ff 9000000000", "Pid: %d %x %lld", &pid, &id, &big), 3);
    EXPECT_EQ(pid, 4242);
    EXPECT_EQ(id, 0xffu);
    EXPECT_EQ(big, 9000000000LL);

    EXPECT_EQ(tv::sscanf_s("12345 -7", "%3d%d", &pid, &small), EOF);  // %d needs an int
    EXPECT_EQ(tv::sscanf_s("12345 -7", "%3d%*d%hd", &pid, &small), 2);
    EXPECT_EQ(pid, 123);
    EXPECT_EQ(small, -7);

    // Out of range for the destination, or a sign on an unsigned field.
    EXPECT_EQ(tv::sscanf_s("70000", "%hd", &small), 0);
    EXPECT_EQ(tv::sscanf_s("-1", "%u", &id), 0);
    EXPECT_EQ(tv::sscanf_s("x1", "%d", &pid), 0);
    EXPECT_EQ(tv::sscanf_s("", "%d", &pid), EOF);
    EXPECT_EQ(tv::sscanf_s("Name:", "Name: %d", &pid), EOF);
}

TEST(BoundedScan, RefusesBeforeReadingAnything) {
    char buf[8] = "keep";
    int n = 5;
    struct Case {
        const char *what;
        int result;
    };
    const Case cases[] = {
        {"unsupported conversion", tv::sscanf_s("1.5 abc", "%f %s", &n, buf, sizeof buf)},
        {"scan set", tv::sscanf_s("abc", "%[a-z]", buf, sizeof buf)},
        {"count", tv::sscanf_s("abc", "%s%n", buf, sizeof buf, &n)},
        {"missing size", tv::sscanf_s("abc", "%s", buf)},
        {"size zero", tv::sscanf_s("abc", "%s", buf, 0)},
        {"negative size", tv::sscanf_s("abc", "%s", buf, -1)},
        {"wide string", tv::sscanf_s("abc", "%ls", buf, sizeof buf)},
        {"surplus argument", tv::sscanf_s("abc", "%s", buf, sizeof buf, &n)},
        {"null buffer", tv::sscanf_s("abc", "%s", static_cast<char *>(nullptr), sizeof buf)},
        {"null text", tv::sscanf_s(nullptr, "%d", &n)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.result, EOF);
    }
    EXPECT_STREQ(buf, "keep");
    EXPECT_EQ(n, 5);
}

}  // namespace
