// SPDX-License-Identifier: Apache-2.0
#include "service/base64.h"

#include <array>
#include <climits>
#include <cstring>

#include "common/log.h"
#include "telmor_vaq_api.h"

extern "C" {
// Position 64 is the pad character; the terminator sits at position 65, which
// is why the zero byte decodes as 65.
constexpr char base[66] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";
}

namespace tv {
namespace {

constexpr uint8_t kPad = 64;

// The same characters as `base`, read from here: `base` is exported, so the
// compiler must reach it through the symbol table and read it again after
// every character written, which made encoding cost more than the cipher.
constexpr char kAlphabet[66] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";
static_assert(sizeof kAlphabet == sizeof base);

constexpr std::array<uint8_t, 256> make_index_table() {
    std::array<uint8_t, 256> table{};
    for (uint8_t pos = 0; pos <= 65; ++pos) {
        table[static_cast<unsigned char>(base[pos])] = pos;
    }
    return table;
}

// Same values as searching `base` for the character, without the search.
constexpr std::array<uint8_t, 256> kIndex = make_index_table();

static_assert(kIndex['A'] == 0 && kIndex['/'] == 63 && kIndex['='] == 64 && kIndex[0] == 65);
static_assert(kIndex['-'] == 0 && kIndex['_'] == 0 && kIndex[0xFF] == 0);

inline uint32_t value_at(const char *text, uint32_t i) { return kIndex[static_cast<unsigned char>(text[i])]; }

// kIndex with each value already moved to its place in a group of four
// characters: a group decodes with four loads and three ORs.
using ShiftedIndex = std::array<uint32_t, 256>;
constexpr ShiftedIndex make_shifted(unsigned shift) {
    ShiftedIndex table{};
    for (unsigned c = 0; c < 256; ++c) table[c] = uint32_t{kIndex[c]} << shift;
    return table;
}
constexpr std::array<ShiftedIndex, 4> kShifted = {make_shifted(18), make_shifted(12), make_shifted(6), make_shifted(0)};

inline uint32_t group_at(const char *text) {
    const auto *t = reinterpret_cast<const unsigned char *>(text);
    return kShifted[0][t[0]] | kShifted[1][t[1]] | kShifted[2][t[2]] | kShifted[3][t[3]];
}

// Every pair of 6-bit values as its two characters: a group of three bytes
// encodes with two loads.
constexpr std::array<std::array<char, 2>, 4096> make_pairs() {
    std::array<std::array<char, 2>, 4096> table{};
    for (unsigned v = 0; v < 4096; ++v) table[v] = {kAlphabet[v >> 6], kAlphabet[v & 63]};
    return table;
}
constexpr std::array<std::array<char, 2>, 4096> kPairs = make_pairs();

}  // namespace

uint8_t base64_index(char c) { return kIndex[static_cast<unsigned char>(c)]; }

char *base64_encode(const unsigned char *data, uint32_t n) {
    const uint64_t bytes = base64_text_length(n) + 1;
    char *out = nullptr;
    if (bytes <= INT32_MAX) {
        out = static_cast<char *>(VAQ_ALLOC(static_cast<int32_t>(bytes)));
    }
    if (out == nullptr) {
        VAQ_LOG(kError, "base64_encode malloc ret data failed\n");
        return nullptr;
    }

    char *p = out;
    const unsigned char *in = data;
    for (const unsigned char *whole = data + n / 3 * 3; in != whole; in += 3, p += 4) {
        const uint32_t group = (uint32_t{in[0]} << 16) | (uint32_t{in[1]} << 8) | in[2];
        std::memcpy(p, kPairs[group >> 12].data(), 2);
        std::memcpy(p + 2, kPairs[group & 4095].data(), 2);
    }
    const auto i = static_cast<uint32_t>(in - data);
    const uint32_t rest = n - i;
    if (rest > 0) {
        uint32_t group = uint32_t{data[i]} << 16;
        if (rest == 2) group |= uint32_t{data[i + 1]} << 8;
        *p++ = kAlphabet[(group >> 18) & 63];
        *p++ = kAlphabet[(group >> 12) & 63];
        *p++ = rest == 2 ? kAlphabet[(group >> 6) & 63] : kAlphabet[kPad];
        *p++ = kAlphabet[kPad];
    }
    *p = '\0';
    return out;
}

namespace {

// Pad characters: each of the last three positions counts on its own,
// adjoining or not.
uint32_t pad_count(const char *text, uint32_t len) {
    uint32_t pad = 0;
    for (uint32_t back = 1; back <= 3 && back <= len; ++back) {
        pad += text[len - back] == kAlphabet[kPad];
    }
    return pad;
}

uint32_t size_for(uint32_t len, uint32_t pad) {
    // At most 3 * 2^30 + 4: always fits.
    return static_cast<uint32_t>(3 * (uint64_t{len} / 4) + (pad <= 1 ? 4 : pad == 2 ? 3 : 2));
}

}  // namespace

uint32_t base64_decode_size(const char *text, uint32_t len) { return size_for(len, pad_count(text, len)); }

void base64_decode_into(const char *text, uint32_t len, unsigned char *out, uint32_t size) {
    // Values are OR-ed in unmasked: the 64 of '=' or the 65 of a zero byte
    // inside the text also sets the low bit of the character before it. Texts
    // that callers hold have always decoded this way, so the quirk stays.
    const uint32_t chars = len - pad_count(text, len);
    unsigned char *p = out;
    const char *in = text;
    for (const char *whole = text + chars / 4 * 4; in != whole; in += 4, p += 3) {
        const uint32_t acc = group_at(in);
        p[0] = static_cast<unsigned char>(acc >> 16);
        p[1] = static_cast<unsigned char>(acc >> 8);
        p[2] = static_cast<unsigned char>(acc);
    }
    const auto i = static_cast<uint32_t>(in - text);
    const uint32_t rest = chars - i;
    if (rest > 0) {
        uint32_t acc = 0;
        for (uint32_t k = 0; k < rest; ++k) acc |= value_at(text, i + k) << (18 - 6 * k);
        for (uint32_t k = 0; k < rest; ++k) *p++ = static_cast<unsigned char>(acc >> (16 - 8 * k));
    }
    // The terminator and the rest of the decode size: zero, as in a block
    // fresh from the allocator.
    const auto written = static_cast<uint32_t>(p - out);
    std::memset(p, 0, size - written);
}

unsigned char *base64_decode(const char *text, uint32_t len, uint32_t *size) {
    const uint32_t decode_size = base64_decode_size(text, len);
    *size = decode_size;

    unsigned char *out = nullptr;
    if (decode_size <= INT32_MAX) {
        out = static_cast<unsigned char *>(VAQ_ALLOC(static_cast<int32_t>(decode_size)));
    }
    if (out == nullptr) {
        VAQ_LOG(kError, "base64_decode malloc ret data failed\n");
        return nullptr;
    }
    base64_decode_into(text, len, out, decode_size);
    return out;
}

}  // namespace tv
