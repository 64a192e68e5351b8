// SPDX-License-Identifier: Apache-2.0
#include "baselines.h"

#include <fcntl.h>
#include <openssl/rand.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <stdexcept>

namespace bench {

namespace {

constexpr size_t kMaxSealed = 64;

void make_header(uint8_t *cipher, size_t sealed) {
    std::memset(cipher, 0, kHeaderBytes);
    cipher[0] = 1;
    cipher[1] = 5;
    cipher[4] = 50;
    cipher[8] = 1;
    cipher[24] = static_cast<uint8_t>(sealed);
}

}  // namespace

NonceCounter::NonceCounter(const uint8_t prefix[4]) { std::memcpy(prefix_, prefix, sizeof prefix_); }

void NonceCounter::next(uint8_t out[kNonceBytes]) {
    std::memcpy(out, prefix_, sizeof prefix_);
    const uint64_t n = counter_++;
    for (int i = 0; i < 8; ++i) out[4 + i] = static_cast<uint8_t>(n >> (8 * i));
}

namespace {

std::array<uint8_t, 4> openssl_prefix() {
    std::array<uint8_t, 4> p{};
    if (RAND_bytes(p.data(), static_cast<int>(p.size())) != 1) throw std::runtime_error("RAND_bytes");
    return p;
}

std::array<uint8_t, 4> sodium_prefix() {
    std::array<uint8_t, 4> p{};
    if (sodium_init() < 0) throw std::runtime_error("sodium_init");
    randombytes_buf(p.data(), p.size());
    return p;
}

}  // namespace

OpenSslGcm::OpenSslGcm() : enc_(EVP_CIPHER_CTX_new()), dec_(EVP_CIPHER_CTX_new()), nonces_(openssl_prefix().data()) {
    uint8_t key[32];
    if (!enc_ || !dec_ || RAND_bytes(key, sizeof key) != 1 ||
        EVP_EncryptInit_ex(enc_, EVP_aes_256_gcm(), nullptr, key, nullptr) != 1 ||
        EVP_DecryptInit_ex(dec_, EVP_aes_256_gcm(), nullptr, key, nullptr) != 1)
        throw std::runtime_error("OpenSSL GCM context");
}

OpenSslGcm::~OpenSslGcm() {
    EVP_CIPHER_CTX_free(enc_);
    EVP_CIPHER_CTX_free(dec_);
}

size_t OpenSslGcm::seal(const uint8_t *plain, size_t n, char *text) {
    uint8_t cipher[kHeaderBytes + kMaxSealed + kTagBytes];
    if (n > kMaxSealed) return 0;
    make_header(cipher, n);
    uint8_t *nonce = cipher + kNonceOffset;
    uint8_t *sealed = cipher + kHeaderBytes;
    int len = 0;
    nonces_.next(nonce);
    if (EVP_EncryptInit_ex(enc_, nullptr, nullptr, nullptr, nonce) != 1 ||
        EVP_EncryptUpdate(enc_, nullptr, &len, cipher, kHeaderBytes) != 1 ||
        EVP_EncryptUpdate(enc_, sealed, &len, plain, static_cast<int>(n)) != 1 ||
        EVP_EncryptFinal_ex(enc_, sealed + n, &len) != 1 ||
        EVP_CIPHER_CTX_ctrl(enc_, EVP_CTRL_GCM_GET_TAG, kTagBytes, sealed + n) != 1)
        return 0;
    const int chars = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(text), cipher,
                                      static_cast<int>(kHeaderBytes + n + kTagBytes));
    return chars > 0 ? static_cast<size_t>(chars) : 0;
}

bool OpenSslGcm::open(const char *text, size_t chars, uint8_t *plain, size_t *n) {
    uint8_t cipher[(kHeaderBytes + kMaxSealed + kTagBytes + 2) / 3 * 3];
    if (chars > (sizeof cipher / 3) * 4) return false;
    const int decoded = EVP_DecodeBlock(cipher, reinterpret_cast<const unsigned char *>(text), static_cast<int>(chars));
    if (decoded < static_cast<int>(kHeaderBytes + kTagBytes)) return false;
    const size_t sealedBytes = cipher[24];
    if (kHeaderBytes + sealedBytes + kTagBytes > static_cast<size_t>(decoded)) return false;
    uint8_t *sealed = cipher + kHeaderBytes;
    int len = 0;
    const bool ok = EVP_DecryptInit_ex(dec_, nullptr, nullptr, nullptr, cipher + kNonceOffset) == 1 &&
                    EVP_DecryptUpdate(dec_, nullptr, &len, cipher, kHeaderBytes) == 1 &&
                    EVP_DecryptUpdate(dec_, plain, &len, sealed, static_cast<int>(sealedBytes)) == 1 &&
                    EVP_CIPHER_CTX_ctrl(dec_, EVP_CTRL_GCM_SET_TAG, kTagBytes, sealed + sealedBytes) == 1 &&
                    EVP_DecryptFinal_ex(dec_, plain + sealedBytes, &len) == 1;
    *n = sealedBytes;
    return ok;
}

bool SodiumGcm::available() { return sodium_init() >= 0 && crypto_aead_aes256gcm_is_available() == 1; }

SodiumGcm::SodiumGcm() : nonces_(sodium_prefix().data()) {
    uint8_t key[crypto_aead_aes256gcm_KEYBYTES];
    randombytes_buf(key, sizeof key);
    crypto_aead_aes256gcm_beforenm(&state_, key);
}

size_t SodiumGcm::seal(const uint8_t *plain, size_t n, char *text) {
    uint8_t cipher[kHeaderBytes + kMaxSealed + kTagBytes];
    if (n > kMaxSealed) return 0;
    make_header(cipher, n);
    uint8_t *nonce = cipher + kNonceOffset;
    nonces_.next(nonce);
    unsigned long long sealedLen = 0;
    if (crypto_aead_aes256gcm_encrypt_afternm(cipher + kHeaderBytes, &sealedLen, plain, n, cipher, kHeaderBytes,
                                              nullptr, nonce, &state_) != 0)
        return 0;
    const size_t bytes = kHeaderBytes + static_cast<size_t>(sealedLen);
    sodium_bin2base64(text, kTextChars + 1, cipher, bytes, sodium_base64_VARIANT_ORIGINAL);
    return (bytes + 2) / 3 * 4;
}

bool SodiumGcm::open(const char *text, size_t chars, uint8_t *plain, size_t *n) {
    uint8_t cipher[kHeaderBytes + kMaxSealed + kTagBytes];
    size_t decoded = 0;
    if (sodium_base642bin(cipher, sizeof cipher, text, chars, nullptr, &decoded, nullptr,
                          sodium_base64_VARIANT_ORIGINAL) != 0 ||
        decoded < kHeaderBytes + kTagBytes)
        return false;
    unsigned long long plainLen = 0;
    if (crypto_aead_aes256gcm_decrypt_afternm(plain, &plainLen, nullptr, cipher + kHeaderBytes, decoded - kHeaderBytes,
                                              cipher, kHeaderBytes, cipher + kNonceOffset, &state_) != 0)
        return false;
    *n = static_cast<size_t>(plainLen);
    return true;
}

PlainLog::PlainLog(std::string path, size_t lineBytes) : path_(std::move(path)), line_(lineBytes, 'x') {
    if (!line_.empty()) line_.back() = '\n';
}

bool PlainLog::append() const {
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool written = ::write(fd, line_.data(), line_.size()) == static_cast<ssize_t>(line_.size());
    return ::close(fd) == 0 && written;
}

void PlainLog::truncate() const {
    // A log that cannot be emptied only makes the next figure slower.
    if (::truncate(path_.c_str(), 0) != 0) return;
}

}  // namespace bench
