// SPDX-License-Identifier: Apache-2.0
#include "crafted_export.h"

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <stdexcept>

namespace tvtest {

namespace {

constexpr size_t kHeaderBytes = 64;
constexpr uint32_t kIterations = 600000;

void put(std::vector<uint8_t> &out, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

std::vector<uint8_t> crafted_export(const std::string &password, int64_t made, const std::vector<CraftedKey> &keys) {
    std::vector<uint8_t> payload;
    for (const CraftedKey &k : keys) {
        put(payload, k.domain, 4);
        put(payload, k.id, 4);
        put(payload, k.material.size(), 2);
        payload.push_back(k.origin);
        payload.push_back(k.active ? 1 : 0);
        put(payload, static_cast<uint64_t>(k.created), 8);
        put(payload, k.lifeDays, 4);
        payload.insert(payload.end(), k.material.begin(), k.material.end());
    }
    uint8_t salt[16], nonce[12];
    if (RAND_bytes(salt, sizeof salt) != 1 || RAND_bytes(nonce, sizeof nonce) != 1)
        throw std::runtime_error("no random bytes");
    std::vector<uint8_t> file = {'H', 'X', 'B', 'V', 'A', 'Q', 'E', 'X'};
    put(file, 1, 2);  // format version: a password export
    put(file, 1, 2);  // PBKDF2-HMAC-SHA256
    put(file, kIterations, 4);
    file.insert(file.end(), salt, salt + sizeof salt);
    file.insert(file.end(), nonce, nonce + sizeof nonce);
    put(file, keys.size(), 4);
    put(file, payload.size(), 4);
    put(file, static_cast<uint64_t>(made), 8);
    file.resize(kHeaderBytes, 0);

    uint8_t key[32];
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt, sizeof salt, kIterations,
                          EVP_sha256(), sizeof key, key) != 1)
        throw std::runtime_error("PBKDF2 failed");
    file.resize(kHeaderBytes + payload.size() + 16);
    EVP_CIPHER_CTX *c = EVP_CIPHER_CTX_new();
    int n = 0;
    const bool ok = c != nullptr && EVP_EncryptInit_ex(c, EVP_aes_256_gcm(), nullptr, key, nonce) == 1 &&
                    EVP_EncryptUpdate(c, nullptr, &n, file.data(), kHeaderBytes) == 1 &&
                    (payload.empty() || EVP_EncryptUpdate(c, file.data() + kHeaderBytes, &n, payload.data(),
                                                          static_cast<int>(payload.size())) == 1) &&
                    EVP_EncryptFinal_ex(c, file.data() + kHeaderBytes + payload.size(), &n) == 1 &&
                    EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_GCM_GET_TAG, 16, file.data() + kHeaderBytes + payload.size()) == 1;
    EVP_CIPHER_CTX_free(c);
    if (!ok) throw std::runtime_error("sealing failed");
    return file;
}

std::vector<uint8_t> sound_key_material(uint32_t seed) {
    std::vector<uint8_t> m(32);
    uint8_t in[4];
    for (int i = 0; i < 4; ++i) in[i] = static_cast<uint8_t>(seed >> (8 * i));
    SHA256(in, sizeof in, m.data());
    return m;
}

}  // namespace tvtest
