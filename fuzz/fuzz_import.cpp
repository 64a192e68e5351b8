// SPDX-License-Identifier: Apache-2.0
// The export-file importer and join. The first byte's bit 0 chooses: 0, the
// input is the file; 1, the input is an export header (64 bytes) and the
// plain payload, which this program seals as an export would, so that the
// payload's records (and the checks of what arrives) are reached.
//
// PKCS5_PBKDF2_HMAC is this program's own: one HMAC instead of hundreds of
// thousands, so that every input costs microseconds. The seeds are exports
// made under it. The importer's code is the product's; only the work factor's
// cost is taken out.
//
// An import that fails leaves both keystore copies as they were.
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "keylib_fixture.h"
#include "seeds.h"
#include "vaq/vaq_private.h"

using kltest::Bytes;

// Exported, so that a key library linked as a shared library binds to it too.
extern "C" __attribute__((visibility("default"))) int PKCS5_PBKDF2_HMAC(const char *pass, int passlen,
                                                                        const unsigned char *salt, int saltlen,
                                                                        int iter, const EVP_MD *, int keylen,
                                                                        unsigned char *out) {
    if (keylen != 32 || passlen < 0 || saltlen < 0) return 0;
    Bytes input(salt, salt + saltlen);
    for (int i = 0; i < 4; ++i) input.push_back(static_cast<uint8_t>(iter >> (8 * i)));
    unsigned int n = 32;
    return HMAC(EVP_sha256(), pass, passlen, input.data(), input.size(), out, &n) != nullptr ? 1 : 0;
}

namespace {

const unsigned char kPassword[] = "fuzz password";
constexpr uint32_t kPasswordLen = sizeof kPassword - 1;
constexpr size_t kHeaderBytes = 64;

kltest::KeystoreFiles *g_ks = nullptr;
Bytes g_primary, g_standby;
std::string g_file;

uint32_t le32(const uint8_t *b) {
    return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
}

void key_of(const uint8_t *header, uint8_t key[32]) {
    PKCS5_PBKDF2_HMAC(reinterpret_cast<const char *>(kPassword), kPasswordLen, header + 16, 16,
                      static_cast<int>(le32(header + 12)), EVP_sha256(), 32, key);
}

// GCM under the header's key and nonce, the header as associated data.
bool gcm(bool seal, const uint8_t *header, const Bytes &in, Bytes &out) {
    uint8_t key[32];
    key_of(header, key);
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    int n = 0;
    bool ok = ctx != nullptr &&
              EVP_CipherInit_ex(ctx, EVP_aes_256_gcm(), nullptr, key, header + 32, seal ? 1 : 0) == 1 &&
              EVP_CipherUpdate(ctx, nullptr, &n, header, kHeaderBytes) == 1;
    if (seal) {
        out.assign(in.size() + 16, 0);
        ok = ok && (in.empty() || EVP_CipherUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(in.size())) == 1) &&
             EVP_CipherFinal_ex(ctx, out.data() + in.size(), &n) == 1 &&
             EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, out.data() + in.size()) == 1;
    } else {
        if (in.size() < 16) ok = false;
        const size_t len = in.size() - 16;
        out.assign(len, 0);
        ok = ok && (len == 0 || EVP_CipherUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(len)) == 1) &&
             EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, 16, const_cast<uint8_t *>(in.data() + len)) == 1 &&
             EVP_CipherFinal_ex(ctx, out.data() + len, &n) == 1;
    }
    EVP_CIPHER_CTX_free(ctx);
    return ok;
}

void reload() {
    kltest::unload();
    kltest::write_bytes(g_ks->primary, g_primary);
    kltest::write_bytes(g_ks->standby, g_standby);
    if (kltest::load(*g_ks, 2) != 0) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    kltest::host_table();
    g_ks = new kltest::KeystoreFiles;
    g_file = g_ks->dir + "/input.export";
    // Keys of another keystore: its first keys, a registered one, a second
    // generated one; exported.
    kltest::KeystoreFiles other;
    uint32_t id = 0;
    Bytes material(32);
    const unsigned char seed[] = "fuzz import registered key";
    SHA256(seed, sizeof seed, material.data());
    if (kltest::load(other, 2) != 0 || VaqRegisterMkEx(150, 99, material.data(), 32) != 0 ||
        VaqCreateMkEx(151, &id) != 0)
        std::abort();
    const std::string exported = other.dir + "/seed.export";
    if (VaqExportMkFileEx(exported.c_str(), kPassword, kPasswordLen, 0) != 0) std::abort();
    kltest::unload();
    const Bytes sealed = kltest::read_bytes(exported);
    if (fuzzseed::wanted()) {
        Bytes raw = sealed;
        raw.insert(raw.begin(), 0);
        fuzzseed::write("export", raw);
        raw[0] = 2;
        fuzzseed::write("export-join", raw);
        raw[0] = 6;
        fuzzseed::write("export-join-restoring", raw);
        Bytes plain;
        if (!gcm(false, sealed.data(), Bytes(sealed.begin() + kHeaderBytes, sealed.end()), plain)) std::abort();
        Bytes open(sealed.begin(), sealed.begin() + kHeaderBytes);
        open.insert(open.end(), plain.begin(), plain.end());
        open.insert(open.begin(), 1);
        fuzzseed::write("export-open", open);
        open[0] = 3;
        fuzzseed::write("export-open-join", open);
        fuzzseed::write("truncated", Bytes(raw.begin(), raw.begin() + 70));
        fuzzseed::done();
    }
    // The keystore fuzzed into has a history: it took that export in and
    // deleted the registered key, which the export still holds.
    if (kltest::load(*g_ks, 2) != 0 || VaqImportMkFileEx(exported.c_str(), kPassword, kPasswordLen) != 0 ||
        VaqRmvMk(150, 99) != 0)
        std::abort();
    g_primary = kltest::read_bytes(g_ks->primary);
    g_standby = kltest::read_bytes(g_ks->standby);
    return 0;
}

// The first byte: bit 0, seal the input (see above); bit 1, join instead of
// import; bit 2, with the operator's rules (restore key 99, allow older).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size > (1 << 20)) return 0;
    Bytes file(data + 1, data + size);
    if (data[0] & 1) {
        if (file.size() < kHeaderBytes) return 0;
        Bytes sealed;
        if (!gcm(true, file.data(), Bytes(file.begin() + kHeaderBytes, file.end()), sealed)) return 0;
        file.resize(kHeaderBytes);
        file.insert(file.end(), sealed.begin(), sealed.end());
    }
    kltest::clear_log();
    kltest::write_bytes(g_file, file);
    unsigned long rc = 0;
    if ((data[0] & 6) == 0) {
        rc = VaqImportMkFileEx(g_file.c_str(), kPassword, kPasswordLen);
    } else {
        const uint32_t restore = 99;
        const VaqPrivArrivalRules rules{&restore, 1, 1};
        VaqPrivArrivalNote notes[64];
        VaqPrivArrivalReport report{};
        report.notes = notes;
        report.capacity = 64;
        rc = VaqPrivArriveMkFile((data[0] & 2) ? VAQ_PRIV_ARRIVE_JOIN : VAQ_PRIV_ARRIVE_IMPORT, g_file.c_str(),
                                 kPassword, kPasswordLen, (data[0] & 4) ? &rules : nullptr, &report);
        if (report.refusal[sizeof report.refusal - 1] != '\0') __builtin_trap();
    }
    if (rc != 0) {
        if (kltest::read_bytes(g_ks->primary) != g_primary || kltest::read_bytes(g_ks->standby) != g_standby)
            __builtin_trap();
    } else {
        reload();
    }
    return 0;
}
