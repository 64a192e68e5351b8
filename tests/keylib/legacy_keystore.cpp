// SPDX-License-Identifier: Apache-2.0
#include "legacy_keystore.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace kltest {

namespace {

void put(Bytes &out, uint64_t v, int n) {
    for (int i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

std::array<uint8_t, 32> hkdf(const uint8_t *key, size_t keyBytes, const char *info,
                             const char *salt = "hxbVaq keystore") {
    std::array<uint8_t, 32> out{};
    EVP_PKEY_CTX *c = EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr);
    size_t len = out.size();
    bool ok = c && EVP_PKEY_derive_init(c) == 1 && EVP_PKEY_CTX_set_hkdf_md(c, EVP_sha256()) == 1 &&
              EVP_PKEY_CTX_set1_hkdf_salt(c, reinterpret_cast<const uint8_t *>(salt),
                                          static_cast<int>(std::strlen(salt))) == 1 &&
              EVP_PKEY_CTX_set1_hkdf_key(c, key, static_cast<int>(keyBytes)) == 1 &&
              EVP_PKEY_CTX_add1_hkdf_info(c, reinterpret_cast<const uint8_t *>(info),
                                          static_cast<int>(std::strlen(info))) == 1 &&
              EVP_PKEY_derive(c, out.data(), &len) == 1;
    EVP_PKEY_CTX_free(c);
    if (!ok) throw std::runtime_error("hkdf");
    return out;
}

std::array<uint8_t, 32> hkdf(const Root &root, const char *info) { return hkdf(root.data(), root.size(), info); }

uint64_t get(const Bytes &b, size_t at, int n) {
    uint64_t v = 0;
    for (int i = 0; i < n && at + i < b.size(); ++i) v |= uint64_t{b[at + i]} << (8 * i);
    return v;
}

// AES-256-GCM open of ciphertext+tag; false when it does not authenticate.
bool gcm_open(const uint8_t *key, const uint8_t *nonce, const Bytes &aad, const uint8_t *sealed, size_t plainBytes,
              uint8_t *out) {
    EVP_CIPHER_CTX *c = EVP_CIPHER_CTX_new();
    int len = 0;
    bool ok = EVP_DecryptInit_ex(c, EVP_aes_256_gcm(), nullptr, key, nonce) == 1 &&
              EVP_DecryptUpdate(c, nullptr, &len, aad.data(), static_cast<int>(aad.size())) == 1 &&
              EVP_DecryptUpdate(c, out, &len, sealed, static_cast<int>(plainBytes)) == 1 &&
              EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_GCM_SET_TAG, 16, const_cast<uint8_t *>(sealed + plainBytes)) == 1 &&
              EVP_DecryptFinal_ex(c, out + len, &len) == 1;
    EVP_CIPHER_CTX_free(c);
    return ok;
}

// Header, root block and the root as it is in the file: the material
// (format 1) or the sealed bytes with the protector's number (format 2).
void put_header(Bytes &out, uint64_t generation, size_t keys, uint16_t protector, const Bytes &rootBytes) {
    static constexpr uint8_t kMagic[8] = {'H', 'X', 'B', 'V', 'A', 'Q', 'K', 'S'};
    out.assign(kMagic, kMagic + sizeof kMagic);
    put(out, protector == 0 ? 1 : 2, 2);
    put(out, 32, 2);
    put(out, 0, 4);  // total, patched by seal_trailer
    put(out, generation, 8);
    put(out, keys, 4);
    put(out, 0, 4);
    put(out, 1, 2);  // root-key version
    put(out, protector, 2);
    put(out, 3650, 4);
    put(out, 256, 4);
    put(out, protector == 0 ? 0 : rootBytes.size(), 4);
    put(out, 1700000000, 8);
    out.insert(out.end(), rootBytes.begin(), rootBytes.end());
}

void seal(const std::array<uint8_t, 32> &kek, const LegacyKey &k, Bytes &out) {
    uint8_t nonce[12];
    RAND_bytes(nonce, sizeof nonce);
    out.insert(out.end(), nonce, nonce + sizeof nonce);
    Bytes aad;
    put(aad, k.domain, 4);
    put(aad, k.id, 4);
    put(aad, k.material.size(), 2);
    EVP_CIPHER_CTX *c = EVP_CIPHER_CTX_new();
    size_t at = out.size();
    out.resize(at + k.material.size() + 16);
    int len = 0;
    bool ok =
        EVP_EncryptInit_ex(c, EVP_aes_256_gcm(), nullptr, kek.data(), nonce) == 1 &&
        EVP_EncryptUpdate(c, nullptr, &len, aad.data(), static_cast<int>(aad.size())) == 1 &&
        EVP_EncryptUpdate(c, out.data() + at, &len, k.material.data(), static_cast<int>(k.material.size())) == 1 &&
        EVP_EncryptFinal_ex(c, out.data() + at + k.material.size(), &len) == 1 &&
        EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_GCM_GET_TAG, 16, out.data() + at + k.material.size()) == 1;
    EVP_CIPHER_CTX_free(c);
    if (!ok) throw std::runtime_error("gcm");
}

}  // namespace

Bytes with_trailer(Bytes out, const Root &root) {
    const uint32_t total = static_cast<uint32_t>(out.size() + 32);
    for (int i = 0; i < 4; ++i) out[12 + i] = static_cast<uint8_t>(total >> (8 * i));
    const auto mac = hkdf(root, "seal v1");
    uint8_t tag[32];
    unsigned int n = 32;
    HMAC(EVP_sha256(), mac.data(), 32, out.data(), out.size(), tag, &n);
    out.insert(out.end(), tag, tag + 32);
    return out;
}

Root random_root() {
    Root r{};
    RAND_bytes(r.data(), static_cast<int>(r.size()));
    return r;
}

namespace {

void put_keys_and_trailer(Bytes &out, const Root &root, const std::vector<LegacyKey> &keys) {
    const auto kek = hkdf(root, "wrap v1");
    for (const auto &k : keys) {
        put(out, k.domain, 4);
        put(out, k.id, 4);
        put(out, k.material.size(), 2);
        put(out, k.active ? 1 : 0, 1);
        put(out, 0, 1);
        put(out, 1700000000, 8);
        put(out, 3650, 4);
        put(out, 0, 4);
        seal(kek, k, out);
    }
    out = with_trailer(std::move(out), root);
}

// Offset of the first master-key record, and the number of records.
size_t records_at(const Bytes &image) { return 56 + (get(image, 8, 2) == 1 ? 32 : get(image, 44, 4)); }

}  // namespace

Bytes legacy_image(uint64_t generation, const Root &root, const std::vector<LegacyKey> &keys) {
    Bytes out;
    put_header(out, generation, keys.size(), 0, Bytes(root.begin(), root.end()));
    put_keys_and_trailer(out, root, keys);
    return out;
}

Bytes with_sealed_root(const Bytes &image, const Bytes &sealed, const Root &root) {
    const size_t total = get(image, 12, 4);
    const size_t old = get(image, 44, 4);
    Bytes out(image.begin(), image.begin() + 56);
    for (int i = 0; i < 4; ++i) out[44 + i] = static_cast<uint8_t>(sealed.size() >> (8 * i));
    out.insert(out.end(), sealed.begin(), sealed.end());
    out.insert(out.end(), image.begin() + 56 + static_cast<long>(old), image.begin() + static_cast<long>(total) - 32);
    return with_trailer(std::move(out), root);
}

Bytes forged_protected_image(uint64_t generation, const Bytes &sealedFrom, const Root &root,
                             const std::vector<LegacyKey> &keys) {
    const size_t sealedBytes = get(sealedFrom, 44, 4);
    const size_t version = get(sealedFrom, 8, 2);
    if ((version != 2 && version != 3) || get(sealedFrom, 34, 2) == 0 || sealedFrom.size() < 56 + sealedBytes) throw std::runtime_error("not sealed");
    Bytes out;
    put_header(out, generation, keys.size(), static_cast<uint16_t>(get(sealedFrom, 34, 2)),
               Bytes(sealedFrom.begin() + 56, sealedFrom.begin() + 56 + static_cast<long>(sealedBytes)));
    put_keys_and_trailer(out, root, keys);
    return out;
}

bool trailer_opens(const Bytes &image, const Root &root) {
    const size_t total = get(image, 12, 4);
    if (total < 32 || total > image.size()) return false;
    const auto mac = hkdf(root, "seal v1");
    uint8_t tag[32];
    unsigned int n = 32;
    HMAC(EVP_sha256(), mac.data(), 32, image.data(), total - 32, tag, &n);
    return CRYPTO_memcmp(tag, image.data() + total - 32, 32) == 0;
}

size_t keys_opened(const Bytes &image, const Root &root) {
    const auto kek = hkdf(root, "wrap v1");
    size_t at = records_at(image), opened = 0;
    for (uint64_t i = 0, count = get(image, 24, 4); i < count; ++i) {
        const size_t len = get(image, at + 8, 2);
        if (at + 40 + len + 16 > image.size()) break;
        Bytes aad(image.begin() + static_cast<long>(at), image.begin() + static_cast<long>(at) + 10);
        Bytes plain(len + 16);
        if (gcm_open(kek.data(), image.data() + at + 28, aad, image.data() + at + 40, len, plain.data())) ++opened;
        at += 40 + len + 16;
    }
    return opened;
}

std::optional<Root> unseal_with_secret(const Bytes &image, const Bytes &secretFile) {
    if (get(image, 34, 2) != 1 || get(image, 44, 4) != 68 || image.size() < 124 || secretFile.size() != 44)
        return std::nullopt;
    const char *salt = "hxbVaq node secret";
    const auto kek = hkdf(secretFile.data() + 12, 32, "root seal", salt);
    const Bytes id(image.begin() + 56, image.begin() + 64);
    Root root{};
    Bytes plain(32 + 16);
    if (!gcm_open(kek.data(), image.data() + 64, id, image.data() + 76, 32, plain.data())) return std::nullopt;
    std::memcpy(root.data(), plain.data(), 32);
    return root;
}

std::string protection_mark(const std::string &secretPath, const char *suffix) {
    return secretPath.substr(0, secretPath.rfind(".secret")) + suffix;
}

void forget_protection(const std::string &secretPath) {
    for (const std::string &f :
         {secretPath, protection_mark(secretPath, ".protected"), protection_mark(secretPath, ".moving")})
        std::remove(f.c_str());
}

std::vector<LegacyKey> legacy_keys() {
    std::vector<LegacyKey> keys;
    for (const auto &d : node_layout::kDomains) {
        LegacyKey k{d.id, 0, true, Bytes(32)};
        while (k.id == 0) RAND_bytes(reinterpret_cast<uint8_t *>(&k.id), sizeof k.id);
        RAND_bytes(k.material.data(), 32);
        keys.push_back(k);
    }
    return keys;
}

}  // namespace kltest
