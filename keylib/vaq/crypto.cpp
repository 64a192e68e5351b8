// SPDX-License-Identifier: Apache-2.0
// The SHA-256 functions below are deprecated in OpenSSL 3 in favour of EVP;
// see hmac_parts for why they are used.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "crypto.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <initializer_list>
#include <memory>

namespace vaq {

namespace {

struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX *c) const { EVP_CIPHER_CTX_free(c); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

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

constexpr size_t kShaBlock = 64;
constexpr size_t kShaOut = 32;

// HMAC-SHA256 (RFC 2104) over the concatenation of `parts`, on the SHA-256
// functions themselves: an EVP digest context allocates and dispatches at
// every init, which for these short inputs (a load derives a working key per
// master-key record, two HMACs each) costs several times the hashing.
bool hmac_parts(ByteView key, std::initializer_list<ByteView> parts, uint8_t out[kShaOut]) {
    SHA256_CTX c;
    uint8_t block[kShaBlock] = {};
    bool ok = true;
    if (key.size() > kShaBlock) {
        ok = SHA256_Init(&c) == 1 && SHA256_Update(&c, key.data(), key.size()) == 1 &&
             SHA256_Final(block, &c) == 1;
    } else if (!key.empty()) {
        std::memcpy(block, key.data(), key.size());
    }
    uint8_t pad[kShaBlock];
    uint8_t inner[kShaOut];
    for (size_t i = 0; i < kShaBlock; ++i) pad[i] = block[i] ^ 0x36;
    ok = ok && SHA256_Init(&c) == 1 && SHA256_Update(&c, pad, kShaBlock) == 1;
    for (ByteView p : parts) ok = ok && (p.empty() || SHA256_Update(&c, p.data(), p.size()) == 1);
    ok = ok && SHA256_Final(inner, &c) == 1;
    for (size_t i = 0; i < kShaBlock; ++i) pad[i] = block[i] ^ 0x5c;
    ok = ok && SHA256_Init(&c) == 1 && SHA256_Update(&c, pad, kShaBlock) == 1 &&
         SHA256_Update(&c, inner, kShaOut) == 1 && SHA256_Final(out, &c) == 1;
    OPENSSL_cleanse(&c, sizeof c);
    OPENSSL_cleanse(block, sizeof block);
    OPENSSL_cleanse(pad, sizeof pad);
    OPENSSL_cleanse(inner, sizeof inner);
    return ok;
}

}  // namespace

bool hkdf_sha256(ByteView secret, std::string_view salt, ByteView info, uint8_t *out,
                 size_t outLen) {
    // RFC 5869: extract, then expand block by block.
    if (outLen > 255 * kShaOut) return false;
    uint8_t prk[kShaOut];
    if (!hmac_parts({reinterpret_cast<const uint8_t *>(salt.data()), salt.size()}, {secret}, prk))
        return false;
    uint8_t t[kShaOut];
    size_t tLen = 0;
    bool ok = true;
    for (uint8_t counter = 1; ok && outLen > 0; ++counter) {
        ok = hmac_parts({prk, kShaOut}, {ByteView(t, tLen), info, ByteView(&counter, 1)}, t);
        tLen = kShaOut;
        size_t n = outLen < kShaOut ? outLen : kShaOut;
        if (ok) std::memcpy(out, t, n);
        out += n;
        outLen -= n;
    }
    OPENSSL_cleanse(prk, sizeof prk);
    OPENSSL_cleanse(t, sizeof t);
    return ok;
}

bool hmac_sha256(ByteView key, ByteView data, uint8_t out[32]) {
    return hmac_parts(key, {data}, out);
}

bool pbkdf2_sha256(ByteView password, ByteView salt, uint32_t iterations, uint8_t out[32]) {
    if (!fits_int(password.size()) || !fits_int(salt.size()) || iterations > INT_MAX) return false;
    return PKCS5_PBKDF2_HMAC(reinterpret_cast<const char *>(password.data()),
                             static_cast<int>(password.size()), salt.data(),
                             static_cast<int>(salt.size()), static_cast<int>(iterations),
                             EVP_sha256(), 32, out) == 1;
}

bool gcm_seal(const uint8_t key[32], const uint8_t nonce[12], ByteView aad, ByteView plain,
              uint8_t *out) {
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    int len = 0;
    if (!ctx || !fits_int(aad.size()) || !fits_int(plain.size())) return false;
    if (EVP_EncryptInit_ex(ctx.get(), aes256gcm(), nullptr, key, nonce) != 1) return false;
    if (!aad.empty() &&
        EVP_EncryptUpdate(ctx.get(), nullptr, &len, aad.data(), static_cast<int>(aad.size())) != 1)
        return false;
    if (!plain.empty() &&
        EVP_EncryptUpdate(ctx.get(), out, &len, plain.data(), static_cast<int>(plain.size())) != 1)
        return false;
    if (EVP_EncryptFinal_ex(ctx.get(), out + plain.size(), &len) != 1) return false;
    return EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kGcmTagBytes),
                               out + plain.size()) == 1;
}

GcmOpener::GcmOpener(const uint8_t key[32]) : ctx_(EVP_CIPHER_CTX_new()) {
    if (ctx_ && EVP_DecryptInit_ex(ctx_, aes256gcm(), nullptr, key, nullptr) != 1) {
        EVP_CIPHER_CTX_free(ctx_);
        ctx_ = nullptr;
    }
}

GcmOpener::~GcmOpener() { EVP_CIPHER_CTX_free(ctx_); }

Opened GcmOpener::open(const uint8_t nonce[12], ByteView aad, ByteView sealed, uint8_t *out) {
    if (sealed.size() < kGcmTagBytes) return Opened::kRejected;
    if (!ctx_ || !fits_int(aad.size()) || !fits_int(sealed.size())) return Opened::kFailed;
    size_t n = sealed.size() - kGcmTagBytes;
    int len = 0;
    bool ready = EVP_DecryptInit_ex(ctx_, nullptr, nullptr, nullptr, nonce) == 1 &&
                 (aad.empty() || EVP_DecryptUpdate(ctx_, nullptr, &len, aad.data(),
                                                   static_cast<int>(aad.size())) == 1) &&
                 (n == 0 ||
                  EVP_DecryptUpdate(ctx_, out, &len, sealed.data(), static_cast<int>(n)) == 1) &&
                 EVP_CIPHER_CTX_ctrl(ctx_, EVP_CTRL_GCM_SET_TAG, static_cast<int>(kGcmTagBytes),
                                     const_cast<uint8_t *>(sealed.data() + n)) == 1;
    // Only the final step compares the tag.
    Opened result = !ready                                          ? Opened::kFailed
                    : EVP_DecryptFinal_ex(ctx_, out + n, &len) == 1 ? Opened::kYes
                                                                    : Opened::kRejected;
    if (result != Opened::kYes && n > 0) OPENSSL_cleanse(out, n);
    return result;
}

Opened gcm_open(const uint8_t key[32], const uint8_t nonce[12], ByteView aad, ByteView sealed,
                uint8_t *out) {
    return GcmOpener(key).open(nonce, aad, sealed, out);
}

}  // namespace vaq
