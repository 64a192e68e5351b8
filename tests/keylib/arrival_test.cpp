// SPDX-License-Identifier: Apache-2.0
// What an import or a join takes from a file that comes from elsewhere: no
// unsound key, no key deleted here unless restored, and for a join nothing
// older than what the node already chose.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdlib>
#include <ctime>

#include "keylib_fixture.h"
#include "vaq/vaq_private.h"

// PKCS5_PBKDF2_HMAC, taken over by this program (the key library binds to it
// too), at one iteration whatever the count: these tests make and open dozens
// of files whose sealing is not what they test; the export tests check the
// full work factor.
extern "C" __attribute__((visibility("default"))) int PKCS5_PBKDF2_HMAC(const char *pass, int passlen,
                                                                        const unsigned char *salt, int saltlen,
                                                                        int iter, const EVP_MD *digest, int keylen,
                                                                        unsigned char *out) {
    using Pbkdf2Fn = int (*)(const char *, int, const unsigned char *, int, int, const EVP_MD *, int, unsigned char *);
    static Pbkdf2Fn real = reinterpret_cast<Pbkdf2Fn>(dlsym(RTLD_NEXT, "PKCS5_PBKDF2_HMAC"));
    if (real == nullptr) std::abort();
    return real(pass, passlen, salt, saltlen, iter > 1 ? 1 : iter, digest, keylen, out);
}

using namespace kltest;
using tvtest::CraftedKey;
using tvtest::crafted_export;

namespace {

const std::string kPassword = "correct horse battery staple";

uint16_t format_of(const Bytes &image) { return static_cast<uint16_t>(image[8] | image[9] << 8); }

struct Arrival {
    uint32_t code = 0;
    std::vector<VaqPrivArrivalNote> notes;
    std::string refusal;
};

Arrival arrive(uint32_t how, const std::string &file, const std::vector<uint32_t> &restore = {},
               bool allowOlder = false) {
    Arrival a;
    a.notes.resize(256);
    VaqPrivArrivalReport report{};
    report.notes = a.notes.data();
    report.capacity = 256;
    const VaqPrivArrivalRules rules{restore.data(), static_cast<uint32_t>(restore.size()), allowOlder ? 1u : 0u};
    a.code = VaqPrivArriveMkFile(how, file.c_str(), reinterpret_cast<const unsigned char *>(kPassword.data()),
                                 static_cast<uint32_t>(kPassword.size()), &rules, &report);
    a.notes.resize(std::min<uint32_t>(report.noteCount, 256));
    a.refusal = report.refusal;
    return a;
}

const VaqPrivArrivalNote *find_note(const Arrival &a, uint32_t what, uint32_t domain) {
    for (const auto &n : a.notes)
        if (n.what == what && n.domain == domain) return &n;
    return nullptr;
}

class Arrivals : public ::testing::Test {
protected:
    void SetUp() override {
        reset_faults();
        clear_log();
        file = node.dir + "/arriving.vaqx";
        now = static_cast<int64_t>(std::time(nullptr));
        ASSERT_EQ(load(node), 0u);
    }
    void TearDown() override { unload(); }

    void write_export(int64_t made, const std::vector<CraftedKey> &keys) {
        write_bytes(file, crafted_export(kPassword, made, keys));
    }
    CraftedKey key(uint32_t domain, uint32_t id, bool active, int64_t created, uint32_t seed) const {
        return CraftedKey{domain, id, active, 0, created, 3650, sound_key_material(seed)};
    }
    Bytes primary() const { return read_bytes(node.primary); }
    Bytes standby() const { return read_bytes(node.standby); }

    KeystoreFiles node;
    std::string file;
    int64_t now = 0;
};

// One unsound key, or a file that no export makes, refuses the whole file,
// import and join alike, with both copies as they were and a sentence that
// names the key.
TEST_F(Arrivals, AnUnsoundKeyRefusesTheWholeFile) {
    const int64_t day = 86400;
    std::vector<uint8_t> counting(32), pattern(32);
    for (size_t i = 0; i < 32; ++i) counting[i] = static_cast<uint8_t>(i * 3);
    for (size_t i = 0; i < 32; ++i) pattern[i] = static_cast<uint8_t>("ab3"[i % 3]);
    struct Case {
        const char *name;
        int64_t made;
        CraftedKey bad;
        uint32_t code;
        const char *says;
    };
    const Case cases[] = {
        {"expired in 1971", now - day, {50, 71, true, 0, 31536000, 1, sound_key_material(71)}, VAQ_ERR_ARRIVAL_EXPIRED,
         "key 71 of domain 50 expired on 1971-01-02 00:00:00 UTC"},
        {"made next week", now - day, {50, 72, false, 0, now + 7 * day, 3650, sound_key_material(72)},
         VAQ_ERR_ARRIVAL_FUTURE, "key 72 of domain 50 is dated"},
        {"16 bytes", now - day, {50, 73, false, 0, now - day, 3650, std::vector<uint8_t>(16, 0)},
         VAQ_ERR_ARRIVAL_LENGTH, "has 16 bytes of material where its domain's keys have 32"},
        {"all zero", now - day, {50, 74, true, 0, now - day, 3650, std::vector<uint8_t>(32, 0)}, VAQ_ERR_ARRIVAL_WEAK,
         "all its 32 bytes are 0x00"},
        {"a pattern", now - day, {50, 75, false, 0, now - day, 3650, pattern}, VAQ_ERR_ARRIVAL_WEAK,
         "it repeats a pattern of 3 bytes"},
        {"counting", now - day, {50, 76, false, 0, now - day, 3650, counting}, VAQ_ERR_ARRIVAL_WEAK,
         "its bytes count in steps of 3"},
        {"unknown domain", now - day, {4000, 77, true, 0, now - day, 3650, sound_key_material(77)},
         VAQ_ERR_ARRIVAL_DOMAIN, "key 77 of domain 4000 is for a domain this keystore does not have"},
        {"second active", now - day, {51, 78, true, 0, now - day, 3650, sound_key_material(78)},
         VAQ_ERR_ARRIVAL_TWO_ACTIVE, "two keys of domain 51 active"},
        {"file dated tomorrow", now + day, {50, 79, false, 0, now - day, 3650, sound_key_material(79)},
         VAQ_ERR_ARRIVAL_FUTURE, "the file is dated"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        write_export(c.made, {key(51, 41, true, now - day, 41), c.bad});
        const Bytes p = primary(), s = standby();
        const auto keys = list_keys();
        EXPECT_EQ(VaqImportMkFileEx(file.c_str(), reinterpret_cast<const unsigned char *>(kPassword.data()),
                                    static_cast<uint32_t>(kPassword.size())),
                  c.code);
        for (uint32_t how : {VAQ_PRIV_ARRIVE_IMPORT, VAQ_PRIV_ARRIVE_JOIN}) {
            const Arrival a = arrive(how, file, {}, true);
            EXPECT_EQ(a.code, c.code);
            EXPECT_NE(a.refusal.find(c.says), std::string::npos) << a.refusal;
            ASSERT_EQ(a.notes.size(), 1u);
            EXPECT_EQ(a.notes[0].what, uint32_t{VAQ_PRIV_NOTE_REFUSED});
            EXPECT_EQ(a.notes[0].code, c.code);
        }
        EXPECT_EQ(primary(), p);
        EXPECT_EQ(standby(), s);
        EXPECT_EQ(list_keys(), keys);
    }
    // A restore that names a key the file lacks is a mistake, not a no-op.
    write_export(now - day, {key(51, 41, true, now - day, 41)});
    const Bytes p = primary();
    EXPECT_EQ(arrive(VAQ_PRIV_ARRIVE_IMPORT, file, {42}).code, uint32_t{VAQ_ERR_RESTORE_ABSENT});
    EXPECT_EQ(primary(), p);
}

// The fleet's old export replayed after a rotation and the deletion of the
// old key: nothing changes, and the notes say why; --restore brings the key
// back inactive, and the history survives a reload.
TEST_F(Arrivals, AReplayedExportAfterRotationAndDeletionChangesNothing) {
    const CraftedKey old = key(50, 501, true, now - 3 * 86400, 501);
    write_export(now - 86400, {old});
    ASSERT_EQ(arrive(VAQ_PRIV_ARRIVE_JOIN, file).code, 0u);
    ASSERT_EQ(active_of(list_keys(), 50)->id, 501u);
    const Bytes cipherUnderOld = encrypt(50, {1, 2, 3});
    uint32_t rotated = 0;
    ASSERT_EQ(VaqCreateMkEx(50, &rotated), 0u);
    ASSERT_EQ(VaqRmvMk(50, 501), 0u);
    ASSERT_EQ(unload(), 0u);
    ASSERT_EQ(load(node), 0u);
    const auto keys = list_keys();
    const Bytes p = primary(), s = standby();

    // The join: the file is older than the domain's last change here.
    reset_counters();
    Arrival joined = arrive(VAQ_PRIV_ARRIVE_JOIN, file);
    ASSERT_EQ(joined.code, 0u);
    const VaqPrivArrivalNote *older = find_note(joined, VAQ_PRIV_NOTE_OLDER_FILE, 50);
    ASSERT_NE(older, nullptr);
    EXPECT_GE(older->when, now);
    // The import: the key was deleted here.
    Arrival imported = arrive(VAQ_PRIV_ARRIVE_IMPORT, file);
    ASSERT_EQ(imported.code, 0u);
    const VaqPrivArrivalNote *held = find_note(imported, VAQ_PRIV_NOTE_HELD_BACK, 50);
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(held->keyId, 501u);
    EXPECT_EQ(find_note(imported, VAQ_PRIV_NOTE_ADDED, 50), nullptr);
    // Even a join told to take older state leaves the deleted key out.
    EXPECT_EQ(arrive(VAQ_PRIV_ARRIVE_JOIN, file, {}, true).code, 0u);
    EXPECT_EQ(write_calls(), 0u);
    EXPECT_EQ(primary(), p);
    EXPECT_EQ(standby(), s);
    EXPECT_EQ(list_keys(), keys);
    Bytes plain;
    EXPECT_NE(decrypt(50, cipherUnderOld, &plain), 0u);

    // Restored as asked: back, inactive; the rotated key stays active.
    Arrival restored = arrive(VAQ_PRIV_ARRIVE_JOIN, file, {501}, true);
    ASSERT_EQ(restored.code, 0u);
    ASSERT_NE(find_note(restored, VAQ_PRIV_NOTE_RESTORED, 50), nullptr);
    EXPECT_EQ(find_note(restored, VAQ_PRIV_NOTE_SWITCHED, 50), nullptr);
    const auto after = list_keys();
    EXPECT_EQ(active_of(after, 50)->id, rotated);
    EXPECT_EQ(after.size(), keys.size() + 1);
    ASSERT_EQ(decrypt(50, cipherUnderOld, &plain), 0u);
    EXPECT_EQ(plain, (Bytes{1, 2, 3}));
}

// A join makes no key active that is older than the one the node chose;
// a domain where the node chose nothing yet takes the file's key; told to,
// the join takes the older key.
TEST_F(Arrivals, AJoinNeverMakesAnOlderKeyActiveUnasked) {
    uint32_t chosen = 0;
    ASSERT_EQ(VaqCreateMkEx(50, &chosen), 0u);
    const std::vector<CraftedKey> fleet = {key(50, 601, true, now - 86400, 601), key(51, 602, true, now - 86400, 602)};
    // Dated after the node's choice (clocks differ by seconds), so only the
    // keys' own age counts.
    write_export(now + 60, fleet);
    Arrival joined = arrive(VAQ_PRIV_ARRIVE_JOIN, file);
    ASSERT_EQ(joined.code, 0u);
    const VaqPrivArrivalNote *older = find_note(joined, VAQ_PRIV_NOTE_OLDER_KEY, 50);
    ASSERT_NE(older, nullptr);
    EXPECT_EQ(older->keyId, 601u);
    EXPECT_EQ(older->otherKeyId, chosen);
    ASSERT_NE(find_note(joined, VAQ_PRIV_NOTE_SWITCHED, 51), nullptr);
    auto keys = list_keys();
    EXPECT_EQ(active_of(keys, 50)->id, chosen);
    EXPECT_EQ(active_of(keys, 51)->id, 602u);

    Arrival told = arrive(VAQ_PRIV_ARRIVE_JOIN, file, {}, true);
    ASSERT_EQ(told.code, 0u);
    const VaqPrivArrivalNote *switched = find_note(told, VAQ_PRIV_NOTE_SWITCHED, 50);
    ASSERT_NE(switched, nullptr);
    EXPECT_EQ(switched->otherKeyId, chosen);
    EXPECT_EQ(active_of(list_keys(), 50)->id, 601u);
}

// A copy restored behind the process's back (older, holding a key deleted
// since) does not bring the key back when the process next changes the
// keystore, and the deleted key's id is in the keystore's history on disk.
TEST_F(Arrivals, ACopyFromBeforeADeletionDoesNotBringTheKeyBack) {
    const Bytes registered = sound_key_material(700);
    ASSERT_EQ(VaqRegisterMkEx(50, 700, registered.data(), 32), 0u);
    const Bytes before = primary();
    ASSERT_EQ(VaqRmvMk(50, 700), 0u);
    EXPECT_EQ(format_of(primary()), 3u) << "a keystore that remembers a deletion is in format 3";
    write_bytes(node.primary, before);
    write_bytes(node.standby, before);
    uint32_t id = 0;
    ASSERT_EQ(VaqCreateMkEx(51, &id), 0u);
    for (const auto &k : list_keys()) EXPECT_FALSE(k.domain == 50 && k.id == 700u);
    ASSERT_EQ(unload(), 0u);
    ASSERT_EQ(load(node), 0u);
    for (const auto &k : list_keys()) EXPECT_FALSE(k.domain == 50 && k.id == 700u);
    // Registering the id again is the caller bringing it back.
    ASSERT_EQ(VaqRegisterMkEx(50, 700, registered.data(), 32), 0u);
}

}  // namespace
