/* SPDX-License-Identifier: Apache-2.0 */
// The primitives behind the keystore and export formats, as one-shot calls over
// OpenSSL with scoped owners. They answer false on any failure of the library.
#ifndef HXB_VAQ_CRYPTO_H
#define HXB_VAQ_CRYPTO_H

#include <cstdint>
#include <string_view>

#include "bytes.h"
#include "hxb/openssl_owner.h"

namespace vaq {

inline constexpr size_t kGcmNonceBytes = 12;
inline constexpr size_t kGcmTagBytes = 16;
inline constexpr size_t kKeyBytes = 32;

bool hkdf_sha256(ByteView secret, std::string_view salt, ByteView info, uint8_t *out, size_t outLen);
bool hmac_sha256(ByteView key, ByteView data, uint8_t out[32]);
bool pbkdf2_sha256(ByteView password, ByteView salt, uint32_t iterations, uint8_t out[32]);

// AES-256-GCM: out receives the sealed bytes followed by the 16-byte tag.
bool gcm_seal(const uint8_t key[32], const uint8_t nonce[12], ByteView aad, ByteView plain, uint8_t *out);
// What an opening found. A tag that does not match is kRejected; kFailed says
// that nothing could be checked (OpenSSL out of memory, say), which callers
// must not take for damage.
enum class Opened { kYes, kRejected, kFailed };

// Opens sealed||tag into out (sealed.size() - 16 bytes). Unless opened, out is wiped.
Opened gcm_open(const uint8_t key[32], const uint8_t nonce[12], ByteView aad, ByteView sealed, uint8_t *out);

// gcm_open for many records under one key: the key schedule is set up once.
class GcmOpener {
public:
    explicit GcmOpener(const uint8_t key[32]);
    GcmOpener(const GcmOpener &) = delete;
    GcmOpener &operator=(const GcmOpener &) = delete;
    Opened open(const uint8_t nonce[12], ByteView aad, ByteView sealed, uint8_t *out);

private:
    hxb::OpenSslOwner<EVP_CIPHER_CTX> ctx_;
};

}  // namespace vaq

#endif
