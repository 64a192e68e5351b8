// SPDX-License-Identifier: Apache-2.0
// Encryption and decryption of short secrets into Base64 text under a key
// domain, around the data-protection library's three calls.
#include <climits>
#include <cstdint>

#include "common/log.h"
#include "host/bounded.h"
#include "host/log_mute.h"
#include "host/repeat_limit.h"
#include "keystore/held_keystore.h"
#include "keystore/keystore_files_seen.h"
#include "keystore/reader_lock.h"
#include "service/base64.h"
#include "service/mem_block.h"
#include "service/operation_frame.h"
#include "telmor_vaq_api.h"
#include "vaq/qor_api.h"

namespace {

// Algorithm 5 of the data-protection library; every cipher text is made with it.
constexpr uint32_t kAlgorithm = 5;
// The length reported for a text counts at most this many characters; the
// buffer always holds the whole text.
constexpr uint32_t kReportedTextCap = 2048;

// An allocation of n + 1 bytes, or null when that size does not fit the
// allocator's signed 32-bit size.
void *alloc_with_terminator(uint32_t n) {
    if (n >= INT32_MAX) return nullptr;
    return VAQ_ALLOC(static_cast<int32_t>(n + 1));
}

// Cipher bytes that stay inside one call: on the stack for the few KB that
// callers' secrets make, from the allocator beyond that. Left unfilled: the
// caller writes every byte it reads. Cipher bytes are no secret, so a block
// is given back as any other.
class CipherScratch {
public:
    static constexpr uint32_t kLocalBytes = 4096;
    // n bytes and a terminator's room; null when no block could be had.
    unsigned char *get(uint32_t n) {
        if (n < kLocalBytes) return local_;
        heap_.reset(static_cast<unsigned char *>(alloc_with_terminator(n)));
        return heap_.get();
    }

private:
    unsigned char local_[kLocalBytes];
    tv::MemBlock<unsigned char> heap_;
};

}  // namespace

extern "C" unsigned long TELMOR_VAQ_GetCipherDataLen(uint32_t plainLen, uint32_t *cipherDataLen) {
    uint32_t n = 0;
    const unsigned long ret = QorGetCipherDataLenEx(plainLen, &n);
    if (ret != 0) {
        VAQ_LOG(tv::kError, "QorGetCipherDataLen failed, ret=%lu\n", ret);
        return ret;
    }
    *cipherDataLen = n;
    return 0;
}

extern "C" unsigned long TELMOR_VAQ_Encrypt(uint32_t domainId, const unsigned char *plainText, uint32_t plainLen,
                                            char **cipherText, uint32_t *cipherLen) {
    if (plainText == nullptr) {
        VAQ_LOG(tv::kError, "plainText is NULL.\n");
        return 1;
    }
    if (!tv::keystore_in_step()) return 1;

    unsigned long result = 1;
    CipherScratch scratch;
    unsigned char *cipherText_temp = nullptr;
    uint32_t n = 0;
    const unsigned long lenRet = QorGetCipherDataLenEx(plainLen, &n);
    if (lenRet != 0 || n == 0) {
        VAQ_LOG(tv::kError, "QorGetCipherDataLen failed, ret=%lu.\n", lenRet);
    } else if ((cipherText_temp = scratch.get(n)) == nullptr) {
        VAQ_LOG(tv::kError, "malloc cipherText_temp failed.\n");
    } else if (tv::ReaderLock lock; lock.held()) {
        uint32_t m = n;
        const unsigned long encRet = QorEncryptEx(domainId, kAlgorithm, plainText, plainLen, cipherText_temp, &m);
        if (!lock.release()) {
            // The lock wrapper has logged; the encryption's answer no longer counts.
        } else if (encRet != 0) {
            VAQ_LOG(tv::kError, "QorEncryptEx failed, ret=%lu.\n", encRet);
        } else if (m > n) {
            // Bytes beyond the buffer were never ours to read: refuse rather
            // than encode past its end.
            VAQ_LOG(tv::kError, "QorEncryptEx wrote %u bytes into %u.\n", m, n);
        } else if (char *text = tv::base64_encode(cipherText_temp, m); text == nullptr) {
            VAQ_LOG(tv::kError, "base64_encode failed.\n");
        } else {
            const uint64_t textLen = tv::base64_text_length(m);
            *cipherText = text;
            *cipherLen = textLen > kReportedTextCap ? kReportedTextCap : static_cast<uint32_t>(textLen);
            result = 0;
        }
    }

    VAQ_LOG(tv::kInfo, " TELMOR VAQ encrypt over ret=%lu.\n", result);
    return result;
}

namespace {

// The plain-text buffer that a decryption hands to its caller. Unless the
// call hands it over, it is wiped and given back when the call returns (the
// decryption may have left plain bytes in it), and the reported length, once
// set, is cleared: a failed decryption hands out nothing.
class PlainOut {
public:
    PlainOut(unsigned char **buffer, uint32_t capacity, uint32_t *length)
        : buffer_(buffer), capacity_(capacity), length_(length) {}
    PlainOut(const PlainOut &) = delete;
    PlainOut &operator=(const PlainOut &) = delete;
    ~PlainOut() {
        if (handedOver_) return;
        if (*buffer_ != nullptr) tv::memset_s(*buffer_, capacity_, 0, capacity_);
        VAQ_FREE(*buffer_);
        if (lengthSet_) *length_ = 0;
    }

    unsigned char *data() const { return *buffer_; }
    uint32_t *length() const { return length_; }
    void set_length(uint32_t n) {
        *length_ = n;
        lengthSet_ = true;
    }
    unsigned long hand_over(unsigned long ret) {
        handedOver_ = true;
        return ret;
    }

private:
    unsigned char **buffer_;
    uint32_t capacity_;
    uint32_t *length_;
    bool lengthSet_ = false;
    bool handedOver_ = false;
};

// The decoded cipher bytes, in a CipherScratch.
class DecodedCipher {
public:
    // False, logged as base64_decode logs it, when no block could be had.
    bool decode(const char *text, uint32_t len) {
        size_ = tv::base64_decode_size(text, len);
        data_ = scratch_.get(size_);
        if (data_ == nullptr) {
            VAQ_LOG(tv::kError, "base64_decode malloc ret data failed\n");
            return false;
        }
        tv::base64_decode_into(text, len, data_, size_);
        return true;
    }
    const unsigned char *data() const { return data_; }
    uint32_t size() const { return size_; }

private:
    CipherScratch scratch_;
    unsigned char *data_ = nullptr;
    uint32_t size_ = 0;
};

// Lines of a failure that anyone holding a text can repeat at will.
tv::RepeatLimit g_unknown_key_lines;

// The lines of a decryption whose retry also found the key missing.
void log_failed_retry(unsigned long ret) {
    VAQ_LOG(tv::kError, "QorDecryptEx failed, ret=%lu.\n", ret);
    VAQ_LOG(tv::kInfo, " TELMOR VAQ decrypt over ret=%lu.\n", ret);
}

// One decryption under the reader lock; false when the lock could not be
// taken or released (the lock wrapper has logged).
bool decrypt_locked(uint32_t domainId, const unsigned char *cipher, uint32_t size, PlainOut &out, unsigned long *ret) {
    tv::ReaderLock lock;
    if (!lock.held()) return false;
    *ret = QorDecryptEx(domainId, cipher, size, out.data(), out.length());
    return lock.release();
}

}  // namespace

extern "C" unsigned long TELMOR_VAQ_Decrypt(uint32_t domainId, const char *cipherText, uint32_t cipherLen,
                                            unsigned char **plainText, uint32_t *plainLen) {
    if (cipherText == nullptr) {
        *plainText = nullptr;
        VAQ_LOG(tv::kError, "cipherText is NULL.\n");
        return 1;
    }
    // The library fills at most cipherLen bytes, so the last byte stays the
    // terminator that the zero fill put there.
    *plainText = static_cast<unsigned char *>(alloc_with_terminator(cipherLen));
    if (*plainText == nullptr) {
        VAQ_LOG(tv::kError, "Failed to allocate memory to store the target plain text.\n");
        VAQ_LOG(tv::kInfo, " TELMOR VAQ decrypt over ret=%lu.\n", 1UL);
        return 1;
    }
    // Declared before the plain buffer's owner, so the plain text goes back first.
    DecodedCipher cipher;
    PlainOut out(plainText, cipherLen + 1, plainLen);
    if (!tv::keystore_in_step()) return 1;
    out.set_length(cipherLen);

    if (!cipher.decode(cipherText, cipherLen)) {
        VAQ_LOG(tv::kError, "base64_decode failed.\n");
        return 1;
    }

    unsigned long ret = 1;
    if (!decrypt_locked(domainId, cipher.data(), cipher.size(), out, &ret)) return 1;
    if (ret == 0) return out.hand_over(0);

    if (ret != QOR_ERR_KEY_NOT_LOADED) {
        // The buffer stays with the caller, who releases it.
        VAQ_LOG(tv::kError, "QorDecryptEx failed, ret=%lu.\n", ret);
        VAQ_LOG(tv::kInfo, " TELMOR VAQ decrypt over ret=%lu.\n", 1UL);
        return out.hand_over(1);
    }

    if (!tv::keystore_may_have_changed() || tv::reload_backing_off()) {
        // Nothing this process has not loaded: a reload would load the same
        // keys and the retry fail as this try did, so the answer is the
        // retry's without either. Whoever can hand in texts under keys no one
        // holds must not be able to make every call reload and log. Keys
        // held from before a failed reload wait for its back-off likewise.
        if (uint64_t leftOut = 0; g_unknown_key_lines.admit(&leftOut)) {
            if (leftOut != 0) {
                VAQ_LOG(tv::kError, "QorDecryptEx failed, ret=%lu: %lu more such failures not logged.\n", ret,
                        static_cast<unsigned long>(leftOut));
            }
            VAQ_LOG(tv::kError, "QorDecryptEx failed, ret=%lu,try load and decrypt again.\n", ret);
            log_failed_retry(ret);
        }
        return ret;
    }
    // Another process may have added the key since this one loaded the keystore.
    VAQ_LOG(tv::kError, "QorDecryptEx failed, ret=%lu,try load and decrypt again.\n", ret);
    if (const tv::LogMute mute(tv::serving_held_keys()); reload_keystore_mem() != 0) {
        VAQ_LOG(tv::kError, "keystore file corrupt\n");
        return 1;
    }
    // A failed first try may have changed the in/out length.
    out.set_length(cipherLen);
    if (!decrypt_locked(domainId, cipher.data(), cipher.size(), out, &ret)) return 1;
    if (ret == 0) return out.hand_over(0);

    log_failed_retry(ret);
    return ret;
}
