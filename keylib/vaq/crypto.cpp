#include "crypto.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>

#include <climits>
#include <memory>

namespace vaq {

namespace {

struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX *c) const { EVP_PKEY_CTX_free(c); }
};
struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX *c) const { EVP_CIPHER_CTX_free(c); }
};
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

bool fits_int(size_t n) { return n <= static_cast<size_t>(INT_MAX); }

}  // namespace

bool hkdf_sha256(ByteView secret, std::string_view salt, ByteView info, uint8_t *out,
                 size_t outLen) {
    PkeyCtx ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr));
    if (!ctx || !fits_int(secret.size()) || !fits_int(salt.size()) || !fits_int(info.size()))
        return false;
    size_t len = outLen;
    return EVP_PKEY_derive_init(ctx.get()) == 1 &&
           EVP_PKEY_CTX_set_hkdf_md(ctx.get(), EVP_sha256()) == 1 &&
           EVP_PKEY_CTX_set1_hkdf_salt(ctx.get(),
                                       reinterpret_cast<const unsigned char *>(salt.data()),
                                       static_cast<int>(salt.size())) == 1 &&
           EVP_PKEY_CTX_set1_hkdf_key(ctx.get(), secret.data(),
                                      static_cast<int>(secret.size())) == 1 &&
           EVP_PKEY_CTX_add1_hkdf_info(ctx.get(), info.data(), static_cast<int>(info.size())) ==
               1 &&
           EVP_PKEY_derive(ctx.get(), out, &len) == 1 && len == outLen;
}

bool hmac_sha256(ByteView key, ByteView data, uint8_t out[32]) {
    unsigned int len = 0;
    if (!fits_int(key.size())) return false;
    return HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), data.data(), data.size(),
                out, &len) != nullptr &&
           len == 32;
}

bool pbkdf2_sha256(ByteView password, ByteView salt, uint32_t iterations, uint8_t out[32]) {
    if (!fits_int(password.size()) || !fits_int(salt.size()) || iterations > INT_MAX) return false;
    return PKCS5_PBKDF2_HMAC(reinterpret_cast<const char *>(password.data()),
                             static_cast<int>(password.size()), salt.data(),
                             static_cast<int>(salt.size()), static_cast<int>(iterations),
                             EVP_sha256(), 32, out) == 1;
}

bool random_bytes(uint8_t *out, size_t size) {
    return fits_int(size) && RAND_bytes(out, static_cast<int>(size)) == 1;
}

bool gcm_seal(const uint8_t key[32], const uint8_t nonce[12], ByteView aad, ByteView plain,
              uint8_t *out) {
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    int len = 0;
    if (!ctx || !fits_int(aad.size()) || !fits_int(plain.size())) return false;
    if (EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key, nonce) != 1) return false;
    if (!aad.empty() &&
        EVP_EncryptUpdate(ctx.get(), nullptr, &len, aad.data(), static_cast<int>(aad.size())) != 1)
        return false;
    if (!plain.empty() && EVP_EncryptUpdate(ctx.get(), out, &len, plain.data(),
                                            static_cast<int>(plain.size())) != 1)
        return false;
    if (EVP_EncryptFinal_ex(ctx.get(), out + plain.size(), &len) != 1) return false;
    return EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kGcmTagBytes),
                               out + plain.size()) == 1;
}

bool gcm_open(const uint8_t key[32], const uint8_t nonce[12], ByteView aad, ByteView sealed,
              uint8_t *out) {
    if (sealed.size() < kGcmTagBytes || !fits_int(aad.size()) || !fits_int(sealed.size()))
        return false;
    size_t n = sealed.size() - kGcmTagBytes;
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    int len = 0;
    bool ok = ctx && EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key, nonce) == 1 &&
              (aad.empty() || EVP_DecryptUpdate(ctx.get(), nullptr, &len, aad.data(),
                                                static_cast<int>(aad.size())) == 1) &&
              (n == 0 || EVP_DecryptUpdate(ctx.get(), out, &len, sealed.data(),
                                           static_cast<int>(n)) == 1) &&
              EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kGcmTagBytes),
                                  const_cast<uint8_t *>(sealed.data() + n)) == 1 &&
              EVP_DecryptFinal_ex(ctx.get(), out + n, &len) == 1;
    if (!ok && n > 0) OPENSSL_cleanse(out, n);
    return ok;
}

}  // namespace vaq
