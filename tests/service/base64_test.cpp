// SPDX-License-Identifier: Apache-2.0
// Base64 framing: the exact texts, decode sizes and buffers that stored cipher
// texts depend on, agreement with OpenSSL's encoder, and refusal of lengths
// whose text would not fit an allocation.
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "log_reader.h"
#include "service/base64.h"
#include "telmor_vaq_api.h"

namespace {

std::string encode(const std::string &bytes) {
    char *text =
        tv::base64_encode(reinterpret_cast<const unsigned char *>(bytes.data()), static_cast<uint32_t>(bytes.size()));
    EXPECT_NE(text, nullptr);
    if (text == nullptr) return {};
    std::string out(text);
    HX_VAQ_MemFree(__LINE__, "test", text);
    return out;
}

// The whole decode buffer, decode size bytes long.
std::vector<uint8_t> decode(const std::string &text, uint32_t *size) {
    unsigned char *buf = tv::base64_decode(text.data(), static_cast<uint32_t>(text.size()), size);
    EXPECT_NE(buf, nullptr);
    if (buf == nullptr) return {};
    std::vector<uint8_t> out(buf, buf + *size);
    HX_VAQ_MemFree(__LINE__, "test", buf);
    return out;
}

TEST(Base64, EncodesStandardTextWithPadding) {
    const struct {
        std::string bytes;
        std::string text;
    } cases[] = {
        {"ABC", "QUJD"},
        {"A", "QQ=="},
        {"AB", "QUI="},
        {"", ""},
        {"foobar", "Zm9vYmFy"},
        {"fooba", "Zm9vYmE="},
        {std::string("\xFB\xFF\xBF", 3), "+/+/"},  // the two characters that differ from URL-safe
        {std::string("\0\0\0\0", 4), "AAAAAA=="},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(encode(c.bytes), c.text) << "bytes of length " << c.bytes.size();
    }
}

TEST(Base64, DecodeSizeAndBufferFollowTheFixedRule) {
    const struct {
        std::string text;
        uint32_t size;
        std::vector<uint8_t> buffer;
    } cases[] = {
        {"QUJD", 7, {0x41, 0x42, 0x43, 0, 0, 0, 0}},
        {"QUI=", 7, {0x41, 0x42, 0, 0, 0, 0, 0}},
        {"QQ==", 6, {0x41, 0, 0, 0, 0, 0}},
        {"", 4, {0, 0, 0, 0}},
        // Three '=' count three: 3 * (len / 4) + 2.
        {"QUJD===", 5, {0x41, 0x42, 0x43, 0, 0}},
        {"Q===", 5, {0x40, 0, 0, 0, 0}},
        // A '=' third from the end counts one though the last two are not '=';
        // its value 64 also sets the low bit of the 'Q' before it (0x40 -> 0x44).
        {"QUJDQ=AB", 10, {0x41, 0x42, 0x43, 0x44, 0, 0, 0, 0, 0, 0}},
        // Counting '=' second from the end drops the last character; 'U' picks
        // up the '=' bit (0x40 -> 0x50).
        {"QU=D", 7, {0x41, 0x50, 0, 0, 0, 0, 0}},
        // Outside the alphabet: the value 0.
        {"Q-JD", 7, {0x40, 0x02, 0x43, 0, 0, 0, 0}},
        // A zero byte inside the text has the value 65.
        {std::string("QU\0D", 4), 7, {0x41, 0x50, 0x43, 0, 0, 0, 0}},
        // Shorter than three characters: only existing positions are tested.
        {"Q", 4, {0x40, 0, 0, 0}},
        {"QQ", 4, {0x41, 0, 0, 0}},
        {"=", 4, {0, 0, 0, 0}},
        {"==", 3, {0, 0, 0}},
    };
    for (const auto &c : cases) {
        uint32_t size = 0xA5A5A5A5;
        const std::vector<uint8_t> buffer = decode(c.text, &size);
        EXPECT_EQ(size, c.size) << '"' << c.text << '"';
        EXPECT_EQ(buffer, c.buffer) << '"' << c.text << '"';
    }
}

TEST(Base64, IndexEqualsPositionInAlphabetForEveryByte) {
    for (int c = 0; c < 256; ++c) {
        // The alphabet string with its terminator: the zero byte sits at 65.
        const void *found = std::memchr(base, c, sizeof(base));
        const int expected = found == nullptr ? 0 : static_cast<const char *>(found) - base;
        EXPECT_EQ(tv::base64_index(static_cast<char>(c)), expected) << "byte " << c;
    }
    EXPECT_STREQ(base, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=");
    EXPECT_EQ(sizeof(base), 66u);
}

TEST(Base64, RoundTripsAndMatchesOpenSslForRandomLengths) {
    std::mt19937 rng(20190529);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<uint32_t> length(0, 3000);
    for (int round = 0; round < 300; ++round) {
        const uint32_t n = round < 8 ? static_cast<uint32_t>(round) : length(rng);
        std::string bytes(n, '\0');
        for (auto &b : bytes) b = static_cast<char>(byte(rng));

        std::vector<unsigned char> reference(4 * ((n + 2) / 3) + 1);
        const int refLen = EVP_EncodeBlock(reference.data(), reinterpret_cast<const unsigned char *>(bytes.data()),
                                           static_cast<int>(n));
        const std::string text = encode(bytes);
        ASSERT_EQ(text, std::string(reinterpret_cast<char *>(reference.data()), refLen)) << "n=" << n;
        ASSERT_EQ(text.size(), tv::base64_text_length(n));

        // Decoding gives the bytes, then zero bytes up to the decode size:
        // 4 more than the bytes without padding, 5 more with one or two '='.
        uint32_t size = 0;
        const std::vector<uint8_t> buffer = decode(text, &size);
        const uint32_t pads = (3 - n % 3) % 3;
        ASSERT_EQ(size, n + (pads == 0 ? 4u : 5u)) << "n=" << n;
        ASSERT_EQ(std::string(buffer.begin(), buffer.begin() + n), bytes) << "n=" << n;
        for (uint32_t i = n; i < size; ++i) ASSERT_EQ(buffer[i], 0) << "n=" << n << " i=" << i;
    }
}

// Any text, '=' and zero bytes anywhere included, decodes as each group of
// four characters does on its own (values OR-ed in place, cut to three
// bytes), whatever run of groups the decoder takes at once.
TEST(Base64, AnyTextDecodesGroupByGroupAsTheFixedRuleSays) {
    std::mt19937 rng(20261211);
    const std::string chars = std::string("AZaz09+/=-_Q", 12) + std::string(1, '\0');
    std::uniform_int_distribution<size_t> pick(0, chars.size() - 1);
    std::uniform_int_distribution<uint32_t> length(0, 80);
    for (int round = 0; round < 2000; ++round) {
        std::string text(length(rng), 'A');
        for (auto &c : text) c = chars[pick(rng)];
        uint32_t pad = 0;
        for (size_t back = 1; back <= 3 && back <= text.size(); ++back) pad += text[text.size() - back] == '=';
        const size_t used = text.size() - pad;
        std::vector<uint8_t> expected;
        for (size_t at = 0; at < used; at += 4) {
            const size_t n = std::min<size_t>(4, used - at);
            uint32_t acc = 0;
            for (size_t k = 0; k < n; ++k) acc |= uint32_t{tv::base64_index(text[at + k])} << (18 - 6 * k);
            for (size_t k = 0; k < (n == 4 ? 3 : n); ++k) expected.push_back(static_cast<uint8_t>(acc >> (16 - 8 * k)));
        }
        uint32_t size = 0;
        const std::vector<uint8_t> buffer = decode(text, &size);
        ASSERT_EQ(size, tv::base64_decode_size(text.data(), static_cast<uint32_t>(text.size())));
        expected.resize(size, 0);
        ASSERT_EQ(buffer, expected) << "text of " << text.size() << " characters, round " << round;
    }
}

// A length whose text size wraps 32 bits would be allocated short and
// overrun; it is refused before anything is read.
TEST(Base64, RefusesLengthsWhoseTextWouldNotFitAnAllocation) {
    g_vaq_pid = getpid();
    g_node_type = 1;
    tvtest::clear_log(1);
    const unsigned char few[4] = {1, 2, 3, 4};
    const uint32_t lengths[] = {
        0xFFFFFFFFu,
        3221225472u,  // 4 * 1073741824 wraps to 0, + 1: a one-byte buffer
        1610612734u,  // the first length whose text and terminator exceed 2^31 - 1
    };
    for (uint32_t n : lengths) {
        EXPECT_EQ(tv::base64_encode(few, n), nullptr) << "n=" << n;
    }
    const auto lines = tvtest::read_log(1);
    EXPECT_EQ(tvtest::count_api(lines, "ERROR", "base64_encode malloc ret data failed"), 3)
        << testing::PrintToString(lines);
}

}  // namespace
