// SPDX-License-Identifier: Apache-2.0
// The three calls of libhxbQor.so. Lengths are checked before any arithmetic,
// and plain bytes reach the caller's buffer only after they authenticate.
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <new>

#include "cipher_format.h"
#include "key_cache.h"
#include "nonce_source.h"
#include "vaq/qor_api.h"
#include "vaq/vaq_api.h"
#include "vaq/vaq_private.h"

#define HXB_EXPORT extern "C" __attribute__((visibility("default")))

namespace qor {

namespace {

struct Failure {
    uint32_t code;
    const char *why;
};

// The one log line of a failed call, through libhxbVaq.so to the host's log.
unsigned long report(const char *function, int line, Failure f) {
    char message[256];
    std::snprintf(message, sizeof message, "%s failed: %s, ret=%u\n", function, f.why, f.code);
    VaqPrivLog(2, "QOR", __FILE_NAME__, line, message);
    return f.code;
}

Failure from_vaq(uint32_t code, bool forEncryption) {
    switch (code) {
    case VAQ_ERR_NOT_INITIALIZED: return {QOR_ERR_NOT_INITIALIZED, "no keystore loaded"};
    case VAQ_ERR_UNKNOWN_KEY:
        return forEncryption
                   ? Failure{QOR_ERR_NO_ACTIVE_KEY, "the domain has no active key"}
                   : Failure{QOR_ERR_KEY_NOT_LOADED, "the keystore in memory lacks the key"};
    default: return {QOR_ERR_CRYPTO, "cipher context could not be set up"};
    }
}

// EVP takes int lengths; longer inputs go in slices.
constexpr uint32_t kSliceBytes = 1u << 30;

bool update(EVP_CIPHER_CTX *ctx, bool encrypt, uint8_t *out, const uint8_t *in, uint32_t len) {
    for (uint32_t done = 0; done < len;) {
        uint32_t n = len - done < kSliceBytes ? len - done : kSliceBytes;
        int written = 0;
        int rc = encrypt
                     ? EVP_EncryptUpdate(ctx, out + done, &written, in + done, static_cast<int>(n))
                     : EVP_DecryptUpdate(ctx, out + done, &written, in + done, static_cast<int>(n));
        if (rc != 1 || written != static_cast<int>(n)) return false;
        done += n;
    }
    return true;
}

}  // namespace

}  // namespace qor

using namespace qor;

HXB_EXPORT unsigned long QorGetCipherDataLenEx(uint32_t plainLen, uint32_t *cipherLen) {
    if (cipherLen == nullptr)
        return report("QorGetCipherDataLenEx", __LINE__,
                      {QOR_ERR_NULL_ARG, "the length pointer is null"});
    if (plainLen > kMaxPlainBytes)
        return report("QorGetCipherDataLenEx", __LINE__,
                      {QOR_ERR_BAD_LENGTH, "the cipher length would not fit in 32 bits"});
    *cipherLen = plainLen + kOverheadBytes;
    return QOR_OK;
}

HXB_EXPORT unsigned long QorEncryptEx(uint32_t domainId, uint32_t algorithm,
                                      const unsigned char *plain, uint32_t plainLen,
                                      unsigned char *cipher, uint32_t *cipherLen) {
    static const char kFn[] = "QorEncryptEx";
    if (cipher == nullptr || cipherLen == nullptr || (plain == nullptr && plainLen != 0))
        return report(kFn, __LINE__, {QOR_ERR_NULL_ARG, "a buffer pointer is null"});
    if (algorithm != kAlgorithmAes256Gcm)
        return report(kFn, __LINE__, {QOR_ERR_BAD_ALGORITHM, "unknown algorithm"});
    if (plainLen > kMaxPlainBytes)
        return report(kFn, __LINE__,
                      {QOR_ERR_BAD_LENGTH, "the cipher length would not fit in 32 bits"});
    uint32_t needed = plainLen + kOverheadBytes;
    if (*cipherLen < needed) {
        *cipherLen = needed;
        return report(kFn, __LINE__, {QOR_ERR_BUFFER_TOO_SMALL, "cipher buffer too small"});
    }
    try {
        ThreadCache &cache = thread_cache();
        std::lock_guard<std::mutex> g(cache.mutex);
        CipherHeader h;
        h.domain = domainId;
        h.sealedBytes = plainLen;
        KeyContexts *kc = nullptr;
        uint32_t code = cache.active(domainId, &h.keyId, &kc);
        if (code != VAQ_OK) return report(kFn, __LINE__, from_vaq(code, true));
        if (!draw_nonce(h.nonce))
            return report(kFn, __LINE__, {QOR_ERR_ENTROPY, "no random nonce"});
        encode_header(h, cipher);
        uint8_t *sealed = cipher + kHeaderBytes;
        int n = 0;
        if (EVP_EncryptInit_ex(kc->enc, nullptr, nullptr, nullptr, h.nonce) != 1 ||
            EVP_EncryptUpdate(kc->enc, nullptr, &n, cipher, kHeaderBytes) != 1 ||
            !update(kc->enc, true, sealed, plain, plainLen) ||
            EVP_EncryptFinal_ex(kc->enc, sealed + plainLen, &n) != 1 ||
            EVP_CIPHER_CTX_ctrl(kc->enc, EVP_CTRL_GCM_GET_TAG, kTagBytes, sealed + plainLen) != 1)
            return report(kFn, __LINE__, {QOR_ERR_CRYPTO, "encryption failed"});
        *cipherLen = needed;
        return QOR_OK;
    } catch (const std::bad_alloc &) {
        return report(kFn, __LINE__, {QOR_ERR_CRYPTO, "out of memory"});
    } catch (...) {
        return report(kFn, __LINE__, {QOR_ERR_CRYPTO, "unexpected error"});
    }
}

HXB_EXPORT unsigned long QorDecryptEx(uint32_t domainId, const unsigned char *cipher,
                                      uint32_t cipherLen, unsigned char *plain,
                                      uint32_t *plainLen) {
    static const char kFn[] = "QorDecryptEx";
    if (cipher == nullptr || plain == nullptr || plainLen == nullptr)
        return report(kFn, __LINE__, {QOR_ERR_NULL_ARG, "a buffer pointer is null"});
    if (cipherLen < kHeaderBytes)
        return report(kFn, __LINE__, {QOR_ERR_FORMAT, "cipher shorter than its header"});
    CipherHeader h = decode_header(cipher);
    if (h.version != kFormatVersion || h.reserved != 0)
        return report(kFn, __LINE__, {QOR_ERR_FORMAT, "not a cipher of ours"});
    if (h.algorithm != kAlgorithmAes256Gcm)
        return report(kFn, __LINE__, {QOR_ERR_BAD_ALGORITHM, "unknown algorithm"});
    // Whatever follows the declared length (the caller's decode padding) is ignored.
    if (uint64_t{kHeaderBytes} + h.sealedBytes + kTagBytes > cipherLen)
        return report(kFn, __LINE__, {QOR_ERR_FORMAT, "cipher shorter than its declared length"});
    if (h.domain != domainId)
        return report(kFn, __LINE__, {QOR_ERR_WRONG_DOMAIN, "cipher made under another domain"});
    if (*plainLen < h.sealedBytes) {
        *plainLen = h.sealedBytes;
        return report(kFn, __LINE__, {QOR_ERR_BUFFER_TOO_SMALL, "plain buffer too small"});
    }
    try {
        ThreadCache &cache = thread_cache();
        std::lock_guard<std::mutex> g(cache.mutex);
        KeyContexts *kc = nullptr;
        uint32_t code = cache.find(h.domain, h.keyId, &kc);
        if (code != VAQ_OK) return report(kFn, __LINE__, from_vaq(code, false));
        const uint8_t *sealed = cipher + kHeaderBytes;
        uint8_t *scratch = cache.scratch(h.sealedBytes);
        int n = 0;
        bool ok = EVP_DecryptInit_ex(kc->dec, nullptr, nullptr, nullptr, h.nonce) == 1 &&
                  EVP_DecryptUpdate(kc->dec, nullptr, &n, cipher, kHeaderBytes) == 1 &&
                  update(kc->dec, false, scratch, sealed, h.sealedBytes) &&
                  EVP_CIPHER_CTX_ctrl(kc->dec, EVP_CTRL_GCM_SET_TAG, kTagBytes,
                                      const_cast<uint8_t *>(sealed + h.sealedBytes)) == 1 &&
                  EVP_DecryptFinal_ex(kc->dec, scratch + h.sealedBytes, &n) == 1;
        if (ok && h.sealedBytes > 0) std::memcpy(plain, scratch, h.sealedBytes);
        cache.release_scratch(h.sealedBytes);
        if (!ok)
            return report(kFn, __LINE__,
                          {QOR_ERR_AUTH, "authentication failed: tampered or wrong key"});
        *plainLen = h.sealedBytes;
        return QOR_OK;
    } catch (const std::bad_alloc &) {
        return report(kFn, __LINE__, {QOR_ERR_CRYPTO, "out of memory"});
    } catch (...) {
        return report(kFn, __LINE__, {QOR_ERR_CRYPTO, "unexpected error"});
    }
}
