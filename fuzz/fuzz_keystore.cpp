// SPDX-License-Identifier: Apache-2.0
// The keystore loader: the input is written as the primary copy, beside a
// valid standby or none, and the key library loads the pair. The first byte
// chooses: bit 0, the input's trailer is recomputed first (its key comes from
// the root material, in the image in format 1 or sealed by the keystore's node
// secret in format 2, so the loader's checks past it are reached); bit 1, a
// valid standby is there.
//
// A load that fails leaves the primary exactly as it was (nothing is written
// over a copy that holds data while no valid copy exists); one that succeeds
// serves its keys.
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "keylib_fixture.h"
#include "seeds.h"
#include "vaq/vaq_private.h"

using kltest::Bytes;

namespace {

kltest::KeystoreFiles *g_ks = nullptr;
Bytes g_standby;

uint32_t le32(const Bytes &b, size_t at) {
    return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 | uint32_t{b[at + 3]} << 24;
}

void hmac(const uint8_t *key, size_t keyLen, const uint8_t *data, size_t len, uint8_t out[32]) {
    unsigned int n = 32;
    if (HMAC(EVP_sha256(), key, static_cast<int>(keyLen), data, len, out, &n) == nullptr) std::abort();
}

// HKDF-SHA256 with one block of output.
void hkdf32(const uint8_t *key, size_t keyLen, const char *salt, const char *info, uint8_t out[32]) {
    uint8_t prk[32];
    hmac(reinterpret_cast<const uint8_t *>(salt), std::strlen(salt), key, keyLen, prk);
    Bytes block(info, info + std::strlen(info));
    block.push_back(1);
    hmac(prk, sizeof prk, block.data(), block.size(), out);
}

// The node secret of the fuzzed keystore, read once it exists.
Bytes g_secret;

// The root material of an image: in the file (format 1), or sealed by the
// node secret (format 2, file protector), as docs/keystore-format.md lays out.
bool root_of(const Bytes &image, uint8_t root[32]) {
    if (image.size() < 124) return false;
    // Format 3 is format 1 or 2 (by its protector) with the keystore's history.
    const uint16_t version = static_cast<uint16_t>(image[8] | image[9] << 8);
    if (version == 1 || (version == 3 && image[34] == 0 && image[35] == 0)) {
        std::memcpy(root, image.data() + 56, 32);
        return true;
    }
    if ((version != 2 && version != 3) || image[34] != 1 || le32(image, 44) != 68 || g_secret.size() != 44) return false;
    uint8_t kek[32];
    hkdf32(g_secret.data() + 12, 32, "hxbVaq node secret", "root seal", kek);
    const uint8_t *sealed = image.data() + 56;
    EVP_CIPHER_CTX *c = EVP_CIPHER_CTX_new();
    int len = 0;
    bool ok = c && EVP_DecryptInit_ex(c, EVP_aes_256_gcm(), nullptr, kek, sealed + 8) == 1 &&
              EVP_DecryptUpdate(c, nullptr, &len, sealed, 8) == 1 &&
              EVP_DecryptUpdate(c, root, &len, sealed + 20, 32) == 1 &&
              EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_GCM_SET_TAG, 16, const_cast<uint8_t *>(sealed + 52)) == 1 &&
              EVP_DecryptFinal_ex(c, root + 32, &len) == 1;
    EVP_CIPHER_CTX_free(c);
    return ok;
}

// HMAC-SHA256 over the image under the key derived from its root material
// (HKDF-SHA256, salt "hxbVaq keystore", info "seal v1").
void fix_trailer(Bytes &image) {
    if (image.size() < 120) return;
    const uint32_t total = le32(image, 12);
    if (total < 120 || total > image.size()) return;
    uint8_t root[32], key[32];
    if (!root_of(image, root)) return;
    hkdf32(root, sizeof root, "hxbVaq keystore", "seal v1", key);
    hmac(key, sizeof key, image.data(), total - 32, image.data() + total - 32);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    kltest::host_table();
    g_ks = new kltest::KeystoreFiles;
    if (kltest::load(*g_ks, 3) != 0) std::abort();
    uint32_t id = 0;
    // A history too: a key deleted (and so remembered), domains changed.
    const Bytes material(64, 0x42);
    if (VaqCreateMkEx(150, &id) != 0 || VaqRegisterMkEx(151, 7, material.data(), 64) != 0 ||
        VaqRegisterMkEx(151, 8, material.data(), 64) != 0 || VaqRmvMk(151, 8) != 0)
        std::abort();
    {
        uint32_t kind = 0, mask = 0;
        char secret[512] = {};
        if (VaqPrivProtectorInfo(&kind, &mask, secret, sizeof secret) != 0) std::abort();
        g_secret = kltest::read_bytes(secret);
    }
    kltest::unload();
    g_standby = kltest::read_bytes(g_ks->standby);
    if (fuzzseed::wanted()) {
        const Bytes image = kltest::read_bytes(g_ks->primary);
        auto with_mode = [](uint8_t mode, Bytes b) {
            b.insert(b.begin(), mode);
            return b;
        };
        fuzzseed::write("valid", with_mode(0, image));
        fuzzseed::write("valid-resealed", with_mode(1, image));
        fuzzseed::write("valid-beside-standby", with_mode(2, image));
        Bytes tail = image;
        tail.insert(tail.end(), {0xde, 0xad, 0xbe, 0xef});
        fuzzseed::write("valid-with-tail", with_mode(1, tail));
        fuzzseed::write("cut-short", with_mode(0, Bytes(image.begin(), image.begin() + 100)));
        fuzzseed::write("cut-short-beside-standby", with_mode(2, Bytes(image.begin(), image.begin() + 150)));
        fuzzseed::done();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size > (1 << 20)) return 0;
    const uint8_t mode = data[0];
    Bytes image(data + 1, data + size);
    if (mode & 1) fix_trailer(image);
    kltest::clear_log();
    unlink(g_ks->primary.c_str());
    unlink(g_ks->standby.c_str());
    if (!image.empty()) kltest::write_bytes(g_ks->primary, image);
    if (mode & 2) kltest::write_bytes(g_ks->standby, g_standby);

    HX_VAQ_KEYSTORE_FILES files = g_ks->files();
    if (IvexRegFuncEx(kltest::host_table()) != 0) __builtin_trap();
    const unsigned long rc = IvexInitializeEx(0, &files, 0, nullptr);
    if (rc == 0) {
        const int32_t n = VaqGetMkCount();
        for (int32_t i = 0; i < n; ++i) {
            VaqMkRecord r{};
            if (VaqGetMk(static_cast<uint32_t>(i), &r) != 0) __builtin_trap();
            uint8_t key[256];
            uint32_t len = sizeof key;
            if (VaqGetMkDetail(r.domainId, r.keyId, &r, key, &len) != 0) __builtin_trap();
        }
        VaqRootKeyRecord root{};
        if (VaqGetRootKeyInfo(&root) != 0) __builtin_trap();
        kltest::unload();
    } else if (!(mode & 2) && !image.empty() && kltest::read_bytes(g_ks->primary) != image) {
        __builtin_trap();
    }
    return 0;
}
