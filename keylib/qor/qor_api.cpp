// SPDX-License-Identifier: Apache-2.0
// The three calls of libhxbQor.so. Lengths are checked before any arithmetic,
// and plain bytes reach the caller's buffer only after they authenticate.
#include <climits>
#include <cstdio>
#include <cstring>

#include <openssl/core_names.h>
#include <openssl/params.h>

#include "cipher_format.h"
#include "key_cache.h"
#include "usage_counter.h"
#include "nonce_source.h"
#include "hxb/boundary.h"
#include "hxb/export.h"
#include "hxb/status.h"
#include "vaq/qor_api.h"
#include "vaq/vaq_api.h"
#include "vaq/vaq_private.h"

namespace qor {

namespace {

using hxb::Fail;
using hxb::Ok;
using hxb::Status;

// The one log line of a failed call, through libhxbVaq.so to the host's log.
// A key the keystore in memory lacks is the caller's to answer (it reloads
// and retries, and logs what it did), and anyone holding a text can ask for
// one: it is noted below the error level.
void log_failure(const char *function, Status s) {
    char message[256];
    std::snprintf(message, sizeof message, "%s failed: %s, ret=%u\n", function, s.why, s.code);
    const int level = s.code == QOR_ERR_KEY_NOT_LOADED ? VAQ_PRIV_LOG_INFO : VAQ_PRIV_LOG_ERROR;
    VaqPrivLog(level, "QOR", __FILE_NAME__, __LINE__, message);
}

// Out of memory and the unexpected are answered as a failed primitive: the
// interface has no code of its own for them.
template <class Body>
unsigned long at_edge(const char *function, Body &&body) noexcept {
    return hxb::at_boundary(function, {QOR_ERR_CRYPTO, QOR_ERR_CRYPTO}, log_failure, body);
}

Status from_vaq(uint32_t code, bool forEncryption) {
    switch (code) {
        case VAQ_ERR_NOT_INITIALIZED:
            return Fail(QOR_ERR_NOT_INITIALIZED, "no keystore loaded");
        case VAQ_ERR_UNKNOWN_KEY:
            return forEncryption ? Fail(QOR_ERR_NO_ACTIVE_KEY, "the domain has no active key")
                                 : Fail(QOR_ERR_KEY_NOT_LOADED, "the keystore in memory lacks the key");
        default:
            return Fail(QOR_ERR_CRYPTO, "cipher context could not be set up");
    }
}

// EVP takes int lengths; longer inputs go in slices.
constexpr uint32_t kSliceBytes = 1u << 30;

bool update(EVP_CIPHER_CTX *ctx, bool encrypt, uint8_t *out, const uint8_t *in, uint32_t len) {
    for (uint32_t done = 0; done < len;) {
        uint32_t n = len - done < kSliceBytes ? len - done : kSliceBytes;
        int written = 0;
        int rc = encrypt ? EVP_EncryptUpdate(ctx, out + done, &written, in + done, static_cast<int>(n))
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
    return at_edge("QorGetCipherDataLenEx", [&]() -> Status {
        if (cipherLen == nullptr) return Fail(QOR_ERR_NULL_ARG, "the length pointer is null");
        if (plainLen > kMaxPlainBytes) return Fail(QOR_ERR_BAD_LENGTH, "the cipher length would not fit in 32 bits");
        *cipherLen = plainLen + kOverheadBytes;
        return Ok();
    });
}

HXB_EXPORT unsigned long QorEncryptEx(uint32_t domainId, uint32_t algorithm, const unsigned char *plain,
                                      uint32_t plainLen, unsigned char *cipher, uint32_t *cipherLen) {
    const unsigned long rc = at_edge("QorEncryptEx", [&]() -> Status {
        if (cipher == nullptr || cipherLen == nullptr || (plain == nullptr && plainLen != 0))
            return Fail(QOR_ERR_NULL_ARG, "a buffer pointer is null");
        if (algorithm != kAlgorithmAes256Gcm) return Fail(QOR_ERR_BAD_ALGORITHM, "unknown algorithm");
        if (plainLen > kMaxPlainBytes) return Fail(QOR_ERR_BAD_LENGTH, "the cipher length would not fit in 32 bits");
        const uint32_t needed = plainLen + kOverheadBytes;
        if (*cipherLen < needed) {
            *cipherLen = needed;
            return Fail(QOR_ERR_BUFFER_TOO_SMALL, "cipher buffer too small");
        }
        ThreadCache &cache = thread_cache();
        CacheUse use(cache);
        CipherHeader h;
        h.domain = domainId;
        h.sealedBytes = plainLen;
        KeyContexts *kc = nullptr;
        const uint32_t code = cache.active(domainId, &h.keyId, &kc);
        if (code != VAQ_OK) return from_vaq(code, true);
        if (!draw_nonce(h.nonce)) return Fail(QOR_ERR_ENTROPY, "no random nonce");
        encode_header(h, cipher);
        uint8_t *sealed = cipher + kHeaderBytes;
        EVP_CIPHER_CTX *ctx = kc->enc.get();
        int n = 0;
        OSSL_PARAM tag[2] = {
            OSSL_PARAM_construct_octet_string(OSSL_CIPHER_PARAM_AEAD_TAG, sealed + plainLen, kTagBytes),
            OSSL_PARAM_construct_end()};
        if (EVP_EncryptInit_ex(ctx, nullptr, nullptr, nullptr, h.nonce) != 1 ||
            EVP_EncryptUpdate(ctx, nullptr, &n, cipher, kHeaderBytes) != 1 ||
            !update(ctx, true, sealed, plain, plainLen) || EVP_EncryptFinal_ex(ctx, sealed + plainLen, &n) != 1 ||
            EVP_CIPHER_CTX_get_params(ctx, tag) != 1 || tag[0].return_size != kTagBytes)
            return Fail(QOR_ERR_CRYPTO, "encryption failed");
        *cipherLen = needed;
        kc->encryptions->fetch_add(1, std::memory_order_relaxed);
        return Ok();
    });
    // Outside the cache's use: the counts may go to the trail, which takes
    // the key library's locks.
    try {
        flush_usage_if_due();
    } catch (...) {}
    return rc;
}

HXB_EXPORT unsigned long QorDecryptEx(uint32_t domainId, const unsigned char *cipher, uint32_t cipherLen,
                                      unsigned char *plain, uint32_t *plainLen) {
    return at_edge("QorDecryptEx", [&]() -> Status {
        if (cipher == nullptr || plain == nullptr || plainLen == nullptr)
            return Fail(QOR_ERR_NULL_ARG, "a buffer pointer is null");
        if (cipherLen < kHeaderBytes) return Fail(QOR_ERR_FORMAT, "cipher shorter than its header");
        const CipherHeader h = decode_header(cipher);
        if (h.version != kFormatVersion || h.reserved != 0) return Fail(QOR_ERR_FORMAT, "not a cipher of ours");
        if (h.algorithm != kAlgorithmAes256Gcm) return Fail(QOR_ERR_BAD_ALGORITHM, "unknown algorithm");
        // Whatever follows the declared length (the caller's decode padding) is ignored.
        if (uint64_t{kHeaderBytes} + h.sealedBytes + kTagBytes > cipherLen)
            return Fail(QOR_ERR_FORMAT, "cipher shorter than its declared length");
        if (h.domain != domainId) return Fail(QOR_ERR_WRONG_DOMAIN, "cipher made under another domain");
        if (*plainLen < h.sealedBytes) {
            *plainLen = h.sealedBytes;
            return Fail(QOR_ERR_BUFFER_TOO_SMALL, "plain buffer too small");
        }
        ThreadCache &cache = thread_cache();
        CacheUse use(cache);
        KeyContexts *kc = nullptr;
        const uint32_t code = cache.find(h.domain, h.keyId, &kc);
        if (code != VAQ_OK) return from_vaq(code, false);
        const uint8_t *sealed = cipher + kHeaderBytes;
        EVP_CIPHER_CTX *ctx = kc->dec.get();
        // The nonce and the expected tag go into the context keyed once, in
        // one parameter call: the nonce as the two fields that GCM's record
        // decryption sets (a fixed first four bytes, then the eight of the
        // invocation field, which starts the message anew). A fresh init per
        // message (EVP_DecryptInit_ex2) costs more than the whole decryption
        // of a short secret: it looks the cipher's nonce length up again and
        // sets every parameter through a name search.
        static_assert(kNonceBytes == 12, "a fixed field of 4 bytes and an invocation field of 8");
        uint8_t *nonce = const_cast<uint8_t *>(h.nonce);
        OSSL_PARAM params[4] = {
            OSSL_PARAM_construct_octet_string(OSSL_CIPHER_PARAM_AEAD_TAG, const_cast<uint8_t *>(sealed + h.sealedBytes),
                                              kTagBytes),
            OSSL_PARAM_construct_octet_string(OSSL_CIPHER_PARAM_AEAD_TLS1_IV_FIXED, nonce, 4),
            OSSL_PARAM_construct_octet_string(OSSL_CIPHER_PARAM_AEAD_TLS1_SET_IV_INV, nonce + 4, kNonceBytes - 4),
            OSSL_PARAM_construct_end()};
        // A provider that refuses them is a failure of the context, not of the text.
        if (EVP_CIPHER_CTX_set_params(ctx, params) != 1)
            return Fail(QOR_ERR_CRYPTO, "cipher context refused the nonce");
        uint8_t *scratch = cache.scratch(h.sealedBytes);
        int n = 0;
        const bool ok = EVP_DecryptUpdate(ctx, nullptr, &n, cipher, kHeaderBytes) == 1 &&
                        update(ctx, false, scratch, sealed, h.sealedBytes) &&
                        EVP_DecryptFinal_ex(ctx, scratch + h.sealedBytes, &n) == 1;
        if (ok && h.sealedBytes > 0) std::memcpy(plain, scratch, h.sealedBytes);
        cache.release_scratch(h.sealedBytes);
        if (!ok) return Fail(QOR_ERR_AUTH, "authentication failed: tampered or wrong key");
        *plainLen = h.sealedBytes;
        return Ok();
    });
}
