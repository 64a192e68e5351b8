// SPDX-License-Identifier: Apache-2.0
#include "legacy_keystore.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>

#include <cstring>
#include <stdexcept>

namespace kltest {

namespace {

void put(Bytes &out, uint64_t v, int n) {
    for (int i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

std::array<uint8_t, 32> hkdf(const Root &root, const char *info) {
    std::array<uint8_t, 32> out{};
    EVP_PKEY_CTX *c = EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr);
    size_t len = out.size();
    static const char salt[] = "hxbVaq keystore";
    bool ok = c && EVP_PKEY_derive_init(c) == 1 && EVP_PKEY_CTX_set_hkdf_md(c, EVP_sha256()) == 1 &&
              EVP_PKEY_CTX_set1_hkdf_salt(c, reinterpret_cast<const uint8_t *>(salt), sizeof salt - 1) == 1 &&
              EVP_PKEY_CTX_set1_hkdf_key(c, root.data(), root.size()) == 1 &&
              EVP_PKEY_CTX_add1_hkdf_info(c, reinterpret_cast<const uint8_t *>(info),
                                          static_cast<int>(std::strlen(info))) == 1 &&
              EVP_PKEY_derive(c, out.data(), &len) == 1;
    EVP_PKEY_CTX_free(c);
    if (!ok) throw std::runtime_error("hkdf");
    return out;
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

Root random_root() {
    Root r{};
    RAND_bytes(r.data(), static_cast<int>(r.size()));
    return r;
}

Bytes legacy_image(uint64_t generation, const Root &root, const std::vector<LegacyKey> &keys) {
    static constexpr uint8_t kMagic[8] = {'H', 'X', 'B', 'V', 'A', 'Q', 'K', 'S'};
    Bytes out(kMagic, kMagic + sizeof kMagic);
    put(out, 1, 2);
    put(out, 32, 2);
    put(out, 0, 4);  // total, below
    put(out, generation, 8);
    put(out, keys.size(), 4);
    put(out, 0, 4);
    put(out, 1, 2);  // root-key version
    put(out, 0, 2);
    put(out, 3650, 4);
    put(out, 256, 4);
    put(out, 0, 4);
    put(out, 1700000000, 8);
    out.insert(out.end(), root.begin(), root.end());
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
    return with_trailer(std::move(out), root);
}

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

Bytes with_sealed_root(const Bytes &image, const Bytes &sealed, const Root &root) {
    const size_t total = image.at(12) | image.at(13) << 8 | image.at(14) << 16 | size_t{image.at(15)} << 24;
    const size_t old = image.at(44) | image.at(45) << 8 | image.at(46) << 16 | size_t{image.at(47)} << 24;
    Bytes out(image.begin(), image.begin() + 56);
    for (int i = 0; i < 4; ++i) out[44 + i] = static_cast<uint8_t>(sealed.size() >> (8 * i));
    out.insert(out.end(), sealed.begin(), sealed.end());
    out.insert(out.end(), image.begin() + 56 + static_cast<long>(old), image.begin() + static_cast<long>(total) - 32);
    return with_trailer(std::move(out), root);
}

std::vector<LegacyKey> legacy_keys() {
    std::vector<LegacyKey> keys;
    for (const auto &d : kDomains) {
        LegacyKey k{d.id, 0, true, Bytes(32)};
        while (k.id == 0) RAND_bytes(reinterpret_cast<uint8_t *>(&k.id), sizeof k.id);
        RAND_bytes(k.material.data(), 32);
        keys.push_back(k);
    }
    return keys;
}

}  // namespace kltest
