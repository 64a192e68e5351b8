// SPDX-License-Identifier: Apache-2.0
// What an attacker on the node, or a careless log reader, must not get: files
// that others can read, secrets in log lines, key material left in memory that
// has gone back to the allocator, or plain bytes out of a tampered cipher text
// or keystore.
#include <dirent.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "alloc_hook.h"
#include "api_state.h"
#include "keystore_root.h"
#include "telmor_vaq_api.h"

using namespace reltest;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kDomain = 50;
const std::string kExport = "/opt/telmor/keys.export";
const unsigned char kPassword[] = "Pa55word-for-the-export-file";
constexpr uint32_t kPasswordLen = sizeof kPassword - 1;
const std::vector<std::string> kSecrets = {"db-password: hunter2-and-then-some", "chap secret 0123456789abcdef",
                                           std::string("\x01\x02"
                                                       "binary"
                                                       "\x00"
                                                       "secret"
                                                       "\xff",
                                                       16)};

// The keystore's root material, unsealed with its node secret.
Bytes root_material(const std::string &keystore) {
    std::vector<uint8_t> root = tvtest::keystore_root_material(keystore);
    return Bytes(root.begin(), root.end());
}

std::string hex(const Bytes &b, bool upper) {
    static const char *digits[2] = {"0123456789abcdef", "0123456789ABCDEF"};
    std::string out;
    for (uint8_t c : b) {
        out += digits[upper][c >> 4];
        out += digits[upper][c & 15];
    }
    return out;
}

std::string base64(const Bytes &b) {
    std::string out(4 * ((b.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()), b.data(), static_cast<int>(b.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

std::vector<std::string> files_under(const std::string &dir) {
    std::vector<std::string> out;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) return out;
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        std::string path = dir + "/" + name;
        struct stat st {};
        if (stat(path.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            auto more = files_under(path);
            out.insert(out.end(), more.begin(), more.end());
        } else {
            out.push_back(path);
        }
    }
    closedir(d);
    return out;
}

mode_t mode_of(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

class Security : public ::testing::Test {
protected:
    void SetUp() override {
        fresh_node(kAgentRole);
        std::remove(kExport.c_str());
        ASSERT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);
    }
    void TearDown() override { TELMOR_VAQ_Finalize(); }
};

// Created by the library with mode 0600 even under an umask that would let
// everyone read them; an old export file of wider mode is replaced, not reused.
TEST_F(Security, KeystoreAndExportFilesAreTheOwnersOnly) {
    TELMOR_VAQ_Finalize();
    const mode_t old = umask(0);
    fresh_node(kAgentRole);
    chmod(kAgentRole.primary, 0600);
    ASSERT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);
    EXPECT_EQ(mode_of(kAgentRole.standby), 0600u) << "the standby, made by the library";
    EXPECT_EQ(mode_of(kAgentRole.primary), 0600u);

    ASSERT_EQ(TELMOR_VAQ_ExportMkFile(kExport.c_str(), kPassword, kPasswordLen), 0u);
    EXPECT_EQ(mode_of(kExport), 0600u);
    // An old file is never written into: the export is refused and the
    // file stays as it was.
    ASSERT_EQ(chmod(kExport.c_str(), 0644), 0);
    EXPECT_EQ(TELMOR_VAQ_ExportMkFile(kExport.c_str(), kPassword, kPasswordLen),
              2026u);  // the key library's code for a file that exists
    EXPECT_EQ(mode_of(kExport), 0644u);
    umask(old);
}

// Every log line the library and the key libraries write, INFO lines of the
// key libraries included, searched for every secret of a busy run: plain
// texts, the export password, each master key's material and the root
// material, raw, in hex and in Base64.
TEST_F(Security, NoSecretOrKeyReachesALogLine) {
    g_vaq_log_level = 0;
    g_api_log_level = 0;
    std::vector<std::pair<std::string, Bytes>> secrets;
    auto add = [&](const std::string &name, const Bytes &b) { secrets.push_back({name, b}); };
    for (size_t i = 0; i < kSecrets.size(); ++i)
        add("plain text " + std::to_string(i), Bytes(kSecrets[i].begin(), kSecrets[i].end()));
    add("export password", Bytes(kPassword, kPassword + kPasswordLen));

    std::vector<std::string> texts;
    for (const auto &s : kSecrets) texts.push_back(api_encrypt(kDomain, s));
    const Bytes registered(48, 0x6b);
    ASSERT_EQ(TELMOR_VAQ_UpdateMK(kDomain, 424242, registered.data(), 48), 0u);
    ASSERT_EQ(TELMOR_VAQ_ActiveMK(kDomain, 424242), 0u);
    uint32_t id = 0;
    ASSERT_EQ(TELMOR_VAQ_CreateMK(kDomain, &id), 0u);
    for (const auto &s : kSecrets) texts.push_back(api_encrypt(kDomain, s));
    for (size_t i = 0; i < texts.size(); ++i) {
        std::string plain;
        ASSERT_EQ(api_decrypt(kDomain, texts[i], &plain), 0u);
        EXPECT_EQ(plain, kSecrets[i % kSecrets.size()]);
        // Failures are logged too: a text under the wrong domain, a damaged one.
        EXPECT_NE(api_decrypt(2, texts[i], &plain), 0u);
        std::string damaged = texts[i];
        damaged[damaged.size() / 2] = damaged[damaged.size() / 2] == 'A' ? 'B' : 'A';
        EXPECT_NE(api_decrypt(kDomain, damaged, &plain), 0u);
    }
    add("root material before renewal", root_material(kAgentRole.primary));
    ASSERT_EQ(TELMOR_VAQ_UpdateRootKey(), 0u);
    add("root material", root_material(kAgentRole.primary));
    ASSERT_EQ(TELMOR_VAQ_ExportMkFile(kExport.c_str(), kPassword, kPasswordLen), 0u);
    ASSERT_EQ(TELMOR_VAQ_ImportMkFile(kExport.c_str(), kPassword, kPasswordLen), 0u);
    const unsigned char wrong[] = "not the password";
    EXPECT_NE(TELMOR_VAQ_ImportMkFile(kExport.c_str(), wrong, sizeof wrong - 1), 0u);
    uint32_t good = 0;
    ASSERT_EQ(TELMOR_VAQ_CheckKeyStore(1, &good), 0u);
    for (const ApiKey &k : api_keys()) add("material of key " + std::to_string(k.id), k.material);
    ASSERT_EQ(TELMOR_update_shm(), 0u);
    api_encrypt(kDomain, kSecrets[0]);  // a reload, logged
    TELMOR_VAQ_Finalize();

    const auto logs = files_under("/var/log/oam");
    ASSERT_FALSE(logs.empty());
    size_t lines = 0;
    for (const auto &path : logs) {
        const Bytes content = read_file(path);
        const std::string text(content.begin(), content.end());
        lines += static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
        for (const auto &[name, secret] : secrets) {
            ASSERT_GE(secret.size(), 16u) << name;
            for (const std::string &form :
                 {std::string(secret.begin(), secret.end()), hex(secret, false), hex(secret, true), base64(secret)}) {
                EXPECT_EQ(text.find(form), std::string::npos) << name << " in " << path;
            }
            // A part of a key is a leak too.
            const std::string half = hex(Bytes(secret.begin(), secret.begin() + 8), false);
            EXPECT_EQ(text.find(half), std::string::npos) << name << " (part) in " << path;
        }
    }
    EXPECT_GT(lines, 100u) << "the run was meant to write many lines";
}

// A decrypted secret that its caller releases the documented way, without
// wiping it first, does not stay behind in the heap.
TEST_F(Security, ABlockReleasedThroughTheLibraryIsWiped) {
    const std::string &secret = kSecrets[0];
    char *text = nullptr;
    uint32_t len = 0;
    ASSERT_EQ(TELMOR_VAQ_Encrypt(kDomain, reinterpret_cast<const unsigned char *>(secret.data()),
                                 static_cast<uint32_t>(secret.size()), &text, &len),
              0u);
    unsigned char *plain = nullptr;
    uint32_t plainLen = 0;
    ASSERT_EQ(TELMOR_VAQ_Decrypt(kDomain, text, len, &plain, &plainLen), 0u);
    alloc::watch_secret(secret.data(), secret.size(), "plain secret");
    alloc::watch_secret(text, len, "cipher text");
    HX_VAQ_MemFree(__LINE__, __FILE__, plain);
    HX_VAQ_MemFree(__LINE__, __FILE__, text);
    const auto hits = alloc::hits();
    alloc::clear_secrets();
    for (const auto &h : hits) ADD_FAILURE() << h.secret << " left in a released block of " << h.blockBytes << " bytes";
}

// Memory that held key material goes back to the allocator wiped. Every block
// released during a run (loads, reloads, changes, export, import, root-key
// renewal, finalisation) is searched for the material of every master key,
// the root material and the export password.
TEST_F(Security, KeyMaterialIsWipedBeforeItsMemoryIsReleased) {
    uint32_t extra = 0;
    ASSERT_EQ(TELMOR_VAQ_CreateMK(kDomain, &extra), 0u);
    {
        std::vector<ApiKey> keys = api_keys();
        for (auto &k : keys) {
            alloc::watch_secret(k.material.data(), k.material.size(), "key " + std::to_string(k.id));
            OPENSSL_cleanse(k.material.data(), k.material.size());
        }
        Bytes root = root_material(kAgentRole.primary);
        alloc::watch_secret(root.data(), root.size(), "root material");
        OPENSSL_cleanse(root.data(), root.size());
    }
    alloc::watch_secret(kPassword, kPasswordLen, "export password");
    const size_t watched = 2 + 13;

    char *text = nullptr;
    uint32_t len = 0;
    const std::string &secret = kSecrets[0];
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(TELMOR_VAQ_Encrypt(kDomain, reinterpret_cast<const unsigned char *>(secret.data()),
                                     static_cast<uint32_t>(secret.size()), &text, &len),
                  0u);
        unsigned char *plain = nullptr;
        uint32_t plainLen = 0;
        ASSERT_EQ(TELMOR_VAQ_Decrypt(kDomain, text, len, &plain, &plainLen), 0u);
        OPENSSL_cleanse(plain, plainLen);
        HX_VAQ_MemFree(__LINE__, __FILE__, plain);
        HX_VAQ_MemFree(__LINE__, __FILE__, text);
        ASSERT_EQ(TELMOR_update_shm(), 0u);
        ASSERT_EQ(check_modified_and_load_key(), 0u);  // a reload
    }
    uint32_t id = 0;
    ASSERT_EQ(TELMOR_VAQ_CreateMK(151, &id), 0u);
    ASSERT_EQ(TELMOR_VAQ_CreateMK(151, &id), 0u);
    ASSERT_EQ(TELMOR_VAQ_ActiveMK(kDomain, extra), 0u);
    // The keystore shrinks: its image is written padded over the longer file.
    uint32_t *ids = nullptr;
    uint32_t count = 0;
    ASSERT_EQ(TELMOR_VAQ_GetKeyId_List(151, &ids, &count), 0u);
    ASSERT_EQ(count, 3u);
    ASSERT_EQ(TELMOR_VAQ_Delete(151, ids[0]), 0u);
    HX_VAQ_MemFree(__LINE__, __FILE__, ids);
    ASSERT_EQ(TELMOR_VAQ_ExportMkFile(kExport.c_str(), kPassword, kPasswordLen), 0u);
    ASSERT_EQ(TELMOR_VAQ_ImportMkFile(kExport.c_str(), kPassword, kPasswordLen), 0u);
    ASSERT_EQ(TELMOR_VAQ_UpdateRootKey(), 0u);
    uint32_t good = 0;
    ASSERT_EQ(TELMOR_VAQ_CheckKeyStore(1, &good), 0u);
    ASSERT_EQ(TELMOR_VAQ_Finalize(), 0u);

    const auto hits = alloc::hits();
    const uint64_t searched = alloc::blocks_searched();
    alloc::clear_secrets();
    EXPECT_GT(searched, 1000u) << "the run was meant to release many blocks";
    EXPECT_GE(watched, 3u);
    for (const auto &h : hits)
        ADD_FAILURE() << h.secret << " in a released block of " << h.blockBytes << " bytes, at " << h.offset;
}

// Every byte of a cipher text changed in turn: each decryption is refused, and
// no plain byte reaches the caller.
TEST_F(Security, ATamperedCipherTextIsRefusedWithoutOutput) {
    const std::string secret = kSecrets[1];
    const std::string text = api_encrypt(kDomain, secret);
    ASSERT_FALSE(text.empty());
    Bytes cipher(text.size());
    int n = EVP_DecodeBlock(cipher.data(), reinterpret_cast<const unsigned char *>(text.data()),
                            static_cast<int>(text.size()));
    ASSERT_GT(n, 0);
    const size_t cipherBytes = 28 + secret.size() + 16;
    cipher.resize(cipherBytes);
    int refused = 0;
    for (size_t at = 0; at < cipherBytes; ++at) {
        for (uint8_t flip : {0x01, 0x80}) {
            Bytes damaged = cipher;
            damaged[at] ^= flip;
            const std::string damagedText = base64(damaged);
            unsigned char *plain = nullptr;
            uint32_t plainLen = 0;
            unsigned long rc = TELMOR_VAQ_Decrypt(kDomain, damagedText.c_str(),
                                                  static_cast<uint32_t>(damagedText.size()), &plain, &plainLen);
            EXPECT_NE(rc, 0u) << "byte " << at << " flipped with " << int(flip);
            if (plain != nullptr) {
                const std::string left(reinterpret_cast<char *>(plain), damagedText.size());
                EXPECT_EQ(left.find_first_not_of('\0'), std::string::npos) << "plain bytes handed out for byte " << at;
                HX_VAQ_MemFree(__LINE__, __FILE__, plain);
            }
            refused += rc != 0;
        }
    }
    EXPECT_EQ(refused, static_cast<int>(2 * cipherBytes));
    std::string plain;
    EXPECT_EQ(api_decrypt(kDomain, text, &plain), 0u);
    EXPECT_EQ(plain, secret);
}

// A changed byte in both copies of the keystore (header, root-key block, a
// master-key record, the trailer): the library does not start, serves no key
// and leaves both files as they are. In one copy only: the other is loaded and
// the damaged one rewritten.
TEST_F(Security, ATamperedKeystoreIsRefused) {
    const std::string text = api_encrypt(kDomain, kSecrets[0]);
    TELMOR_VAQ_Finalize();
    const Bytes primary = read_file(kAgentRole.primary);
    const Bytes standby = read_file(kAgentRole.standby);
    ASSERT_EQ(primary, standby);
    auto put = [](const std::string &path, const Bytes &b) {
        std::ofstream(path, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char *>(b.data()), static_cast<std::streamsize>(b.size()));
    };
    struct Case {
        const char *region;
        size_t at;
    };
    const std::vector<Case> cases = {{"generation", 16},
                                     {"root version", 32},
                                     {"root material", 60},
                                     {"first record's key id", 92},
                                     {"first record's flags", 98},
                                     {"a sealed key", 140},
                                     {"trailer", primary.size() - 1}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.region);
        Bytes damaged = primary;
        damaged[c.at] ^= 0x04;
        put(kAgentRole.primary, damaged);
        put(kAgentRole.standby, damaged);
        EXPECT_NE(TELMOR_VAQ_Initialize("HXA"), 0u);
        EXPECT_EQ(api_encrypt(kDomain, "x"), "");
        std::string plain;
        EXPECT_NE(api_decrypt(kDomain, text, &plain), 0u);
        EXPECT_TRUE(plain.empty());
        TELMOR_VAQ_Finalize();
        EXPECT_EQ(read_file(kAgentRole.primary), damaged);
        EXPECT_EQ(read_file(kAgentRole.standby), damaged);

        put(kAgentRole.primary, damaged);
        put(kAgentRole.standby, standby);
        ASSERT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);
        EXPECT_EQ(api_decrypt(kDomain, text, &plain), 0u);
        EXPECT_EQ(plain, kSecrets[0]);
        TELMOR_VAQ_Finalize();
        EXPECT_EQ(read_file(kAgentRole.primary), standby) << "the damaged copy was not repaired";
    }
}

}  // namespace
