// SPDX-License-Identifier: Apache-2.0
// The key library's HMAC-SHA256 and HKDF-SHA256 (OpenSSL's EVP_MAC and
// EVP_KDF, fetched once) must agree with OpenSSL's older one-shot HMAC and
// HKDF for every key and input length, including an empty key, keys longer
// than a block and inputs of several blocks.
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/kdf.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "crypto.h"

namespace {

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 31);
    return v;
}

std::vector<uint8_t> openssl_hkdf(const std::vector<uint8_t> &secret, const std::string &salt,
                                  const std::vector<uint8_t> &info, size_t outLen) {
    std::vector<uint8_t> out(outLen);
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr);
    const bool ok = ctx && EVP_PKEY_derive_init(ctx) == 1 && EVP_PKEY_CTX_set_hkdf_md(ctx, EVP_sha256()) == 1 &&
                    EVP_PKEY_CTX_set1_hkdf_salt(ctx, reinterpret_cast<const unsigned char *>(salt.data()),
                                                static_cast<int>(salt.size())) == 1 &&
                    EVP_PKEY_CTX_set1_hkdf_key(ctx, secret.data(), static_cast<int>(secret.size())) == 1 &&
                    EVP_PKEY_CTX_add1_hkdf_info(ctx, info.data(), static_cast<int>(info.size())) == 1 &&
                    EVP_PKEY_derive(ctx, out.data(), &outLen) == 1;
    EVP_PKEY_CTX_free(ctx);
    if (!ok) out.clear();
    return out;
}

TEST(KeyDerivation, HmacAgreesWithOpenSslForEveryKeyAndInputLength) {
    for (size_t keyLen : {0, 1, 32, 63, 64, 65, 200}) {
        for (size_t dataLen : {0, 1, 55, 56, 63, 64, 65, 1000, 100000}) {
            const auto key = pattern(keyLen, 7);
            const auto data = pattern(dataLen, 3);
            uint8_t ours[32];
            uint8_t theirs[32];
            unsigned int n = 0;
            ASSERT_TRUE(vaq::hmac_sha256(key, data, ours));
            // OpenSSL refuses a null key pointer, even for an empty key.
            const unsigned char empty = 0;
            const unsigned char *keyBytes = key.empty() ? &empty : key.data();
            ASSERT_NE(HMAC(EVP_sha256(), keyBytes, static_cast<int>(key.size()), data.data(), data.size(), theirs, &n),
                      nullptr);
            EXPECT_EQ(std::vector<uint8_t>(ours, ours + 32), std::vector<uint8_t>(theirs, theirs + 32))
                << "key " << keyLen << " bytes, data " << dataLen << " bytes";
        }
    }
}

TEST(KeyDerivation, HkdfAgreesWithOpenSsl) {
    struct Case {
        size_t secretLen;
        std::string salt;
        size_t infoLen;
        size_t outLen;
    };
    const Case cases[] = {
        {32, "hxbQor working key", 8, 32},   // a working key
        {16, "hxbQor working key", 8, 32},   // shortest master key
        {256, "hxbQor working key", 8, 32},  // longest master key
        {32, "hxbVaq keystore", 7, 32},      // keystore subkeys
        {32, "", 0, 80},                     // several expand blocks
    };
    for (const Case &c : cases) {
        const auto secret = pattern(c.secretLen, 11);
        const auto info = pattern(c.infoLen, 5);
        std::vector<uint8_t> ours(c.outLen);
        ASSERT_TRUE(vaq::hkdf_sha256(secret, c.salt, info, ours.data(), ours.size()));
        EXPECT_EQ(ours, openssl_hkdf(secret, c.salt, info, c.outLen))
            << "secret " << c.secretLen << " bytes, salt \"" << c.salt << "\", out " << c.outLen;
    }
}

}  // namespace
