// SPDX-License-Identifier: Apache-2.0
#include "hxb/audit_record.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <charconv>
#include <cstring>
#include <ctime>
#include <vector>

namespace hxb::audit {

namespace {

bool plain_byte(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == ':' || c == '/' || c == ',' || c == '@' || c == '+' || c == '=' || c == '-';
}

std::string escape(std::string_view value) {
    if (value.empty()) return "-";
    if (value == "-") return "%2D";
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(value.size());
    for (unsigned char c : value) {
        if (plain_byte(c)) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(digits[c >> 4]);
            out.push_back(digits[c & 15]);
        }
    }
    return out;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool unescape(std::string_view text, std::string &out) {
    out.clear();
    if (text == "-") return true;
    if (text.empty()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size()) return false;
            const int hi = hex_digit(text[i + 1]), lo = hex_digit(text[i + 2]);
            if (hi < 0 || lo < 0) return false;
            out.push_back(static_cast<char>(hi << 4 | lo));
            i += 2;
        } else if (plain_byte(static_cast<unsigned char>(c))) {
            out.push_back(c);
        } else {
            return false;
        }
    }
    return true;
}

std::string capped(const std::string &value) {
    if (value.size() <= kMaxValueBytes) return value;
    return value.substr(0, kMaxValueBytes - 3) + "...";
}

bool hmac(const uint8_t *key, size_t keyLen, const void *data, size_t size, uint8_t out[32]) {
    size_t outLen = 0;
    return EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, key, keyLen, static_cast<const unsigned char *>(data),
                     size, out, 32, &outLen) != nullptr &&
           outLen == 32;
}

template <class T>
bool number(std::string_view text, T &out) {
    if (text.empty()) return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size();
}

void put64(uint8_t *p, uint64_t v) {
    for (int i = 7; i >= 0; --i, v >>= 8) p[i] = static_cast<uint8_t>(v);
}
uint64_t get64(const uint8_t *p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = v << 8 | p[i];
    return v;
}
void put32(uint8_t *p, uint32_t v) {
    for (int i = 3; i >= 0; --i, v >>= 8) p[i] = static_cast<uint8_t>(v);
}
uint32_t get32(const uint8_t *p) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = v << 8 | p[i];
    return v;
}

constexpr char kKeyMagic[8] = {'T', 'V', 'A', 'U', 'D', 'K', 'E', 'Y'};
constexpr uint32_t kKeyFormat = 1;

}  // namespace

std::string hex(const uint8_t *bytes, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out(size * 2, '0');
    for (size_t i = 0; i < size; ++i) {
        out[2 * i] = digits[bytes[i] >> 4];
        out[2 * i + 1] = digits[bytes[i] & 15];
    }
    return out;
}

bool unhex(std::string_view text, uint8_t *out, size_t size) {
    if (text.size() != size * 2) return false;
    for (size_t i = 0; i < size; ++i) {
        const int hi = hex_digit(text[2 * i]), lo = hex_digit(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        out[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return true;
}

std::string utc_text(int64_t seconds) {
    const time_t t = static_cast<time_t>(seconds);
    struct tm tm {};
    char text[32] = "1970-01-01T00:00:00Z";
    if (gmtime_r(&t, &tm) != nullptr) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

std::string sealed_text(const Record &r) {
    std::string s;
    s.reserve(512);
    s += "seq=" + std::to_string(r.seq);
    s += " epoch=" + std::to_string(r.epoch);
    s += " time=" + escape(r.time);
    s += " node=" + escape(r.node);
    s += " role=" + escape(r.role);
    s += " uid=" + std::to_string(r.uid);
    s += " user=" + escape(r.user);
    s += " pid=" + std::to_string(r.pid);
    s += " process=" + escape(r.process);
    s += " op=" + escape(r.op);
    s += " domain=" + escape(r.domain);
    s += " keys=" + escape(r.keys);
    s += " file=" + escape(capped(r.file));
    s += " result=" + std::to_string(r.result);
    s += " detail=" + escape(capped(r.detail));
    s += " prev=" + hex(r.prev.data(), r.prev.size());
    return s;
}

std::string line_of(const Record &r) { return sealed_text(r) + " mac=" + hex(r.mac.data(), r.mac.size()) + "\n"; }

bool seal(const Key &key, Record &r) {
    const std::string text = sealed_text(r);
    return hmac(key.data(), key.size(), text.data(), text.size(), r.mac.data());
}

bool sealed_by(const Key &key, const Record &r) {
    Mac want{};
    const std::string text = sealed_text(r);
    if (!hmac(key.data(), key.size(), text.data(), text.size(), want.data())) return false;
    return CRYPTO_memcmp(want.data(), r.mac.data(), want.size()) == 0;
}

bool parse(std::string_view line, Record &out, std::string &why) {
    static const char *const kNames[] = {"seq", "epoch",  "time", "node", "role",   "uid",    "user", "pid", "process",
                                         "op",  "domain", "keys", "file", "result", "detail", "prev", "mac"};
    constexpr size_t kFields = sizeof kNames / sizeof kNames[0];
    if (line.size() > kMaxLineBytes) {
        why = "longer than any record";
        return false;
    }
    std::string_view values[kFields];
    size_t at = 0;
    for (size_t i = 0; i < kFields; ++i) {
        const size_t end = line.find(' ', at);
        const std::string_view field =
            line.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
        const size_t nameLen = std::strlen(kNames[i]);
        if (field.size() <= nameLen || field.compare(0, nameLen, kNames[i]) != 0 || field[nameLen] != '=') {
            why = std::string("field ") + kNames[i] + " missing or out of place";
            return false;
        }
        values[i] = field.substr(nameLen + 1);
        if (i + 1 < kFields && end == std::string_view::npos) {
            why = std::string("ends before field ") + kNames[i + 1];
            return false;
        }
        if (i + 1 == kFields && end != std::string_view::npos) {
            why = "bytes after the MAC";
            return false;
        }
        at = end + 1;
    }
    Record r;
    bool ok = number(values[0], r.seq) && number(values[1], r.epoch) && unescape(values[2], r.time) &&
              unescape(values[3], r.node) && unescape(values[4], r.role) && number(values[5], r.uid) &&
              unescape(values[6], r.user) && number(values[7], r.pid) && unescape(values[8], r.process) &&
              unescape(values[9], r.op) && unescape(values[10], r.domain) && unescape(values[11], r.keys) &&
              unescape(values[12], r.file) && number(values[13], r.result) && unescape(values[14], r.detail) &&
              unhex(values[15], r.prev.data(), r.prev.size()) && unhex(values[16], r.mac.data(), r.mac.size());
    if (!ok) {
        why = "a field's value is malformed";
        return false;
    }
    out = std::move(r);
    return true;
}

bool first_key(const Key &verification, Key &out) {
    static const char label[] = "telmor-vaq audit epoch 0";
    return hmac(verification.data(), verification.size(), label, sizeof label - 1, out.data());
}

bool step_key(const Key &current, uint64_t nextEpoch, const Mac &lastMac, Key &out) {
    static const char label[] = "telmor-vaq audit step";
    uint8_t data[sizeof label - 1 + 8 + 32];
    std::memcpy(data, label, sizeof label - 1);
    put64(data + sizeof label - 1, nextEpoch);
    std::memcpy(data + sizeof label - 1 + 8, lastMac.data(), lastMac.size());
    Key next{};
    const bool ok = hmac(current.data(), current.size(), data, sizeof data, next.data());
    if (ok) out = next;
    OPENSSL_cleanse(next.data(), next.size());
    return ok;
}

// magic 8 | format 4 | recordsPerEpoch 4 | secondsPerEpoch 4 | epoch 8 |
// epochStartSeq 8 | epochStartTime 8 | key 32 | zeros | SHA-256 of the rest 32
void encode_key_file(const KeyState &k, uint8_t (&out)[kKeyFileBytes]) {
    std::memset(out, 0, sizeof out);
    std::memcpy(out, kKeyMagic, 8);
    put32(out + 8, kKeyFormat);
    put32(out + 12, k.recordsPerEpoch);
    put32(out + 16, k.secondsPerEpoch);
    put64(out + 20, k.epoch);
    put64(out + 28, k.epochStartSeq);
    put64(out + 36, static_cast<uint64_t>(k.epochStartTime));
    std::memcpy(out + 44, k.key.data(), 32);
    SHA256(out, kKeyFileBytes - 32, out + kKeyFileBytes - 32);
}

bool decode_key_file(const uint8_t *bytes, size_t size, KeyState &out) {
    if (size < kKeyFileBytes || std::memcmp(bytes, kKeyMagic, 8) != 0 || get32(bytes + 8) != kKeyFormat) return false;
    uint8_t digest[32];
    SHA256(bytes, kKeyFileBytes - 32, digest);
    if (CRYPTO_memcmp(digest, bytes + kKeyFileBytes - 32, 32) != 0) return false;
    KeyState k;
    k.recordsPerEpoch = get32(bytes + 12);
    k.secondsPerEpoch = get32(bytes + 16);
    k.epoch = get64(bytes + 20);
    k.epochStartSeq = get64(bytes + 28);
    k.epochStartTime = static_cast<int64_t>(get64(bytes + 36));
    std::memcpy(k.key.data(), bytes + 44, 32);
    out = k;
    OPENSSL_cleanse(k.key.data(), k.key.size());
    return true;
}

}  // namespace hxb::audit
