// SPDX-License-Identifier: Apache-2.0
#include "crypto.h"

#include "hxb/openssl_owner.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <memory>

namespace vaq {

namespace {

using CipherCtx = hxb::OpenSslOwner<EVP_CIPHER_CTX>;

bool fits_int(size_t n) { return n <= static_cast<size_t>(INT_MAX); }

// Kept once fetched. A fetch that fails (no memory) is tried again at the next
// call: remembered, it would fail every keystore load until the process ends.
const EVP_CIPHER *aes256gcm() {
    static std::atomic<EVP_CIPHER *> cipher{nullptr};
    EVP_CIPHER *known = cipher.load(std::memory_order_acquire);
    if (known != nullptr) return known;
    EVP_CIPHER *fetched = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
    if (fetched == nullptr) return nullptr;
    if (!cipher.compare_exchange_strong(known, fetched, std::memory_order_acq_rel)) {
        EVP_CIPHER_free(fetched);
        return known;
    }
    return fetched;
}

// Fetched once and kept, as the cipher above.
template <class T, T *(*Fetch)(OSSL_LIB_CTX *, const char *, const char *), void (*Free)(T *)>
T *fetched(std::atomic<T *> &slot, const char *name) {
    T *known = slot.load(std::memory_order_acquire);
    if (known != nullptr) return known;
    T *f = Fetch(nullptr, name, nullptr);
    if (f == nullptr) return nullptr;
    if (!slot.compare_exchange_strong(known, f, std::memory_order_acq_rel)) {
        Free(f);
        return known;
    }
    return f;
}

EVP_MAC *hmac_alg() {
    static std::atomic<EVP_MAC *> mac{nullptr};
    return fetched<EVP_MAC, EVP_MAC_fetch, EVP_MAC_free>(mac, "HMAC");
}

EVP_KDF *hkdf_alg() {
    static std::atomic<EVP_KDF *> kdf{nullptr};
    return fetched<EVP_KDF, EVP_KDF_fetch, EVP_KDF_free>(kdf, "HKDF");
}

char kSha256[] = "SHA256";

}  // namespace

bool hkdf_sha256(ByteView secret, std::string_view salt, ByteView info, uint8_t *out, size_t outLen) {
    EVP_KDF *kdf = hkdf_alg();
    if (kdf == nullptr) return false;
    hxb::OpenSslOwner<EVP_KDF_CTX> ctx(EVP_KDF_CTX_new(kdf));
    if (!ctx) return false;
    // The parameters only point at the caller's bytes; OpenSSL copies them.
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, kSha256, 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<uint8_t *>(secret.data()), secret.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<char *>(salt.data()), salt.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, const_cast<uint8_t *>(info.data()), info.size()),
        OSSL_PARAM_construct_end(),
    };
    return EVP_KDF_derive(ctx.get(), out, outLen, params) == 1;
}

bool hmac_sha256(ByteView key, ByteView data, uint8_t out[32]) {
    EVP_MAC *mac = hmac_alg();
    if (mac == nullptr) return false;
    hxb::OpenSslOwner<EVP_MAC_CTX> ctx(EVP_MAC_CTX_new(mac));
    if (!ctx) return false;
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, kSha256, 0),
        OSSL_PARAM_construct_end(),
    };
    size_t len = 0;
    // A null key would mean "the key set before"; an empty key is a key.
    static const uint8_t kNoKey = 0;
    const uint8_t *keyBytes = key.empty() ? &kNoKey : key.data();
    return EVP_MAC_init(ctx.get(), keyBytes, key.size(), params) == 1 &&
           EVP_MAC_update(ctx.get(), data.data(), data.size()) == 1 && EVP_MAC_final(ctx.get(), out, &len, 32) == 1 &&
           len == 32;
}

bool pbkdf2_sha256(ByteView password, ByteView salt, uint32_t iterations, uint8_t out[32]) {
    if (!fits_int(password.size()) || !fits_int(salt.size()) || iterations > INT_MAX) return false;
    return PKCS5_PBKDF2_HMAC(reinterpret_cast<const char *>(password.data()), static_cast<int>(password.size()),
                             salt.data(), static_cast<int>(salt.size()), static_cast<int>(iterations), EVP_sha256(), 32,
                             out) == 1;
}

bool gcm_seal(const uint8_t key[32], const uint8_t nonce[12], ByteView aad, ByteView plain, uint8_t *out) {
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    int len = 0;
    if (!ctx || !fits_int(aad.size()) || !fits_int(plain.size())) return false;
    if (EVP_EncryptInit_ex(ctx.get(), aes256gcm(), nullptr, key, nonce) != 1) return false;
    if (!aad.empty() && EVP_EncryptUpdate(ctx.get(), nullptr, &len, aad.data(), static_cast<int>(aad.size())) != 1)
        return false;
    if (!plain.empty() && EVP_EncryptUpdate(ctx.get(), out, &len, plain.data(), static_cast<int>(plain.size())) != 1)
        return false;
    if (EVP_EncryptFinal_ex(ctx.get(), out + plain.size(), &len) != 1) return false;
    return EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kGcmTagBytes), out + plain.size()) ==
           1;
}

GcmOpener::GcmOpener(const uint8_t key[32]) : ctx_(EVP_CIPHER_CTX_new()) {
    if (ctx_ && EVP_DecryptInit_ex(ctx_.get(), aes256gcm(), nullptr, key, nullptr) != 1) {
        ctx_.reset();
    }
}

Opened GcmOpener::open(const uint8_t nonce[12], ByteView aad, ByteView sealed, uint8_t *out) {
    if (sealed.size() < kGcmTagBytes) return Opened::kRejected;
    if (!ctx_ || !fits_int(aad.size()) || !fits_int(sealed.size())) return Opened::kFailed;
    size_t n = sealed.size() - kGcmTagBytes;
    int len = 0;
    bool ready =
        EVP_DecryptInit_ex(ctx_.get(), nullptr, nullptr, nullptr, nonce) == 1 &&
        (aad.empty() || EVP_DecryptUpdate(ctx_.get(), nullptr, &len, aad.data(), static_cast<int>(aad.size())) == 1) &&
        (n == 0 || EVP_DecryptUpdate(ctx_.get(), out, &len, sealed.data(), static_cast<int>(n)) == 1) &&
        EVP_CIPHER_CTX_ctrl(ctx_.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kGcmTagBytes),
                            const_cast<uint8_t *>(sealed.data() + n)) == 1;
    // Only the final step compares the tag.
    Opened result = !ready                                                ? Opened::kFailed
                    : EVP_DecryptFinal_ex(ctx_.get(), out + n, &len) == 1 ? Opened::kYes
                                                                          : Opened::kRejected;
    if (result != Opened::kYes && n > 0) OPENSSL_cleanse(out, n);
    return result;
}

Opened gcm_open(const uint8_t key[32], const uint8_t nonce[12], ByteView aad, ByteView sealed, uint8_t *out) {
    return GcmOpener(key).open(nonce, aad, sealed, out);
}

}  // namespace vaq
