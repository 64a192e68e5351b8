// SPDX-License-Identifier: Apache-2.0
#include "export_writer.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdio>
#include <ctime>
#include <memory>

namespace bench {

namespace {

// The layout of docs/keystore-format.md, "Export files".
constexpr uint32_t kIterations = 600000;
constexpr size_t kHeaderBytes = 64;
constexpr size_t kSaltBytes = 16;
constexpr size_t kNonceBytes = 12;
constexpr size_t kTagBytes = 16;
constexpr size_t kMaterialBytes = 32;
constexpr uint32_t kLifeDays = 3650;

void put(std::vector<uint8_t> &out, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

}  // namespace

std::vector<KeySpec> spread_keys(const std::vector<uint32_t> &domains, uint32_t count) {
    std::vector<KeySpec> keys;
    keys.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        keys.push_back({domains[i % domains.size()], static_cast<uint32_t>(i / domains.size() + 1)});
    }
    return keys;
}

bool write_export_file(const std::string &path, const std::string &password, const std::vector<KeySpec> &keys) {
    std::vector<uint8_t> payload;
    const auto now = static_cast<uint64_t>(std::time(nullptr));
    for (const KeySpec &k : keys) {
        put(payload, k.domain, 4);
        put(payload, k.id, 4);
        put(payload, kMaterialBytes, 2);
        put(payload, 1, 1);  // registered
        put(payload, 0, 1);  // not active
        put(payload, now, 8);
        put(payload, kLifeDays, 4);
        const size_t at = payload.size();
        payload.resize(at + kMaterialBytes);
        if (RAND_bytes(payload.data() + at, kMaterialBytes) != 1) return false;
    }

    uint8_t salt[kSaltBytes];
    uint8_t nonce[kNonceBytes];
    if (RAND_bytes(salt, sizeof salt) != 1 || RAND_bytes(nonce, sizeof nonce) != 1) return false;
    std::vector<uint8_t> file{'H', 'X', 'B', 'V', 'A', 'Q', 'E', 'X'};
    put(file, 1, 2);  // format version
    put(file, 1, 2);  // PBKDF2-HMAC-SHA256
    put(file, kIterations, 4);
    file.insert(file.end(), salt, salt + sizeof salt);
    file.insert(file.end(), nonce, nonce + sizeof nonce);
    put(file, keys.size(), 4);
    put(file, payload.size(), 4);
    file.resize(kHeaderBytes, 0);

    uint8_t key[32];
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt, sizeof salt, kIterations,
                          EVP_sha256(), sizeof key, key) != 1)
        return false;
    CipherCtx ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    file.resize(kHeaderBytes + payload.size() + kTagBytes);
    int n = 0;
    const bool sealed = ctx && EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key, nonce) == 1 &&
                        EVP_EncryptUpdate(ctx.get(), nullptr, &n, file.data(), kHeaderBytes) == 1 &&
                        EVP_EncryptUpdate(ctx.get(), file.data() + kHeaderBytes, &n, payload.data(),
                                          static_cast<int>(payload.size())) == 1 &&
                        EVP_EncryptFinal_ex(ctx.get(), file.data() + kHeaderBytes + payload.size(), &n) == 1 &&
                        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kTagBytes,
                                            file.data() + kHeaderBytes + payload.size()) == 1;
    if (!sealed) return false;

    std::FILE *out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) return false;
    const bool written = std::fwrite(file.data(), 1, file.size(), out) == file.size();
    return std::fclose(out) == 0 && written;
}

}  // namespace bench
