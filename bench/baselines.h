/* SPDX-License-Identifier: Apache-2.0 */
// What a caller could write instead of using the library, for the same work:
// 32 secret bytes sealed with AES-256-GCM in the library's cipher layout (a
// 28-byte header as associated data, holding the random nonce; the sealed
// bytes; the tag) and framed as Base64 text. Each object holds its contexts,
// set up once, and is used by one thread.
#ifndef TELMOR_BENCH_BASELINES_H
#define TELMOR_BENCH_BASELINES_H

#include <openssl/evp.h>
#include <sodium.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace bench {

inline constexpr size_t kHeaderBytes = 28;
inline constexpr size_t kNonceOffset = 12;
inline constexpr size_t kNonceBytes = 12;
inline constexpr size_t kTagBytes = 16;
// Cipher bytes and text characters of a 32-byte secret, as the library makes them.
inline constexpr size_t kCipherBytes = kHeaderBytes + 32 + kTagBytes;
inline constexpr size_t kTextChars = (kCipherBytes + 2) / 3 * 4;

// Nonces as a careful caller would make them without a system call each: a
// random 32-bit prefix drawn once, then a 64-bit counter (the deterministic
// construction for GCM nonces). The library draws its nonces from a keystream
// it refills in batches, also without a system call per nonce, so neither
// side pays one the other does not.
class NonceCounter {
public:
    explicit NonceCounter(const uint8_t prefix[4]);
    void next(uint8_t out[kNonceBytes]);

private:
    uint8_t prefix_[4];
    uint64_t counter_ = 0;
};

// OpenSSL EVP with one encryption and one decryption context, keyed once;
// Base64 through EVP_EncodeBlock and EVP_DecodeBlock.
class OpenSslGcm {
public:
    OpenSslGcm();
    ~OpenSslGcm();
    OpenSslGcm(const OpenSslGcm &) = delete;
    OpenSslGcm &operator=(const OpenSslGcm &) = delete;

    // Next nonce, seal, encode. `text` has room for kTextChars + 1.
    // Returns the characters written, 0 on failure.
    size_t seal(const uint8_t *plain, size_t n, char *text);
    // Decode, open. `plain` has room for the sealed bytes. False on failure.
    bool open(const char *text, size_t chars, uint8_t *plain, size_t *n);

private:
    EVP_CIPHER_CTX *enc_;
    EVP_CIPHER_CTX *dec_;
    NonceCounter nonces_;
};

// libsodium's AES-256-GCM with its precomputed key state, Base64 through
// sodium_bin2base64 and sodium_base642bin.
class SodiumGcm {
public:
    // False when the CPU lacks what libsodium's AES-256-GCM needs.
    static bool available();
    SodiumGcm();
    size_t seal(const uint8_t *plain, size_t n, char *text);
    bool open(const char *text, size_t chars, uint8_t *plain, size_t *n);

private:
    alignas(16) crypto_aead_aes256gcm_state state_;
    NonceCounter nonces_;
};

// One log line appended the plain way: open, write, close.
class PlainLog {
public:
    PlainLog(std::string path, size_t lineBytes);
    bool append() const;
    void truncate() const;

private:
    std::string path_;
    std::string line_;
};

}  // namespace bench

#endif
