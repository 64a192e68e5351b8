// SPDX-License-Identifier: Apache-2.0
// Loading, provisioning and the master-key operations of libhxbVaq.so.
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>

#include "keylib_fixture.h"
#include "../reliability/sanitizer.h"

using namespace kltest;

namespace {

class Keystore : public ::testing::Test {
protected:
    void SetUp() override {
        reset_faults();
        reset_counters();
        clear_log();
    }
    void TearDown() override { unload(); }
    KeystoreFiles ks;
};

TEST_F(Keystore, FreshNodeGetsOneActiveKeyPerDomainAndReloadWritesNothing) {
    ASSERT_EQ(load(ks), 0u);
    auto keys = list_keys();
    ASSERT_EQ(keys.size(), 12u);
    std::set<uint32_t> domains;
    for (const auto &k : keys) {
        EXPECT_TRUE(k.active);
        EXPECT_NE(k.id, 0u);
        EXPECT_EQ(k.material.size(), 32u);
        domains.insert(k.domain);
    }
    EXPECT_EQ(domains.size(), 12u);
    for (const std::string &path : {ks.primary, ks.standby}) {
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
        EXPECT_EQ(st.st_mode & 0777, 0600u) << path;
    }
    EXPECT_EQ(read_bytes(ks.primary), read_bytes(ks.standby));
    ASSERT_EQ(VaqGetDomainCount(), 12);
    for (int i = 0; i < 12; ++i) {
        VaqDomainRecord d{};
        ASSERT_EQ(VaqGetDomain(static_cast<uint32_t>(i), &d), 0u);
        EXPECT_EQ(d.domainId, kDomains[i].id);
        EXPECT_STREQ(d.name, kDomains[i].name);
        EXPECT_EQ(d.attr, 1);
    }

    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(unload(), 0u);
        reset_counters();
        ASSERT_EQ(load(ks), 0u);
        EXPECT_EQ(write_calls(), 0u) << "a load of a provisioned keystore wrote";
        EXPECT_EQ(list_keys(), keys);
    }
    // Adding what is there and removing what is not change nothing.
    VaqDomainRecord again{};
    again.domainId = 50;
    again.attr = 1;
    std::strcpy(again.name, "HXA_ENCRYPT");
    VaqKeyTypeRecord kt{3, 112, 3650, {}};
    reset_counters();
    EXPECT_EQ(VaqAddDomainEx(&again), 0u);
    EXPECT_EQ(VaqAddDomainKeyTypeEx(50, &kt), 0u);
    EXPECT_EQ(VaqRmvDomainEx(7), 0u);
    EXPECT_EQ(VaqGetDomainCount(), 12);
    EXPECT_EQ(write_calls(), 0u);
    EXPECT_EQ(list_keys(), keys);
    // Removing a domain leaves its keys in the keystore.
    EXPECT_EQ(VaqRmvDomainEx(50), 0u);
    EXPECT_EQ(VaqGetDomainCount(), 11);
    EXPECT_EQ(list_keys(), keys);
    EXPECT_TRUE(error_lines().empty());
}

// Damage done to one keystore copy.
struct Damage {
    const char *name;
    std::function<void(Bytes &)> apply;
};

const std::vector<Damage> kDamages = {
    {"generation", [](Bytes &b) { b[16] ^= 0x01; }},
    {"root material", [](Bytes &b) { b[70] ^= 0x80; }},
    {"key record", [](Bytes &b) { b[100] ^= 0x04; }},
    {"wrapped key", [](Bytes &b) { b[140] ^= 0x10; }},
    {"trailer", [](Bytes &b) { b.back() ^= 0x01; }},
    {"truncated to half", [](Bytes &b) { b.resize(b.size() / 2); }},
    {"truncated to 10 bytes", [](Bytes &b) { b.resize(10); }},
    {"not a keystore", [](Bytes &b) { std::fill(b.begin(), b.end(), 'x'); }},
};

TEST_F(Keystore, ADamagedPrimaryIsLoadedFromTheStandbyAndRepaired) {
    ASSERT_EQ(load(ks), 0u);
    auto keys = list_keys();
    ASSERT_EQ(unload(), 0u);
    const Bytes good = read_bytes(ks.standby);
    for (const auto &d : kDamages) {
        SCOPED_TRACE(d.name);
        Bytes bad = good;
        d.apply(bad);
        write_bytes(ks.primary, bad);
        clear_log();
        ASSERT_EQ(load(ks), 0u);
        EXPECT_EQ(list_keys(), keys);
        // Recovered, yet reported: damage is an operator's business. (A file
        // too short to hold a key may be taken for an unfinished first write.)
        if (bad.size() > 120) {
            EXPECT_EQ(error_lines().size(), 1u);
        }
        Bytes repaired = read_bytes(ks.primary);
        ASSERT_GE(repaired.size(), good.size());
        EXPECT_TRUE(std::equal(good.begin(), good.end(), repaired.begin()));
        EXPECT_EQ(read_bytes(ks.standby), good);
        ASSERT_EQ(unload(), 0u);
    }
}

TEST_F(Keystore, BothCopiesDamagedFailsTheLoadAndLeavesTheFilesAsTheyAre) {
    ASSERT_EQ(load(ks), 0u);
    ASSERT_EQ(unload(), 0u);
    const Bytes good = read_bytes(ks.primary);
    for (const auto &d : kDamages) {
        SCOPED_TRACE(d.name);
        Bytes bad = good;
        d.apply(bad);
        Bytes other = good;
        other[other.size() - 3] ^= 0x20;
        write_bytes(ks.primary, bad);
        write_bytes(ks.standby, other);
        clear_log();
        reset_counters();
        EXPECT_EQ(load(ks), static_cast<unsigned long>(VAQ_ERR_KEYSTORE_CORRUPT));
        EXPECT_EQ(write_calls(), 0u);
        EXPECT_EQ(read_bytes(ks.primary), bad);
        EXPECT_EQ(read_bytes(ks.standby), other);
        EXPECT_EQ(error_lines().size(), 1u);
        // Nothing is loaded: every operation says so.
        EXPECT_EQ(VaqGetMkCount(), 0);
        uint32_t id;
        EXPECT_EQ(VaqCreateMkEx(50, &id), static_cast<unsigned long>(VAQ_ERR_NOT_INITIALIZED));
    }
    // One damaged copy and one missing is no better.
    std::remove(ks.standby.c_str());
    EXPECT_EQ(load(ks), static_cast<unsigned long>(VAQ_ERR_KEYSTORE_CORRUPT));
    EXPECT_FALSE(exists(ks.standby));
    // A copy written in a newer format is left for the newer library, even
    // beside a valid copy of ours.
    Bytes newer = good;
    newer[8] = 4;
    for (const Bytes &standby : {Bytes{}, good}) {
        write_bytes(ks.primary, newer);
        write_bytes(ks.standby, standby);
        reset_counters();
        EXPECT_EQ(load(ks), static_cast<unsigned long>(VAQ_ERR_KEYSTORE_VERSION));
        EXPECT_EQ(write_calls(), 0u);
        EXPECT_EQ(read_bytes(ks.primary), newer);
    }
}

TEST_F(Keystore, EmptyOrMissingCopiesMakeANewKeystore) {
    write_bytes(ks.primary, {});
    write_bytes(ks.standby, {});
    ASSERT_EQ(load(ks), 0u);
    EXPECT_EQ(list_keys().size(), 12u);
    ASSERT_EQ(unload(), 0u);
    // A copy removed by hand comes back from the other at the next load.
    const Bytes good = read_bytes(ks.primary);
    std::remove(ks.primary.c_str());
    ASSERT_EQ(load(ks), 0u);
    EXPECT_EQ(read_bytes(ks.primary), good);
}

TEST_F(Keystore, TheNewestValidCopyWinsAndTheOlderIsBroughtUpToIt) {
    ASSERT_EQ(load(ks), 0u);
    const Bytes older = read_bytes(ks.primary);
    uint32_t id = 0;
    ASSERT_EQ(VaqCreateMkEx(50, &id), 0u);
    auto keys = list_keys();
    ASSERT_EQ(unload(), 0u);
    const Bytes newer = read_bytes(ks.standby);
    write_bytes(ks.primary, older);
    ASSERT_EQ(load(ks), 0u);
    EXPECT_EQ(list_keys(), keys);
    EXPECT_EQ(read_bytes(ks.primary), newer);
}

TEST_F(Keystore, MasterKeyLifecycle) {
    ASSERT_EQ(load(ks), 0u);
    const uint32_t d = 100;
    const uint32_t first = active_of(list_keys(), d)->id;
    uint32_t second = 0;
    ASSERT_EQ(VaqCreateMkEx(d, &second), 0u);
    ASSERT_NE(second, first);
    Bytes material(48);
    for (size_t i = 0; i < material.size(); ++i) material[i] = static_cast<uint8_t>(i + 1);
    ASSERT_EQ(VaqRegisterMkEx(d, 77, material.data(), 48), 0u);
    // Registering the same key again changes nothing.
    reset_counters();
    ASSERT_EQ(VaqRegisterMkEx(d, 77, material.data(), 48), 0u);
    EXPECT_EQ(write_calls(), 0u);

    auto keys = keys_of(list_keys(), d);
    ASSERT_EQ(keys.size(), 3u);
    EXPECT_EQ(keys[0].id, first);
    EXPECT_FALSE(keys[0].active);
    EXPECT_EQ(keys[1].id, second);
    EXPECT_TRUE(keys[1].active);
    EXPECT_EQ(keys[2].id, 77u);
    EXPECT_FALSE(keys[2].active);
    EXPECT_EQ(keys[2].material, material);
    EXPECT_EQ(keys[2].origin, 1);

    ASSERT_EQ(VaqActivateMk(d, 77), 0u);
    EXPECT_EQ(active_of(list_keys(), d)->id, 77u);
    EXPECT_EQ(VaqRmvMk(d, 77), static_cast<unsigned long>(VAQ_ERR_KEY_ACTIVE));
    const size_t longest = read_bytes(ks.primary).size();
    ASSERT_EQ(VaqRmvMk(d, first), 0u);
    EXPECT_EQ(keys_of(list_keys(), d).size(), 2u);
    // The shorter image leaves nothing of the removed record behind it: the
    // files keep their length, zero-filled past the image.
    for (const std::string &path : {ks.primary, ks.standby}) {
        Bytes file = read_bytes(path);
        ASSERT_EQ(file.size(), longest) << path;
        size_t image = file[12] | file[13] << 8 | file[14] << 16 | size_t{file[15]} << 24;
        ASSERT_LT(image, longest);
        EXPECT_TRUE(std::all_of(file.begin() + image, file.end(), [](uint8_t b) { return b == 0; })) << path;
    }

    // All of it was written: a reload finds the same.
    auto all = list_keys();
    ASSERT_EQ(unload(), 0u);
    ASSERT_EQ(load(ks), 0u);
    EXPECT_EQ(list_keys(), all);

    // Times: created now, expiring after the key type's 3650 days.
    VaqMkRecord r{};
    ASSERT_EQ(VaqGetMk(0, &r), 0u);
    time_t now = time(nullptr);
    struct tm tm {};
    gmtime_r(&now, &tm);
    EXPECT_EQ(r.created.year, tm.tm_year + 1900);
    EXPECT_EQ(r.created.month, tm.tm_mon + 1);
    EXPECT_GE(r.expires.year - r.created.year, 9);
    EXPECT_LE(r.expires.year - r.created.year, 10);
    EXPECT_EQ(r.keyLen, 32);
}

TEST_F(Keystore, DetailTellsTheLengthItNeeds) {
    ASSERT_EQ(load(ks), 0u);
    const uint32_t d = 2;
    const uint32_t id = active_of(list_keys(), d)->id;
    VaqMkRecord r{};
    uint8_t key[64];
    uint32_t len = 31;
    EXPECT_EQ(VaqGetMkDetail(d, id, &r, key, &len), static_cast<unsigned long>(VAQ_ERR_BUFFER_TOO_SMALL));
    EXPECT_EQ(len, 32u);
    len = 0;
    EXPECT_EQ(VaqGetMkDetail(d, id, &r, nullptr, &len), static_cast<unsigned long>(VAQ_ERR_BUFFER_TOO_SMALL));
    EXPECT_EQ(len, 32u);
    len = sizeof key;
    ASSERT_EQ(VaqGetMkDetail(d, id, &r, key, &len), 0u);
    EXPECT_EQ(len, 32u);
    EXPECT_EQ(r.domainId, d);
    EXPECT_EQ(r.keyId, id);
    EXPECT_EQ(r.active, 1);
}

// Bad calls: each answers its own code with one log line, and leaves the
// keystore files as they were.
TEST_F(Keystore, BadCallsAnswerTheirCodeLogOnceAndChangeNothing) {
    ASSERT_EQ(load(ks), 0u);
    const uint32_t d = 50;
    const uint32_t active = active_of(list_keys(), d)->id;
    Bytes material(300, 7);
    uint32_t id = 0, len = 32;
    VaqMkRecord r{};
    uint8_t key[32];
    VaqDomainRecord dom{};
    std::memset(dom.name, 'n', sizeof dom.name);
    ASSERT_EQ(VaqRegisterMkEx(d, 4242, material.data(), 20), 0u);
    struct Case {
        const char *name;
        std::function<unsigned long()> call;
        unsigned long code;
    };
    std::vector<Case> cases = {
        {"register 15 bytes", [&] { return VaqRegisterMkEx(d, 9, material.data(), 15); }, VAQ_ERR_BAD_LENGTH},
        {"register 257 bytes", [&] { return VaqRegisterMkEx(d, 9, material.data(), 257); }, VAQ_ERR_BAD_LENGTH},
        {"register id 0", [&] { return VaqRegisterMkEx(d, 0, material.data(), 32); }, VAQ_ERR_BAD_ARG},
        {"register null", [&] { return VaqRegisterMkEx(d, 9, nullptr, 32); }, VAQ_ERR_NULL_ARG},
        {"register taken id", [&] { return VaqRegisterMkEx(d, 4242, material.data(), 21); }, VAQ_ERR_KEY_EXISTS},
        {"register unknown domain", [&] { return VaqRegisterMkEx(999, 9, material.data(), 32); },
         VAQ_ERR_UNKNOWN_DOMAIN},
        {"create unknown domain", [&] { return VaqCreateMkEx(999, &id); }, VAQ_ERR_UNKNOWN_DOMAIN},
        {"create null id", [&] { return VaqCreateMkEx(d, nullptr); }, VAQ_ERR_NULL_ARG},
        {"activate unknown key", [&] { return VaqActivateMk(d, 5); }, VAQ_ERR_UNKNOWN_KEY},
        {"remove active key", [&] { return VaqRmvMk(d, active); }, VAQ_ERR_KEY_ACTIVE},
        {"remove unknown key", [&] { return VaqRmvMk(d, 5); }, VAQ_ERR_UNKNOWN_KEY},
        {"detail unknown key",
         [&] {
             len = 32;
             return VaqGetMkDetail(d, 5, &r, key, &len);
         },
         VAQ_ERR_UNKNOWN_KEY},
        {"detail null record",
         [&] {
             len = 32;
             return VaqGetMkDetail(d, active, nullptr, key, &len);
         },
         VAQ_ERR_NULL_ARG},
        {"get beyond count", [&] { return VaqGetMk(13, &r); }, VAQ_ERR_INDEX_RANGE},
        {"get null record", [&] { return VaqGetMk(0, nullptr); }, VAQ_ERR_NULL_ARG},
        {"domain beyond count", [&] { return VaqGetDomain(12, &dom); }, VAQ_ERR_INDEX_RANGE},
        {"add null domain", [&] { return VaqAddDomainEx(nullptr); }, VAQ_ERR_NULL_ARG},
        {"add unterminated name", [&] { return VaqAddDomainEx(&dom); }, VAQ_ERR_BAD_ARG},
        {"key type of unknown domain",
         [&] {
             VaqKeyTypeRecord kt{3, 112, 3650, {}};
             return VaqAddDomainKeyTypeEx(999, &kt);
         },
         VAQ_ERR_UNKNOWN_DOMAIN},
        {"key type with no life",
         [&] {
             VaqKeyTypeRecord kt{3, 112, 0, {}};
             return VaqAddDomainKeyTypeEx(d, &kt);
         },
         VAQ_ERR_BAD_ARG},
        {"root info null", [&] { return VaqGetRootKeyInfo(nullptr); }, VAQ_ERR_NULL_ARG},
        {"root update bad entropy", [&] { return VaqUpdateRootKey(nullptr, 5); }, VAQ_ERR_NULL_ARG},
        {"check null result", [&] { return VaqCheckKeyStore(1, nullptr); }, VAQ_ERR_NULL_ARG},
        {"initialise without files", [&] { return IvexInitializeEx(0, nullptr, 0, nullptr); }, VAQ_ERR_NULL_ARG},
        {"register a table without entropy",
         [&] {
             VaqHostServices t = table_without_slot(27);
             return static_cast<unsigned long>(IvexRegFuncEx(&t));
         },
         VAQ_ERR_BAD_TABLE},
    };
    const Bytes primary = read_bytes(ks.primary);
    const Bytes standby = read_bytes(ks.standby);
    const auto keys = list_keys();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        clear_log();
        EXPECT_EQ(c.call(), c.code);
        auto lines = log_lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].level, 2);
        EXPECT_EQ(lines[0].module, "VAQ");
    }
    EXPECT_EQ(read_bytes(ks.primary), primary);
    EXPECT_EQ(read_bytes(ks.standby), standby);
    EXPECT_EQ(list_keys(), keys);
    // The line names the call, its arguments, the reason and the code.
    clear_log();
    VaqRmvMk(d, active);
    ASSERT_EQ(log_lines().size(), 1u);
    EXPECT_EQ(log_lines()[0].message, "VaqRmvMk(domain 50, key " + std::to_string(active) +
                                          ") failed: the domain's active key cannot be removed, ret=2014\n");
}

TEST_F(Keystore, FailedWritesAndEntropyChangeNothing) {
    ASSERT_EQ(load(ks), 0u);
    const auto keys = list_keys();
    const Bytes primary = read_bytes(ks.primary);
    uint32_t id = 0;
    faults().failEntropy = true;
    EXPECT_EQ(VaqCreateMkEx(50, &id), static_cast<unsigned long>(VAQ_ERR_ENTROPY));
    EXPECT_EQ(VaqUpdateRootKey(nullptr, 0), static_cast<unsigned long>(VAQ_ERR_ENTROPY));
    reset_faults();
    faults().failWriteOpens = true;
    EXPECT_EQ(VaqCreateMkEx(50, &id), static_cast<unsigned long>(VAQ_ERR_IO));
    reset_faults();
    faults().failWrites = true;
    EXPECT_EQ(VaqCreateMkEx(50, &id), static_cast<unsigned long>(VAQ_ERR_IO));
    reset_faults();
    EXPECT_EQ(list_keys(), keys);
    EXPECT_EQ(read_bytes(ks.primary), primary);
}

TEST_F(Keystore, RootKeyUpdateRewrapsEveryKeyAndKeepsThemUsable) {
    ASSERT_EQ(load(ks), 0u);
    VaqRootKeyRecord root{};
    ASSERT_EQ(VaqGetRootKeyInfo(&root), 0u);
    EXPECT_EQ(root.version, 1);
    EXPECT_EQ(root.valid, 1);
    EXPECT_EQ(root.wrappedKeys, 12u);
    EXPECT_EQ(root.expires.year - root.created.year, 10);
    VaqRootKeyCfgRecord cfg{};
    ASSERT_EQ(VaqGetRootKeyCfg(&cfg), 0u);
    EXPECT_EQ(cfg.lifeDays, 3650u);
    EXPECT_EQ(cfg.strengthBits, 256u);

    const auto keys = list_keys();
    Bytes cipher = encrypt(50, Bytes{1, 2, 3});
    const Bytes before = read_bytes(ks.primary);
    reset_counters();
    ASSERT_EQ(VaqUpdateRootKey(nullptr, 0), 0u);
    EXPECT_EQ(write_calls(), 2u);
    const Bytes after = read_bytes(ks.primary);
    ASSERT_EQ(after.size(), before.size());
    // Root material (offset 56) and every wrapped key changed.
    EXPECT_FALSE(std::equal(before.begin() + 56, before.begin() + 88, after.begin() + 56));
    EXPECT_FALSE(std::equal(before.begin() + 88 + 40, before.begin() + 88 + 88, after.begin() + 88 + 40));
    ASSERT_EQ(VaqGetRootKeyInfo(&root), 0u);
    EXPECT_EQ(root.version, 2);
    EXPECT_EQ(list_keys(), keys);
    ASSERT_EQ(unload(), 0u);
    ASSERT_EQ(load(ks), 0u);
    EXPECT_EQ(list_keys(), keys);
    Bytes plain;
    ASSERT_EQ(decrypt(50, cipher, &plain), 0u);
    EXPECT_EQ(plain, (Bytes{1, 2, 3}));
}

TEST_F(Keystore, CheckReportsEachCopyAndRepairsOnlyWhenAsked) {
    ASSERT_EQ(load(ks), 0u);
    uint32_t result = 99;
    ASSERT_EQ(VaqCheckKeyStore(0, &result), 0u);
    EXPECT_EQ(result, 3u);
    const Bytes good = read_bytes(ks.standby);
    Bytes bad = good;
    bad[200] ^= 1;
    write_bytes(ks.standby, bad);
    ASSERT_EQ(VaqCheckKeyStore(0, &result), 0u);
    EXPECT_EQ(result, 1u);
    EXPECT_EQ(read_bytes(ks.standby), bad);
    ASSERT_EQ(VaqCheckKeyStore(1, &result), 0u);
    EXPECT_EQ(result, 1u);
    EXPECT_EQ(read_bytes(ks.standby), good);
    ASSERT_EQ(VaqCheckKeyStore(0, &result), 0u);
    EXPECT_EQ(result, 3u);

    write_bytes(ks.primary, bad);
    ASSERT_EQ(VaqCheckKeyStore(1, &result), 0u);
    EXPECT_EQ(result, 2u);
    EXPECT_EQ(read_bytes(ks.primary), good);

    write_bytes(ks.primary, bad);
    write_bytes(ks.standby, bad);
    EXPECT_EQ(VaqCheckKeyStore(1, &result), static_cast<unsigned long>(VAQ_ERR_KEYSTORE_CORRUPT));
    EXPECT_EQ(result, 0u);
    EXPECT_EQ(read_bytes(ks.primary), bad);
}

TEST_F(Keystore, InitialisingTwiceReloadsAndFinalizeWipesTheKeysOut) {
    ASSERT_EQ(load(ks), 0u);
    const auto keys = list_keys();
    HX_VAQ_KEYSTORE_FILES files = ks.files();
    ASSERT_EQ(IvexInitializeEx(0, &files, 0, nullptr), 0u);
    EXPECT_EQ(VaqGetDomainCount(), 0) << "domains are provisioned anew at every load";
    EXPECT_EQ(list_keys(), keys);
    ASSERT_EQ(unload(), 0u);
    EXPECT_EQ(unload(), 0u);
    EXPECT_EQ(VaqGetMkCount(), 0);
}

// Reloads of keystores large enough that their images, key records and key
// index live in buffers kept from one load for the next, growing past the
// size of the buffers the last load left and shrinking again: every load
// holds exactly the keys on disk, and a text sealed before decrypts after.
TEST_F(Keystore, ReloadsOfLargeKeystoresThatGrowAndShrinkKeepEveryKey) {
    ASSERT_EQ(load(ks), 0u);
    const uint32_t d = 100;
    const Bytes plain{1, 2, 3, 4, 5};
    const Bytes cipher = encrypt(d, plain);
    ASSERT_FALSE(cipher.empty());
    uint32_t nextId = 1000;
    auto register_keys = [&](size_t n) {
        for (size_t i = 0; i < n; ++i, ++nextId) {
            Bytes material(200);
            for (size_t j = 0; j < material.size(); ++j) material[j] = static_cast<uint8_t>(nextId * 31 + j);
            ASSERT_EQ(VaqRegisterMkEx(d, nextId, material.data(), 200), 0u) << nextId;
        }
    };
    auto reload_and_compare = [&](const char *step) {
        const auto before = list_keys();
        ASSERT_EQ(unload(), 0u) << step;
        ASSERT_EQ(load(ks), 0u) << step;
        EXPECT_EQ(list_keys(), before) << step;
        Bytes opened;
        EXPECT_EQ(decrypt(d, cipher, &opened), 0u) << step;
        EXPECT_EQ(opened, plain) << step;
    };
    register_keys(600);  // an image of about 150 KiB
    reload_and_compare("600 keys");
    reload_and_compare("600 keys again");
    register_keys(300);
    reload_and_compare("900 keys");
    for (uint32_t id = 1000; id < 1800; ++id) ASSERT_EQ(VaqRmvMk(d, id), 0u) << id;
    reload_and_compare("100 keys");
    EXPECT_EQ(keys_of(list_keys(), d).size(), 101u);
}

// Pages of the test's own that a core dump leaves out: what it reads key
// material into must not be what the scan below finds.
class DumpExcludedPages {
public:
    explicit DumpExcludedPages(size_t bytes) : bytes_(bytes) {
        void *p = mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED || madvise(p, bytes_, MADV_DONTDUMP) != 0) throw std::runtime_error("mmap");
        p_ = static_cast<uint8_t *>(p);
    }
    ~DumpExcludedPages() {
        OPENSSL_cleanse(p_, bytes_);
        munmap(p_, bytes_);
    }
    uint8_t *data() { return p_; }
    bool holds(uintptr_t from, uintptr_t to) const {
        return from <= reinterpret_cast<uintptr_t>(p_) && reinterpret_cast<uintptr_t>(p_) < to;
    }

private:
    uint8_t *p_ = nullptr;
    size_t bytes_;
};

struct Mapping {
    uintptr_t from = 0, to = 0;
    bool readable = false;
    bool dumpExcluded = false;
};

std::vector<Mapping> mappings() {
    std::vector<Mapping> out;
    std::ifstream smaps("/proc/self/smaps");
    std::string line;
    while (std::getline(smaps, line)) {
        unsigned long from = 0, to = 0;
        char perms[5] = {};
        if (std::sscanf(line.c_str(), "%lx-%lx %4s ", &from, &to, perms) == 3 && line.find(' ') < line.find(':')) {
            out.push_back({from, to, perms[0] == 'r', false});
        } else if (!out.empty() && line.rfind("VmFlags:", 0) == 0) {
            out.back().dumpExcluded = line.find(" dd") != std::string::npos;
        }
    }
    return out;
}

// Master-key material, after loads, a reload, a change and encryptions under
// the keys, stands only in memory that a core dump leaves out: the keystore,
// its copies and the key index share blocks of secret memory, and no plain
// copy of a key lies anywhere else in the process.
TEST_F(Keystore, KeyMaterialStandsOnlyInMemoryKeptOutOfCoreDumps) {
    // A sanitizer's shadow memory is terabytes of readable mappings: a scan
    // of them all would not end in any time a test has.
    if (reltest::kSanitized) GTEST_SKIP() << "the scan of the process's memory is a check of the plain build";
    constexpr size_t kKeyBytes = 32;
    constexpr uint32_t kRegistered = 40;
    DumpExcludedPages needles(64 * 1024);
    ASSERT_EQ(load(ks), 0u);
    for (uint32_t i = 0; i < kRegistered; ++i) {
        ASSERT_EQ(RAND_bytes(needles.data(), kKeyBytes), 1);
        ASSERT_EQ(VaqRegisterMkEx(105, 7000 + i, needles.data(), kKeyBytes), 0u);
    }
    OPENSSL_cleanse(needles.data(), kKeyBytes);
    // The keys come back from the files in one load, and a change works on a
    // copy of what it loaded.
    ASSERT_EQ(unload(), 0u);
    ASSERT_EQ(load(ks), 0u);
    uint32_t created = 0;
    ASSERT_EQ(VaqCreateMkEx(105, &created), 0u);
    for (uint32_t domain : {50u, 105u}) {
        unsigned long code = 1;
        const Bytes cipher = encrypt(domain, Bytes(16, 0x42), &code);
        ASSERT_EQ(code, 0u);
        Bytes plain;
        ASSERT_EQ(decrypt(domain, cipher, &plain), 0u);
    }

    // Each key is kept complemented, so that the needles do not find themselves.
    const int32_t count = VaqGetMkCount();
    ASSERT_GE(count, static_cast<int32_t>(12 + kRegistered + 1));
    ASSERT_LE(static_cast<size_t>(count) * kKeyBytes, 32 * 1024u);
    uint8_t *keys = needles.data();
    uint8_t *out = needles.data() + 32 * 1024;
    for (int32_t i = 0; i < count; ++i) {
        VaqMkRecord r{};
        ASSERT_EQ(VaqGetMk(static_cast<uint32_t>(i), &r), 0u);
        VaqMkRecord detail{};
        uint32_t len = kKeyBytes;
        ASSERT_EQ(VaqGetMkDetail(r.domainId, r.keyId, &detail, out, &len), 0u);
        ASSERT_EQ(len, kKeyBytes);
        for (size_t b = 0; b < kKeyBytes; ++b) keys[i * kKeyBytes + b] = static_cast<uint8_t>(~out[b]);
        OPENSSL_cleanse(out, kKeyBytes);
    }

    DumpExcludedPages chunk(1 << 20);
    std::vector<int> foundExcluded(static_cast<size_t>(count), 0);
    std::vector<std::string> foundElsewhere;
    const int mem = open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(mem, 0);
    for (const Mapping &m : mappings()) {
        if (!m.readable || needles.holds(m.from, m.to) || chunk.holds(m.from, m.to)) continue;
        for (uintptr_t at = m.from; at < m.to; at += (1 << 20) - kKeyBytes) {
            const size_t want = std::min<uintptr_t>(1 << 20, m.to - at);
            const ssize_t got = pread(mem, chunk.data(), want, static_cast<off_t>(at));
            if (got < static_cast<ssize_t>(kKeyBytes)) break;  // [vvar] and the like cannot be read
            for (ssize_t b = 0; b < got; ++b) chunk.data()[b] = static_cast<uint8_t>(~chunk.data()[b]);
            for (int32_t k = 0; k < count; ++k) {
                if (memmem(chunk.data(), static_cast<size_t>(got), keys + k * kKeyBytes, kKeyBytes) == nullptr)
                    continue;
                if (m.dumpExcluded)
                    ++foundExcluded[static_cast<size_t>(k)];
                else
                    foundElsewhere.push_back("key " + std::to_string(k) + " in a mapping at " + std::to_string(m.from));
            }
            if (at + want >= m.to) break;
        }
    }
    close(mem);
    for (int32_t k = 0; k < count; ++k)
        EXPECT_GT(foundExcluded[static_cast<size_t>(k)], 0) << "key " << k << " not found: the scan missed it";
    EXPECT_TRUE(foundElsewhere.empty()) << foundElsewhere.front() << " and " << foundElsewhere.size() - 1 << " more";
}

// Copies put back from a backup, or replaced by another keystore, while a
// process has the keystore loaded: its next change keeps the keys of both.
// A backup of this node's own keystore put back behind our back lacks keys
// made since: the change that follows keeps every key either side holds.
// (Copies of another keystore are another matter: protector_test.cpp.)
TEST_F(Keystore, ChangesOverCopiesReplacedBehindOurBackKeepEveryKey) {
    ASSERT_EQ(load(ks), 0u);
    const Bytes backup = read_bytes(ks.primary);
    uint32_t first = 0, second = 0;
    ASSERT_EQ(VaqCreateMkEx(50, &first), 0u);
    write_bytes(ks.primary, backup);
    write_bytes(ks.standby, backup);
    ASSERT_EQ(VaqCreateMkEx(50, &second), 0u);
    const auto keys = list_keys();
    ASSERT_EQ(unload(), 0u);

    ASSERT_EQ(load(ks), 0u);
    auto now = list_keys();
    EXPECT_EQ(now, keys);
    for (uint32_t id : {first, second})
        EXPECT_NE(std::find_if(now.begin(), now.end(), [&](const KeyInfo &k) { return k.id == id; }), now.end());
}

}  // namespace
