// SPDX-License-Identifier: Apache-2.0
#include "text_header.h"

#include <algorithm>
#include <string>
#include <vector>

#include "causes.h"
#include "inventory.h"

namespace cli {

namespace {

int base64_value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Strict Base64 (padding optional); false on any other character.
bool decode_base64(const std::string &text, std::vector<unsigned char> &out) {
    std::string t = text;
    while (!t.empty() && t.back() == '=') t.pop_back();
    if (text.size() - t.size() > 2 || t.size() % 4 == 1) return false;
    uint32_t acc = 0;
    int bits = 0;
    for (char c : t) {
        const int v = base64_value(c);
        if (v < 0) return false;
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<unsigned char>(acc >> bits));
        }
    }
    return true;
}

uint32_t le32(const unsigned char *p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

constexpr size_t kHeaderBytes = 28, kTagBytes = 16;

}  // namespace

TextHeader read_text_header(const std::string &text) {
    TextHeader h;
    std::vector<unsigned char> bytes;
    if (text.empty() || !decode_base64(text, bytes)) return h;
    h.base64 = true;
    if (bytes.size() < kHeaderBytes + kTagBytes) return h;
    h.version = bytes[0];
    h.algorithm = bytes[1];
    h.domain = le32(&bytes[4]);
    h.keyId = le32(&bytes[8]);
    h.sealedBytes = le32(&bytes[24]);
    h.wellFormed =
        h.version == 1 && h.algorithm == 5 && uint64_t{h.sealedBytes} + kHeaderBytes + kTagBytes <= bytes.size();
    return h;
}

std::string why_not_decrypted(const std::string &text, uint32_t domain, unsigned long rc) {
    const TextHeader h = read_text_header(text);
    if (!h.base64) return "the text is not Base64";
    if (!h.wellFormed) return cause(3005, {});
    if (h.domain != domain) {
        if (!domain_exists(h.domain)) {
            return "the text was made under domain " + std::to_string(h.domain) + ", which does not exist on this node";
        }
        return "the text was made under domain " + std::to_string(h.domain) + ", not " + std::to_string(domain) +
               ": decrypt it with --domain " + std::to_string(h.domain);
    }
    const std::vector<uint32_t> ids = key_ids(domain);
    if (rc == 268 || std::find(ids.begin(), ids.end(), h.keyId) == ids.end()) {
        return "the text was made under key " + std::to_string(h.keyId) + " of domain " + std::to_string(domain) +
               ", which this keystore does not hold (deleted, or made on another node: import it from that "
               "node's export)";
    }
    return cause(3007, {});
}

std::string trim_text(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '\t')) {
        text.pop_back();
    }
    size_t start = text.find_first_not_of(" \t");
    return start == std::string::npos ? "" : text.substr(start);
}

}  // namespace cli
