// SPDX-License-Identifier: Apache-2.0
// Moving master keys between keystores through a password-sealed file.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>

#include <chrono>

#include "keylib_fixture.h"
#include "vaq/vaq_private.h"

using namespace kltest;

namespace {

const unsigned char kPassword[] = "correct horse battery staple";
const uint32_t kPasswordLen = sizeof kPassword - 1;

uint32_t le32(const Bytes &b, size_t at) {
    return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 | uint32_t{b[at + 3]} << 24;
}

class Export : public ::testing::Test {
protected:
    void SetUp() override {
        reset_faults();
        clear_log();
        file = a.dir + "/keys.export";
    }
    void TearDown() override { unload(); }

    // Keystore a: its twelve first keys, a second key in domain 50 and a
    // registered one; exported to `file`.
    void make_export() {
        ASSERT_EQ(load(a), 0u);
        cipherFromA = encrypt(50, plain);
        uint32_t id = 0;
        ASSERT_EQ(VaqCreateMkEx(50, &id), 0u);
        const Bytes material = sound_key_material(5);
        ASSERT_EQ(VaqRegisterMkEx(105, 31337, material.data(), 32), 0u);
        keysOfA = list_keys();
        ASSERT_EQ(VaqExportMkFileEx(file.c_str(), kPassword, kPasswordLen, 1000), 0u);
        ASSERT_EQ(unload(), 0u);
    }

    KeystoreFiles a, b;
    std::string file;
    Bytes plain{1, 2, 3, 4};
    Bytes cipherFromA;
    std::vector<KeyInfo> keysOfA;
};

TEST_F(Export, KeysMoveToAnotherKeystoreAndASecondImportChangesNothing) {
    make_export();
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    Bytes sealed = read_bytes(file);
    EXPECT_EQ(le32(sealed, 12), 600000u) << "the work factor only ever raises the minimum";

    ASSERT_EQ(load(b), 0u);
    auto keysOfB = list_keys();
    Bytes out;
    EXPECT_EQ(decrypt(50, cipherFromA, &out), static_cast<unsigned long>(QOR_ERR_KEY_NOT_LOADED));
    ASSERT_EQ(VaqImportMkFileEx(file.c_str(), kPassword, kPasswordLen), 0u);
    ASSERT_EQ(decrypt(50, cipherFromA, &out), 0u);
    EXPECT_EQ(out, plain);

    auto now = list_keys();
    ASSERT_EQ(now.size(), keysOfB.size() + keysOfA.size());
    // b's own keys are as they were, its active keys included.
    EXPECT_TRUE(std::equal(keysOfB.begin(), keysOfB.end(), now.begin()));
    for (const auto &k : keysOfA) {
        auto it = std::find_if(now.begin(), now.end(),
                               [&](const KeyInfo &m) { return m.domain == k.domain && m.id == k.id; });
        ASSERT_NE(it, now.end()) << k.id;
        EXPECT_EQ(it->material, k.material);
        EXPECT_FALSE(it->active);
        EXPECT_EQ(it->origin, 1);
    }

    const Bytes primary = read_bytes(b.primary);
    reset_counters();
    ASSERT_EQ(VaqImportMkFileEx(file.c_str(), kPassword, kPasswordLen), 0u);
    EXPECT_EQ(write_calls(), 0u);
    EXPECT_EQ(list_keys(), now);
    EXPECT_EQ(read_bytes(b.primary), primary);
}

TEST_F(Export, WrongPasswordTamperingAndConflictsChangeNothing) {
    make_export();
    const Bytes sealed = read_bytes(file);
    ASSERT_EQ(load(b), 0u);
    // A key of b with one of a's ids and other material.
    Bytes other(32, 0x11);
    ASSERT_EQ(VaqRegisterMkEx(105, 31337, other.data(), 32), 0u);
    const auto keys = list_keys();
    const Bytes primary = read_bytes(b.primary);
    std::string tampered = b.dir + "/tampered";

    struct Case {
        const char *name;
        std::function<void(Bytes &)> damage;
        const unsigned char *password;
        uint32_t passwordLen;
        unsigned long code;
    };
    auto flip = [](size_t at) { return [at](Bytes &f) { f[at] ^= 1; }; };
    const unsigned char wrong[] = "correct horse battery stapler";
    std::vector<Case> cases = {
        {"wrong password", nullptr, wrong, sizeof wrong - 1, VAQ_ERR_EXPORT_AUTH},
        {"salt", flip(20), kPassword, kPasswordLen, VAQ_ERR_EXPORT_AUTH},
        {"sealed payload", flip(100), kPassword, kPasswordLen, VAQ_ERR_EXPORT_AUTH},
        {"tag", flip(sealed.size() - 1), kPassword, kPasswordLen, VAQ_ERR_EXPORT_AUTH},
        {"key count", flip(44), kPassword, kPasswordLen, VAQ_ERR_EXPORT_AUTH},
        {"key count out of bounds", flip(47), kPassword, kPasswordLen, VAQ_ERR_EXPORT_FORMAT},
        {"magic", flip(0), kPassword, kPasswordLen, VAQ_ERR_EXPORT_FORMAT},
        {"truncated", [](Bytes &f) { f.resize(f.size() - 1); }, kPassword, kPasswordLen, VAQ_ERR_EXPORT_FORMAT},
        {"empty", [](Bytes &f) { f.clear(); }, kPassword, kPasswordLen, VAQ_ERR_EXPORT_FORMAT},
        {"conflicting key", nullptr, kPassword, kPasswordLen, VAQ_ERR_IMPORT_CONFLICT},
        {"no password", nullptr, kPassword, 0, VAQ_ERR_BAD_LENGTH},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes f = sealed;
        if (c.damage) c.damage(f);
        write_bytes(tampered, f);
        clear_log();
        EXPECT_EQ(VaqImportMkFileEx(tampered.c_str(), c.password, c.passwordLen), c.code);
        EXPECT_EQ(error_lines().size(), 1u);
        EXPECT_EQ(list_keys(), keys);
        EXPECT_EQ(read_bytes(b.primary), primary);
    }
    EXPECT_EQ(VaqImportMkFileEx((b.dir + "/missing").c_str(), kPassword, kPasswordLen),
              static_cast<unsigned long>(VAQ_ERR_IO));
    EXPECT_EQ(VaqImportMkFileEx(nullptr, kPassword, kPasswordLen), static_cast<unsigned long>(VAQ_ERR_NULL_ARG));
}

// A file that asks for absurd work is refused before any of it is done.
TEST_F(Export, AFileDemandingAbsurdWorkIsRefusedAtOnce) {
    ASSERT_EQ(load(b), 0u);
    ASSERT_EQ(VaqExportMkFileEx(file.c_str(), kPassword, kPasswordLen, 700000), 0u);
    Bytes sealed = read_bytes(file);
    EXPECT_EQ(le32(sealed, 12), 700000u);
    EXPECT_EQ(VaqExportMkFileEx(file.c_str(), kPassword, kPasswordLen, 4000000000u),
              static_cast<unsigned long>(VAQ_ERR_BAD_ARG));
    for (uint32_t iterations : {0x7fffffffu, 0xffffffffu, 1000u}) {
        SCOPED_TRACE(iterations);
        Bytes f = sealed;
        for (int i = 0; i < 4; ++i) f[12 + i] = static_cast<uint8_t>(iterations >> (8 * i));
        write_bytes(file, f);
        EXPECT_EQ(VaqImportMkFileEx(file.c_str(), kPassword, kPasswordLen),
                  static_cast<unsigned long>(VAQ_ERR_EXPORT_FORMAT));
    }
}

// An export never writes into a file that is already there, nor through a
// link: the file is created new, or nothing is written.
TEST_F(Export, AnExistingFileOrALinkIsNeverWrittenInto) {
    ASSERT_EQ(load(b), 0u);
    const Bytes old(100000, 0x33);
    write_bytes(file, old);
    EXPECT_EQ(VaqExportMkFileEx(file.c_str(), kPassword, kPasswordLen, 1000),
              static_cast<unsigned long>(VAQ_ERR_FILE_EXISTS));
    EXPECT_EQ(read_bytes(file), old);

    std::filesystem::remove(file);
    const std::string target = file + ".target";
    std::filesystem::create_symlink(target, file);  // dangling: would create the target
    EXPECT_EQ(VaqExportMkFileEx(file.c_str(), kPassword, kPasswordLen, 1000),
              static_cast<unsigned long>(VAQ_ERR_FILE_EXISTS));
    EXPECT_FALSE(std::filesystem::exists(target));
    std::filesystem::remove(file);

    ASSERT_EQ(VaqExportMkFileEx(file.c_str(), kPassword, kPasswordLen, 1000), 0u);
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(VaqImportMkFileEx(file.c_str(), kPassword, kPasswordLen), 0u);
}

// A join takes every key of the file and, in each domain, the key the file
// records as active; as one change, refused whole on a conflict, and a second
// join changes nothing.
TEST_F(Export, AJoinTakesTheExportersActiveKeyOfEveryDomain) {
    make_export();
    ASSERT_EQ(load(b), 0u);
    const auto keysOfB = list_keys();
    uint32_t added = 0, activated = 0, marked = 0;
    ASSERT_EQ(VaqPrivJoinMkFile(file.c_str(), kPassword, kPasswordLen, &added, &activated, &marked), 0u);
    EXPECT_EQ(added, keysOfA.size());
    EXPECT_EQ(activated, kDomains.size());
    EXPECT_EQ(marked, kDomains.size());
    const auto now = list_keys();
    ASSERT_EQ(now.size(), keysOfA.size() + keysOfB.size());
    for (const auto &d : kDomains) {
        SCOPED_TRACE(d.id);
        const KeyInfo *mine = active_of(now, d.id);
        const KeyInfo *theirs = active_of(keysOfA, d.id);
        ASSERT_NE(mine, nullptr);
        ASSERT_NE(theirs, nullptr);
        EXPECT_EQ(mine->id, theirs->id);
        EXPECT_EQ(mine->material, theirs->material);
        EXPECT_EQ(keys_of(now, d.id).size(), keys_of(keysOfA, d.id).size() + keys_of(keysOfB, d.id).size())
            << "the node's own keys stay, inactive";
    }
    Bytes out;
    ASSERT_EQ(decrypt(50, cipherFromA, &out), 0u);
    EXPECT_EQ(out, plain);
    // What b encrypts now, a (holding only its own keys) decrypts.
    const Bytes fromB = encrypt(50, plain);
    ASSERT_EQ(unload(), 0u);
    ASSERT_EQ(load(a), 0u);
    ASSERT_EQ(decrypt(50, fromB, &out), 0u);
    EXPECT_EQ(out, plain);
    ASSERT_EQ(unload(), 0u);

    ASSERT_EQ(load(b), 0u);
    reset_counters();
    ASSERT_EQ(VaqPrivJoinMkFile(file.c_str(), kPassword, kPasswordLen, &added, &activated, &marked), 0u);
    EXPECT_EQ(added + activated, 0u);
    EXPECT_EQ(marked, kDomains.size());
    EXPECT_EQ(write_calls(), 0u);
    EXPECT_EQ(list_keys(), now);
    ASSERT_EQ(unload(), 0u);

    // A third keystore holding one of a's ids with other material joins nothing.
    KeystoreFiles c;
    ASSERT_EQ(load(c), 0u);
    Bytes other(32, 0x11);
    ASSERT_EQ(VaqRegisterMkEx(105, 31337, other.data(), 32), 0u);
    const auto keysOfC = list_keys();
    const Bytes primary = read_bytes(c.primary);
    EXPECT_EQ(VaqPrivJoinMkFile(file.c_str(), kPassword, kPasswordLen, &added, &activated, &marked),
              static_cast<uint32_t>(VAQ_ERR_IMPORT_CONFLICT));
    EXPECT_EQ(list_keys(), keysOfC);
    EXPECT_EQ(read_bytes(c.primary), primary);
    const unsigned char wrong[] = "correct horse battery stapler";
    EXPECT_EQ(VaqPrivJoinMkFile(file.c_str(), wrong, sizeof wrong - 1, &added, &activated, &marked),
              static_cast<uint32_t>(VAQ_ERR_EXPORT_AUTH));
    EXPECT_EQ(VaqPrivJoinMkFile(file.c_str(), kPassword, kPasswordLen, nullptr, &activated, &marked),
              static_cast<uint32_t>(VAQ_ERR_NULL_ARG));
}

// An export whose keys none is active (a domain whose keys were only ever
// registered) cannot tell a joining node which keys to use: nothing changes.
TEST_F(Export, AJoinFromAnExportRecordingNoActiveKeyChangesNothing) {
    ASSERT_EQ(load(a, 0), 0u);
    VaqDomainRecord d{};
    d.domainId = 9000;
    d.attr = 0;
    ASSERT_EQ(VaqAddDomainEx(&d), 0u);
    VaqKeyTypeRecord kt{};
    kt.keyType = 3;
    kt.keyAttr = 112;
    kt.lifeDays = 3650;
    ASSERT_EQ(VaqAddDomainKeyTypeEx(9000, &kt), 0u);
    Bytes material(32, 0x42);
    ASSERT_EQ(VaqRegisterMkEx(9000, 7, material.data(), 32), 0u);
    ASSERT_EQ(VaqExportMkFileEx(file.c_str(), kPassword, kPasswordLen, 0), 0u);
    ASSERT_EQ(unload(), 0u);

    ASSERT_EQ(load(b), 0u);
    const auto keys = list_keys();
    reset_counters();
    uint32_t added = 9, activated = 9, marked = 9;
    ASSERT_EQ(VaqPrivJoinMkFile(file.c_str(), kPassword, kPasswordLen, &added, &activated, &marked), 0u);
    EXPECT_EQ(marked, 0u);
    EXPECT_EQ(added + activated, 0u);
    EXPECT_EQ(write_calls(), 0u);
    EXPECT_EQ(list_keys(), keys);
}

}  // namespace
