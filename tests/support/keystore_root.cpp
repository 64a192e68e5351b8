// SPDX-License-Identifier: Apache-2.0
#include "keystore_root.h"

#include <sys/stat.h>

#include <openssl/evp.h>
#include <openssl/kdf.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace tvtest {

namespace {

using Bytes = std::vector<uint8_t>;

Bytes slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool hkdf(const uint8_t *key, size_t keyLen, const char *salt, const char *info, uint8_t out[32]) {
    EVP_PKEY_CTX *c = EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr);
    size_t len = 32;
    bool ok = c && EVP_PKEY_derive_init(c) == 1 && EVP_PKEY_CTX_set_hkdf_md(c, EVP_sha256()) == 1 &&
              EVP_PKEY_CTX_set1_hkdf_salt(c, reinterpret_cast<const uint8_t *>(salt),
                                          static_cast<int>(std::strlen(salt))) == 1 &&
              EVP_PKEY_CTX_set1_hkdf_key(c, key, static_cast<int>(keyLen)) == 1 &&
              EVP_PKEY_CTX_add1_hkdf_info(c, reinterpret_cast<const uint8_t *>(info),
                                          static_cast<int>(std::strlen(info))) == 1 &&
              EVP_PKEY_derive(c, out, &len) == 1;
    EVP_PKEY_CTX_free(c);
    return ok;
}

}  // namespace

namespace {

// The stem is the role's name, or "ks-" and the 64-bit FNV-1a hash of the
// primary path for any other keystore.
std::string stem_of(const std::string &primaryPath) {
    const struct {
        const char *prefix, *stem;
    } roles[] = {{"/opt/telmor/agent/", "agent"}, {"/opt/telmor/tools/", "tools"}, {"/opt/telmor/client/", "client"}};
    for (const auto &r : roles)
        if (primaryPath.rfind(r.prefix, 0) == 0) return r.stem;
    uint64_t h = 0xcbf29ce484222325ull;
    for (unsigned char c : primaryPath) h = (h ^ c) * 0x100000001b3ull;
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(h));
    return std::string("ks-") + hex;
}

// <secret directory>/<stem><suffix>: the keystore's own directory in
// /etc/telmor/vaq, or /etc/telmor/vaq itself for a keystore whose files are
// still in the flat layout there.
std::string node_file_path(const std::string &primaryPath, const char *suffix) {
    const std::string stem = stem_of(primaryPath);
    const std::string own = "/etc/telmor/vaq/" + stem;
    struct stat st {};
    if (lstat(own.c_str(), &st) != 0)
        for (const char *s : {".secret", ".protected", ".tpm2-auth", ".moving"})
            if (lstat(("/etc/telmor/vaq/" + stem + s).c_str(), &st) == 0) return "/etc/telmor/vaq/" + stem + suffix;
    return own + "/" + stem + suffix;
}

}  // namespace

std::string node_secret_path(const std::string &primaryPath) { return node_file_path(primaryPath, ".secret"); }

std::string tpm2_auth_path(const std::string &primaryPath) { return node_file_path(primaryPath, ".tpm2-auth"); }

std::vector<uint8_t> keystore_root_material(const std::string &copyPath, const std::string &primaryPath) {
    const Bytes image = slurp(copyPath);
    if (image.size() < 124) return {};
    // Format 3 is format 1 or 2 (by its protector) with the keystore's history.
    const unsigned version = image[8] | image[9] << 8;
    const unsigned protector = image[34] | image[35] << 8;
    if (version == 1 || (version == 3 && protector == 0)) return Bytes(image.begin() + 56, image.begin() + 88);
    const uint32_t sealedLen = image[44] | image[45] << 8 | image[46] << 16 | uint32_t{image[47]} << 24;
    if ((version != 2 && version != 3) || protector != 1 || sealedLen != 68) return {};
    const Bytes secret = slurp(node_secret_path(primaryPath.empty() ? copyPath : primaryPath));
    if (secret.size() != 44) return {};
    uint8_t kek[32];
    if (!hkdf(secret.data() + 12, 32, "hxbVaq node secret", "root seal", kek)) return {};
    const uint8_t *sealed = image.data() + 56;
    Bytes root(32);
    uint8_t tail[16];
    int len = 0;
    EVP_CIPHER_CTX *c = EVP_CIPHER_CTX_new();
    bool ok = c && EVP_DecryptInit_ex(c, EVP_aes_256_gcm(), nullptr, kek, sealed + 8) == 1 &&
              EVP_DecryptUpdate(c, nullptr, &len, sealed, 8) == 1 &&
              EVP_DecryptUpdate(c, root.data(), &len, sealed + 20, 32) == 1 &&
              EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_GCM_SET_TAG, 16, const_cast<uint8_t *>(sealed + 52)) == 1 &&
              EVP_DecryptFinal_ex(c, tail, &len) == 1;
    EVP_CIPHER_CTX_free(c);
    if (!ok) return {};
    return root;
}

}  // namespace tvtest
