// SPDX-License-Identifier: Apache-2.0
// Root protectors: the root material sealed apart from the keystore, so that
// the keystore files alone open nothing and a copy cannot be forged by
// writing it; unprotected keystores (format 1) still load, and a move to a
// protector is crash-safe.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>

#include "child.h"
#include "keylib_checks.h"
#include "legacy_keystore.h"
#include "vaq/vaq_private.h"

using namespace kltest;

namespace {

const Bytes kText = {'s', 'e', 'c', 'r', 'e', 't'};

struct ProtectorInfo {
    uint32_t kind = 99;
    uint32_t pcrMask = 0;
    std::string location;
};

ProtectorInfo protector_info() {
    ProtectorInfo info;
    char where[512] = {};
    EXPECT_EQ(VaqPrivProtectorInfo(&info.kind, &info.pcrMask, where, sizeof where), 0u);
    info.location = where;
    return info;
}

uint16_t u16_at(const Bytes &b, size_t at) {
    return b.size() < at + 2 ? 0xffff : static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}
uint16_t format_of(const std::string &path) { return u16_at(read_bytes(path), 8); }
uint16_t protector_of(const std::string &path) { return u16_at(read_bytes(path), 34); }

// A copy rewritten from `image`: the image, then zeros to the file's old length.
bool holds_image(const std::string &path, const Bytes &image) {
    Bytes b = read_bytes(path);
    return b.size() >= image.size() && std::equal(image.begin(), image.end(), b.begin()) &&
           std::all_of(b.begin() + image.size(), b.end(), [](uint8_t x) { return x == 0; });
}

bool is_node_secret(const std::string &path) {
    Bytes b = read_bytes(path);
    return b.size() == 44 && std::equal(b.begin(), b.begin() + 8, "HXBVAQNS");
}

bool any_line_has(const std::vector<LogLine> &lines, const std::string &text) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const LogLine &l) { return l.message.find(text) != std::string::npos; });
}

class Protector : public KeylibTest {
protected:
    // Loads ks, encrypts kText under domain 50, and unloads; the cipher and
    // the node secret's path.
    void make_keystore_with_text(KeystoreFiles &files, Bytes &cipher, std::string &secret) {
        ASSERT_EQ(load(files), 0u);
        cipher = encrypt(50, kText);
        ASSERT_FALSE(cipher.empty());
        secret = protector_info().location;
        ASSERT_EQ(unload(), 0u);
    }
    // `planted` in place of either copy of a keystore whose copies hold
    // `good`: never adopted, whatever its generation; the load keeps `keys`,
    // decrypts `cipher`, rewrites the planted copy and logs `says`.
    void expect_planted_copy_rewritten(const Bytes &good, const Bytes &planted, const std::vector<KeyInfo> &keys,
                                       const Bytes &cipher, const char *says) {
        for (const std::string *target : {&ks.standby, &ks.primary}) {
            SCOPED_TRACE(*target);
            write_bytes(ks.primary, good);
            write_bytes(ks.standby, good);
            write_bytes(*target, planted);
            clear_log();
            ASSERT_EQ(load(ks), 0u);
            EXPECT_EQ(list_keys(), keys);
            Bytes plain;
            EXPECT_EQ(decrypt(50, cipher, &plain), 0u);
            EXPECT_EQ(plain, kText);
            EXPECT_TRUE(holds_image(*target, good)) << "the planted copy was not rewritten";
            EXPECT_TRUE(any_line_has(error_lines(), says));
            ASSERT_EQ(unload(), 0u);
        }
    }
    KeystoreFiles ks;
};

TEST_F(Protector, ANewKeystoreIsSealedUnderANodeSecretOfItsOwn) {
    ASSERT_EQ(load(ks), 0u);
    ProtectorInfo info = protector_info();
    EXPECT_EQ(info.kind, uint32_t{VAQ_PRIV_PROTECTOR_FILE});
    EXPECT_EQ(info.location.rfind("/etc/telmor/vaq/ks-", 0), 0u) << info.location;
    struct stat st {};
    ASSERT_EQ(lstat(info.location.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0400u);
    EXPECT_TRUE(is_node_secret(info.location));
    for (const std::string &path : {ks.primary, ks.standby}) {
        EXPECT_EQ(format_of(path), 2u) << path;
        EXPECT_EQ(protector_of(path), 1u) << path;
    }
    const Bytes secret = read_bytes(info.location);
    const auto keys = list_keys();
    ASSERT_EQ(keys.size(), 12u);
    // The root material is nowhere in the files: the keystore's own bytes
    // do not open it (the sealed root is 68 bytes, not the 32 of format 1).
    const Bytes image = read_bytes(ks.primary);
    EXPECT_EQ(u16_at(image, 44), 68u);
    ASSERT_EQ(unload(), 0u);
    ASSERT_EQ(load(ks), 0u);
    EXPECT_EQ(list_keys(), keys);
    EXPECT_EQ(read_bytes(info.location), secret) << "a load made the secret again";

    // Every role's keystore has its secret by name.
    KeystoreFiles other;
    ASSERT_EQ(unload(), 0u);
    ASSERT_EQ(load(other), 0u);
    EXPECT_NE(protector_info().location, info.location);
    EXPECT_NE(read_bytes(protector_info().location), secret);
}

// The keystore files alone, or beside a secret that is not theirs, open
// nothing: each case answers its code with one line naming the protector, and
// neither the keystore nor the secret is written.
TEST_F(Protector, KeystoreFilesWithoutTheirSecretOpenNothingAndStayAsTheyAre) {
    Bytes cipher;
    std::string secretPath;
    make_keystore_with_text(ks, cipher, secretPath);
    KeystoreFiles other;
    ASSERT_EQ(load(other), 0u);
    const std::string otherSecret = protector_info().location;
    ASSERT_EQ(unload(), 0u);
    const Bytes primary = read_bytes(ks.primary), standby = read_bytes(ks.standby);
    const Bytes secret = read_bytes(secretPath);

    struct Case {
        const char *name;
        std::function<void()> apply;
        uint32_t code;
        const char *says;
    };
    const Case cases[] = {
        {"no secret: the files alone on a fresh node", [&] { std::remove(secretPath.c_str()); }, VAQ_ERR_SECRET_MISSING,
         "is missing"},
        {"a secret that is not a node secret", [&] { write_bytes(secretPath, Bytes(44, 0x5a)); },
         VAQ_ERR_SECRET_UNREADABLE, "is not a node secret"},
        {"an empty secret", [&] { write_bytes(secretPath, {}); }, VAQ_ERR_SECRET_UNREADABLE, "is not a node secret"},
        {"another node's secret", [&] { write_bytes(secretPath, read_bytes(otherSecret)); }, VAQ_ERR_ROOT_FOREIGN,
         "sealed under another node secret"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::remove(secretPath.c_str());
        c.apply();
        const bool hadSecret = exists(secretPath);
        const Bytes secretNow = read_bytes(secretPath);
        FreshLoad fresh = load_in_new_process(ks);
        EXPECT_EQ(fresh.code, c.code);
        EXPECT_EQ(fresh.writes, 0u);
        EXPECT_EQ(read_bytes(ks.primary), primary);
        EXPECT_EQ(read_bytes(ks.standby), standby);
        EXPECT_EQ(exists(secretPath), hadSecret);
        EXPECT_EQ(read_bytes(secretPath), secretNow);
        ASSERT_EQ(fresh.errors.size(), 1u);
        const std::string &line = fresh.errors[0];
        EXPECT_NE(line.find("file protector: "), std::string::npos) << line;
        EXPECT_NE(line.find(c.says), std::string::npos) << line;
        if (c.code != VAQ_ERR_ROOT_FOREIGN) {
            EXPECT_NE(line.find(secretPath), std::string::npos) << line;
        }
    }

    // The genuine secret back: everything opens as before.
    std::remove(secretPath.c_str());
    write_bytes(secretPath, secret);
    ASSERT_EQ(load_in_new_process(ks).code, 0u);
    ASSERT_EQ(load(ks), 0u);
    Bytes plain;
    EXPECT_EQ(decrypt(50, cipher, &plain), 0u);
    EXPECT_EQ(plain, kText);
    ASSERT_EQ(unload(), 0u);

    // Copied elsewhere on the same node, the files find no secret either.
    KeystoreFiles moved;
    write_bytes(moved.primary, primary);
    write_bytes(moved.standby, standby);
    EXPECT_EQ(load(moved), static_cast<unsigned long>(VAQ_ERR_SECRET_MISSING));
    // Nor does a process that had them open before know the secret: it keeps
    // the root only for the keystore it unsealed it for.
    EXPECT_EQ(read_bytes(moved.primary), primary);
}

// Another node's keystore, made newer than ours, put in place of one copy:
// never adopted, rewritten from our good copy; in place of both, the load
// fails and writes nothing.
TEST_F(Protector, AnotherNodesNewerKeystoreIsNeverAdopted) {
    Bytes cipher;
    std::string secretPath;
    make_keystore_with_text(ks, cipher, secretPath);
    ASSERT_EQ(load(ks), 0u);
    const auto keys = list_keys();
    ASSERT_EQ(unload(), 0u);
    const Bytes ours = read_bytes(ks.primary);

    KeystoreFiles other;
    ASSERT_EQ(load(other), 0u);
    for (int i = 0; i < 5; ++i) {
        uint32_t id = 0;
        ASSERT_EQ(VaqCreateMkEx(50, &id), 0u);
    }
    ASSERT_EQ(unload(), 0u);
    const Bytes planted = read_bytes(other.primary);

    expect_planted_copy_rewritten(ours, planted, keys, cipher, "is not this node's");

    write_bytes(ks.primary, planted);
    write_bytes(ks.standby, planted);
    reset_counters();
    EXPECT_EQ(load(ks), static_cast<unsigned long>(VAQ_ERR_ROOT_FOREIGN));
    EXPECT_EQ(write_calls(), 0u);
    EXPECT_EQ(read_bytes(ks.primary), planted);
}

void expect_keys(const std::vector<KeyInfo> &now, const std::vector<LegacyKey> &keys) {
    for (const auto &k : keys) {
        auto it = std::find_if(now.begin(), now.end(),
                               [&](const KeyInfo &m) { return m.domain == k.domain && m.id == k.id; });
        ASSERT_NE(it, now.end()) << k.id;
        EXPECT_EQ(it->material, k.material);
        EXPECT_EQ(it->active, k.active);
    }
}

// A keystore from before protectors loads as it is, is reported unprotected,
// stays in its format through changes, and moves to the file protector.
TEST_F(Protector, AnUnprotectedKeystoreLoadsAndMovesToTheFileProtector) {
    const auto keys = legacy_keys();
    const Root root = random_root();
    const Bytes image = legacy_image(5, root, keys);
    write_bytes(ks.primary, image);
    write_bytes(ks.standby, image);
    ASSERT_EQ(load(ks), 0u);
    ASSERT_EQ(VaqGetMkCount(), static_cast<int32_t>(keys.size()));
    expect_keys(list_keys(), keys);
    ProtectorInfo info = protector_info();
    EXPECT_EQ(info.kind, uint32_t{VAQ_PRIV_PROTECTOR_NONE});
    EXPECT_EQ(info.location, "");
    // A change that leaves no history keeps the format; one that does (a key
    // made active here) goes to format 3, still unprotected, and loads so.
    const Bytes registered = sound_key_material(9);
    ASSERT_EQ(VaqRegisterMkEx(50, 9, registered.data(), 32), 0u);
    EXPECT_EQ(format_of(ks.primary), 1u);
    uint32_t added = 0;
    ASSERT_EQ(VaqCreateMkEx(51, &added), 0u);
    for (const std::string &path : {ks.primary, ks.standby}) {
        EXPECT_EQ(format_of(path), 3u);
        EXPECT_EQ(protector_of(path), 0u);
    }
    const Bytes cipher = encrypt(51, kText);
    const auto before = list_keys();
    ASSERT_EQ(unload(), 0u);
    ASSERT_EQ(load(ks), 0u);
    EXPECT_EQ(protector_info().kind, uint32_t{VAQ_PRIV_PROTECTOR_NONE});
    EXPECT_EQ(list_keys(), before);

    ASSERT_EQ(VaqPrivProtect(VAQ_PRIV_PROTECTOR_FILE, 0), 0u);
    info = protector_info();
    EXPECT_EQ(info.kind, uint32_t{VAQ_PRIV_PROTECTOR_FILE});
    EXPECT_TRUE(is_node_secret(info.location));
    for (const std::string &path : {ks.primary, ks.standby}) {
        EXPECT_EQ(format_of(path), 3u);
        EXPECT_EQ(protector_of(path), 1u);
    }
    EXPECT_EQ(list_keys(), before);
    reset_counters();
    EXPECT_EQ(VaqPrivProtect(VAQ_PRIV_PROTECTOR_FILE, 0), 0u);
    EXPECT_EQ(write_calls(), 0u) << "a move to the protector it has wrote";
    EXPECT_EQ(VaqPrivProtect(VAQ_PRIV_PROTECTOR_FILE, 1), static_cast<unsigned long>(VAQ_ERR_BAD_ARG));
    EXPECT_EQ(VaqPrivProtect(7, 0), static_cast<unsigned long>(VAQ_ERR_BAD_ARG));
    ASSERT_EQ(unload(), 0u);

    ASSERT_EQ(load(ks), 0u);
    EXPECT_EQ(list_keys(), before);
    Bytes plain;
    EXPECT_EQ(decrypt(51, cipher, &plain), 0u);
    EXPECT_EQ(plain, kText);
    ASSERT_EQ(unload(), 0u);

    // The unprotected image of before, even made newer, is never taken back.
    const Bytes protectedImage = read_bytes(ks.primary);
    write_bytes(ks.standby, legacy_image(1000, root, keys));
    clear_log();
    ASSERT_EQ(load(ks), 0u);
    EXPECT_EQ(list_keys(), before);
    EXPECT_EQ(read_bytes(ks.standby), protectedImage);
    ASSERT_EQ(unload(), 0u);

    // And the files alone no longer open.
    std::remove(info.location.c_str());
    EXPECT_EQ(load_in_new_process(ks).code, static_cast<unsigned long>(VAQ_ERR_SECRET_MISSING));
}

// A move renews the root: the root that a copy from before the move holds
// (a backup of the unprotected keystore, where it is in the file) opens no
// key of the moved keystore, nor a key made since, and a newer protected
// copy forged with it does not verify: it is rewritten from the good copy,
// and in place of both copies it opens nothing.
TEST_F(Protector, AMoveRetiresTheRootThatCopiesFromBeforeItHold) {
    const auto keys = legacy_keys();
    const Root oldRoot = random_root();
    const Bytes backup = legacy_image(5, oldRoot, keys);
    ASSERT_TRUE(trailer_opens(backup, oldRoot));
    ASSERT_EQ(keys_opened(backup, oldRoot), keys.size());
    write_bytes(ks.primary, backup);
    write_bytes(ks.standby, backup);
    ASSERT_EQ(load(ks), 0u);
    ASSERT_EQ(VaqPrivProtect(VAQ_PRIV_PROTECTOR_FILE, 0), 0u);
    uint32_t madeAfter = 0;
    ASSERT_EQ(VaqCreateMkEx(50, &madeAfter), 0u);
    const auto held = list_keys();
    const Bytes cipher = encrypt(50, kText);
    ASSERT_EQ(unload(), 0u);
    const Bytes moved = read_bytes(ks.primary);
    EXPECT_FALSE(trailer_opens(moved, oldRoot));
    EXPECT_EQ(keys_opened(moved, oldRoot), 0u);

    const Bytes forged = forged_protected_image(1000, moved, oldRoot, legacy_keys());
    expect_planted_copy_rewritten(moved, forged, held, cipher, "fails verification");
    write_bytes(ks.primary, forged);
    write_bytes(ks.standby, forged);
    FreshLoad fresh = load_in_new_process(ks);
    EXPECT_EQ(fresh.code, static_cast<unsigned long>(VAQ_ERR_KEYSTORE_CORRUPT));
    EXPECT_EQ(fresh.writes, 0u);
    EXPECT_EQ(read_bytes(ks.primary), forged);
}

// Once the keystore is protected on this node, an unprotected copy (anyone
// who can write the keystore directory can make one) is never taken, whether
// it is the only copy or lies beside a protected copy that cannot be opened
// now: the load fails with the real cause, writes nothing, and says why.
TEST_F(Protector, AnUnprotectedCopyIsNeverTakenWhereTheKeystoreIsProtected) {
    const auto keys = legacy_keys();
    write_bytes(ks.primary, legacy_image(5, random_root(), keys));
    write_bytes(ks.standby, read_bytes(ks.primary));
    ASSERT_EQ(load(ks), 0u);
    ASSERT_EQ(VaqPrivProtect(VAQ_PRIV_PROTECTOR_FILE, 0), 0u);
    const std::string secretPath = protector_info().location;
    ASSERT_EQ(unload(), 0u);
    const Bytes protectedImage = read_bytes(ks.primary), secret = read_bytes(secretPath);
    const Bytes planted = legacy_image(1000, random_root(), legacy_keys());
    Bytes damaged = protectedImage;
    damaged[damaged.size() - 40] ^= 1;

    struct Case {
        const char *name;
        const Bytes *primary, *standby;  // null: no such file
        std::function<void()> secretNow;
        uint32_t code;
        std::string says;
    };
    const auto keepSecret = [] {};
    const auto noSecret = [&] { std::remove(secretPath.c_str()); };
    const Case cases[] = {
        {"both copies unprotected", &planted, &planted, keepSecret, VAQ_ERR_ROOT_FOREIGN,
         "unprotected keystore copy is refused (this keystore is protected on this node: node secret " + secretPath},
        {"the only copy unprotected", &planted, nullptr, keepSecret, VAQ_ERR_ROOT_FOREIGN,
         "node secret " + secretPath},
        {"both copies unprotected and the secret gone", &planted, &planted, noSecret, VAQ_ERR_ROOT_FOREIGN,
         "protection mark " + protection_mark(secretPath, ".protected")},
        {"beside a protected copy, the secret unreadable", &protectedImage, &planted,
         [&] {
             std::remove(secretPath.c_str());
             write_bytes(secretPath, Bytes(44, 0x5a));
         },
         VAQ_ERR_SECRET_UNREADABLE, "node secret " + secretPath + " cannot be read"},
        {"beside a protected copy, the secret missing", &planted, &protectedImage, noSecret, VAQ_ERR_SECRET_MISSING,
         "node secret " + secretPath + " is missing"},
        {"beside a damaged protected copy", &damaged, &planted, keepSecret, VAQ_ERR_KEYSTORE_CORRUPT,
         "no valid keystore copy"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::remove(ks.standby.c_str());
        write_bytes(ks.primary, *c.primary);
        if (c.standby) write_bytes(ks.standby, *c.standby);
        std::remove(secretPath.c_str());
        write_bytes(secretPath, secret);
        c.secretNow();
        FreshLoad fresh = load_in_new_process(ks);
        EXPECT_EQ(fresh.code, c.code);
        EXPECT_EQ(fresh.writes, 0u);
        EXPECT_EQ(read_bytes(ks.primary), *c.primary);
        EXPECT_EQ(exists(ks.standby), c.standby != nullptr);
        if (c.standby) {
            EXPECT_EQ(read_bytes(ks.standby), *c.standby);
        }
        ASSERT_EQ(fresh.errors.size(), 1u);
        EXPECT_NE(fresh.errors[0].find(c.says), std::string::npos) << fresh.errors[0];
        EXPECT_EQ(fresh.errors[0].find("fails verification"), std::string::npos) << fresh.errors[0];
    }

    // The genuine copies back, beside the unprotected one: it is rewritten.
    std::remove(secretPath.c_str());
    write_bytes(secretPath, secret);
    write_bytes(ks.primary, protectedImage);
    write_bytes(ks.standby, planted);
    ASSERT_EQ(load(ks), 0u);
    EXPECT_EQ(protector_info().kind, uint32_t{VAQ_PRIV_PROTECTOR_FILE});
    EXPECT_TRUE(holds_image(ks.standby, protectedImage));
}

// Two valid unprotected copies with different root material: anyone who can
// write one could have made it, so the newer is taken only if it holds every
// key of the older with the same material.
TEST_F(Protector, UnprotectedCopiesWithOtherRootMaterialAreAdoptedOnlyIfTheyKeepEveryKey) {
    const auto keys = legacy_keys();
    const Root root = random_root(), otherRoot = random_root();
    const Bytes primary = legacy_image(5, root, keys);

    auto extra = keys;
    extra.push_back({50, 77, false, Bytes(32, 0x11)});
    auto altered = keys;
    altered[3].material[0] ^= 1;
    const auto strangers = legacy_keys();
    const std::vector<LegacyKey> lessOne(keys.begin() + 1, keys.end());
    struct Case {
        const char *name;
        const Root &root;
        const std::vector<LegacyKey> &standbyKeys;
        bool adopted;
    };
    const Case cases[] = {
        {"other root, other keys", otherRoot, strangers, false},
        {"other root, one key's material changed", otherRoot, altered, false},
        {"other root, a key less", otherRoot, lessOne, false},
        {"other root, every key and one more", otherRoot, extra, true},
        {"same root, a key less", root, lessOne, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes standby = legacy_image(9, c.root, c.standbyKeys);
        write_bytes(ks.primary, primary);
        write_bytes(ks.standby, standby);
        clear_log();
        reset_counters();
        if (c.adopted) {
            ASSERT_EQ(load(ks), 0u);
            expect_keys(list_keys(), c.standbyKeys);
            uint32_t good = 0;
            ASSERT_EQ(VaqCheckKeyStore(0, &good), 0u);
            EXPECT_EQ(good, 3u);
        } else {
            EXPECT_EQ(load(ks), static_cast<unsigned long>(VAQ_ERR_UNVERIFIABLE_COPY));
            EXPECT_EQ(write_calls(), 0u);
            EXPECT_EQ(read_bytes(ks.primary), primary);
            EXPECT_EQ(read_bytes(ks.standby), standby);
            EXPECT_EQ(error_lines().size(), 1u);
        }
        unload();
    }
}

TEST_F(Protector, RootRenewalSealsTheNewRootUnderTheSameSecret) {
    Bytes cipher;
    std::string secretPath;
    make_keystore_with_text(ks, cipher, secretPath);
    const Bytes secret = read_bytes(secretPath);
    const Bytes before = read_bytes(ks.primary);
    ASSERT_EQ(load(ks), 0u);
    const auto keys = list_keys();
    ASSERT_EQ(VaqUpdateRootKey(nullptr, 0), 0u);
    ASSERT_EQ(unload(), 0u);
    const Bytes after = read_bytes(ks.primary);
    EXPECT_EQ(protector_of(ks.primary), 1u);
    EXPECT_FALSE(std::equal(before.begin() + 56, before.begin() + 124, after.begin() + 56))
        << "the sealed root did not change";
    EXPECT_EQ(read_bytes(secretPath), secret);
    ASSERT_EQ(load(ks), 0u);
    EXPECT_EQ(list_keys(), keys);
    Bytes plain;
    EXPECT_EQ(decrypt(50, cipher, &plain), 0u);
}

// Taking in another process's change reads the node secret only when the
// sealed root changed: the unsealed root is kept while it stays the same.
TEST_F(Protector, TakingInAChangeOpensTheSecretOnlyWhenTheSealedRootChanged) {
    record_opened_paths(true);
    ASSERT_EQ(load(ks), 0u);
    const std::string secretPath = protector_info().location;
    auto secret_reads = [&] {
        auto paths = opened_paths();
        return std::count(paths.begin(), paths.end(), secretPath);
    };
    uint32_t child = 0;
    ASSERT_EQ(tvtest::run_in_child([&] {
                  unload();
                  if (load(ks) != 0 || VaqCreateMkEx(101, &child) != 0) return 1;
                  return static_cast<int>(unload());
              }),
              0);
    reset_counters();
    uint32_t mine = 0;
    ASSERT_EQ(VaqCreateMkEx(102, &mine), 0u);
    EXPECT_EQ(VaqGetMkCount(), 14);
    EXPECT_EQ(secret_reads(), 0);

    ASSERT_EQ(tvtest::run_in_child([&] {
                  unload();
                  if (load(ks) != 0 || VaqUpdateRootKey(nullptr, 0) != 0) return 1;
                  return static_cast<int>(unload());
              }),
              0);
    reset_counters();
    ASSERT_EQ(VaqCreateMkEx(103, &mine), 0u);
    EXPECT_EQ(secret_reads(), 1);
    EXPECT_EQ(VaqGetMkCount(), 15);

    // A reload (unload and load, as after another process's announcement)
    // of the same sealed root does not read the secret either.
    const auto keys = list_keys();
    ASSERT_EQ(unload(), 0u);
    reset_counters();
    ASSERT_EQ(load(ks), 0u);
    EXPECT_EQ(list_keys(), keys);
    EXPECT_EQ(secret_reads(), 0);
}

TEST_F(Protector, WithNowhereToMakeTheSecretANewKeystoreIsNotStarted) {
    ASSERT_EQ(rmdir("/etc/telmor/vaq"), 0);
    EXPECT_EQ(load(ks), static_cast<unsigned long>(VAQ_ERR_SECRET_CREATE));
    EXPECT_FALSE(exists(ks.primary));
    EXPECT_FALSE(exists(ks.standby));
    auto errors = error_lines();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].message.find("'telmor-vaq init'"), std::string::npos) << errors[0].message;

    // A secret cut short by a crash before any keystore used it is made again.
    ASSERT_EQ(mkdir("/etc/telmor/vaq", 0700), 0);
    ASSERT_EQ(load(ks), 0u);
    const std::string secretPath = protector_info().location;
    ASSERT_EQ(unload(), 0u);
    for (const std::string &f : {ks.primary, ks.standby, secretPath}) std::remove(f.c_str());
    write_bytes(secretPath, Bytes(10, 0x48));
    ASSERT_EQ(load(ks), 0u);
    EXPECT_TRUE(is_node_secret(secretPath));
}

// A move to a protector cut (power lost) after every file operation in turn,
// and failing at each one: the keystore always loads afterwards with every
// key, under the old protector or the new one, never under a secret that did
// not reach the disk.
class ProtectCut : public Protector, public ::testing::WithParamInterface<bool> {};

TEST_P(ProtectCut, EveryFileOperationOfAMoveLeavesTheOldOrTheNewProtector) {
    const bool torn = GetParam();
    const auto keys = legacy_keys();
    const Bytes image = legacy_image(5, random_root(), keys);
    std::string secretPath;
    auto prepare = [&] {
        write_bytes(ks.primary, image);
        write_bytes(ks.standby, image);
        if (!secretPath.empty()) forget_protection(secretPath);
        ASSERT_EQ(load(ks, 3), 0u);
    };
    prepare();
    const auto before = list_keys();
    reset_counters();
    ASSERT_EQ(VaqPrivProtect(VAQ_PRIV_PROTECTOR_FILE, 0), 0u);
    const uint64_t ops = file_ops();
    secretPath = protector_info().location;
    ASSERT_EQ(unload(), 0u);

    int sawOld = 0, sawNew = 0;
    for (uint64_t n = 1; n <= ops + 1; ++n) {
        for (bool fail : {false, true}) {
            SCOPED_TRACE(testing::Message() << "operation " << n << (fail ? " fails" : " then cut"));
            prepare();
            reset_counters();
            arm_fault(n, fail, torn);
            VaqPrivProtect(VAQ_PRIV_PROTECTOR_FILE, 0);
            unload();
            reset_faults();

            // A process that never saw the root opens what the disk holds.
            ASSERT_EQ(load_in_new_process(ks, 3).code, 0u);
            ASSERT_EQ(load(ks, 3), 0u);
            EXPECT_EQ(list_keys(), before);
            const uint32_t kind = protector_info().kind;
            if (kind == VAQ_PRIV_PROTECTOR_FILE) {
                ++sawNew;
                EXPECT_TRUE(is_node_secret(secretPath));
            } else {
                EXPECT_EQ(kind, uint32_t{VAQ_PRIV_PROTECTOR_NONE});
                ++sawOld;
            }
            uint32_t good = 0;
            ASSERT_EQ(VaqCheckKeyStore(0, &good), 0u);
            EXPECT_EQ(good, 3u) << "the load left a copy unrepaired";
            // Moving again after the cut completes the move.
            ASSERT_EQ(VaqPrivProtect(VAQ_PRIV_PROTECTOR_FILE, 0), 0u);
            ASSERT_EQ(unload(), 0u);
            ASSERT_EQ(load(ks, 3), 0u);
            EXPECT_EQ(protector_info().kind, uint32_t{VAQ_PRIV_PROTECTOR_FILE});
            EXPECT_EQ(list_keys(), before);
            ASSERT_EQ(unload(), 0u);
        }
    }
    std::printf("move of %llu file operations: %d cases found the old protector, %d the new\n",
                static_cast<unsigned long long>(ops), sawOld, sawNew);
    EXPECT_GT(sawOld, 0);
    EXPECT_GT(sawNew, 0);
}

INSTANTIATE_TEST_SUITE_P(Cuts, ProtectCut, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "Torn" : "Clean"; });

}  // namespace
