/* SPDX-License-Identifier: Apache-2.0 */
// Cipher bytes of algorithm 5: a 28-byte header, the sealed plain bytes, and a
// 16-byte GCM tag. The header is authenticated as associated data, so a cipher
// cannot be moved to another domain or key, or be given another length.
//
//   0  u8   format version (1)       12  nonce (12 bytes, random)
//   1  u8   algorithm (5)            24  u32 length of the sealed bytes
//   2  u16  reserved (0)             28  sealed bytes, then the tag
//   4  u32  domain id
//   8  u32  key id                   (numbers little-endian)
#ifndef HXB_QOR_CIPHER_FORMAT_H
#define HXB_QOR_CIPHER_FORMAT_H

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qor {

inline constexpr uint8_t kFormatVersion = 1;
inline constexpr uint32_t kAlgorithmAes256Gcm = 5;
inline constexpr uint32_t kHeaderBytes = 28;
inline constexpr uint32_t kNonceBytes = 12;
inline constexpr uint32_t kTagBytes = 16;
inline constexpr uint32_t kOverheadBytes = kHeaderBytes + kTagBytes;
inline constexpr uint32_t kMaxPlainBytes = UINT32_MAX - kOverheadBytes;

struct CipherHeader {
    uint8_t version = kFormatVersion;
    uint8_t algorithm = kAlgorithmAes256Gcm;
    uint16_t reserved = 0;
    uint32_t domain = 0;
    uint32_t keyId = 0;
    uint8_t nonce[kNonceBytes] = {};
    uint32_t sealedBytes = 0;
};

inline void put_u32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

inline uint32_t get_u32(const uint8_t *p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

inline void encode_header(const CipherHeader &h, uint8_t *out) {
    out[0] = h.version;
    out[1] = h.algorithm;
    out[2] = static_cast<uint8_t>(h.reserved);
    out[3] = static_cast<uint8_t>(h.reserved >> 8);
    put_u32(out + 4, h.domain);
    put_u32(out + 8, h.keyId);
    std::memcpy(out + 12, h.nonce, kNonceBytes);
    put_u32(out + 24, h.sealedBytes);
}

// The header's fields lie in memory as on the wire, without padding, so a
// little-endian machine reads them in one copy. Field by field, the narrow
// stores of the first bytes and the wider load that tests them together
// stalled every decryption on the store buffer.
static_assert(sizeof(CipherHeader) == kHeaderBytes && offsetof(CipherHeader, reserved) == 2 &&
              offsetof(CipherHeader, domain) == 4 && offsetof(CipherHeader, keyId) == 8 &&
              offsetof(CipherHeader, nonce) == 12 && offsetof(CipherHeader, sealedBytes) == 24);

// The caller has checked that `in` holds at least kHeaderBytes.
inline CipherHeader decode_header(const uint8_t *in) {
    CipherHeader h;
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(&h, in, sizeof h);
        return h;
    }
    h.version = in[0];
    h.algorithm = in[1];
    h.reserved = static_cast<uint16_t>(in[2] | in[3] << 8);
    h.domain = get_u32(in + 4);
    h.keyId = get_u32(in + 8);
    std::memcpy(h.nonce, in + 12, kNonceBytes);
    h.sealedBytes = get_u32(in + 24);
    return h;
}

}  // namespace qor

#endif
