// SPDX-License-Identifier: Apache-2.0
// libhxbQor.so: round trips, the cipher layout's checks, and its codes.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "keylib_fixture.h"

using namespace kltest;

namespace {

constexpr uint32_t kDomain = 50;
constexpr size_t kHeader = 28;

class Qor : public ::testing::Test {
protected:
    void SetUp() override {
        reset_faults();
        clear_log();
        ASSERT_EQ(load(ks), 0u);
    }
    void TearDown() override { unload(); }
    KeystoreFiles ks;
};

Bytes pattern(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 31 + 7);
    return b;
}

uint32_t key_id_in(const Bytes &cipher) {
    return uint32_t{cipher[8]} | uint32_t{cipher[9]} << 8 | uint32_t{cipher[10]} << 16 | uint32_t{cipher[11]} << 24;
}

TEST_F(Qor, RoundTripsIgnoringTheDecodePaddingAfterTheCipher) {
    for (size_t n : {0u, 1u, 31u, 32u, 33u, 1000u, 70000u}) {
        SCOPED_TRACE(n);
        uint32_t len = 0;
        ASSERT_EQ(QorGetCipherDataLenEx(static_cast<uint32_t>(n), &len), 0u);
        EXPECT_EQ(len, n + 44);
        Bytes plain = pattern(n);
        unsigned long rc = 0;
        Bytes cipher = encrypt(kDomain, plain, &rc);
        ASSERT_EQ(rc, 0u);
        ASSERT_EQ(cipher.size(), len);
        EXPECT_EQ(key_id_in(cipher), active_of(list_keys(), kDomain)->id);
        for (size_t padding : {0u, 4u, 5u}) {
            Bytes padded = cipher;
            padded.resize(cipher.size() + padding, 0);
            Bytes out;
            ASSERT_EQ(decrypt(kDomain, padded, &out), 0u) << "padding " << padding;
            EXPECT_EQ(out, plain);
        }
    }
    // The same plain bytes never give the same cipher: every nonce is fresh.
    EXPECT_NE(encrypt(kDomain, pattern(16)), encrypt(kDomain, pattern(16)));
    EXPECT_TRUE(error_lines().empty());
}

TEST_F(Qor, LengthsThatWouldOverflowAreRefused) {
    uint32_t len = 7;
    EXPECT_EQ(QorGetCipherDataLenEx(UINT32_MAX - 44, &len), 0u);
    EXPECT_EQ(len, UINT32_MAX);
    len = 7;
    EXPECT_EQ(QorGetCipherDataLenEx(UINT32_MAX - 43, &len), static_cast<unsigned long>(QOR_ERR_BAD_LENGTH));
    EXPECT_EQ(len, 7u);
    uint8_t byte = 0;
    uint32_t cap = 100;
    EXPECT_EQ(QorEncryptEx(kDomain, 5, &byte, UINT32_MAX, &byte, &cap), static_cast<unsigned long>(QOR_ERR_BAD_LENGTH));
    // A cipher that declares more sealed bytes than it has.
    Bytes cipher = encrypt(kDomain, pattern(10));
    cipher[24] = 0xff;
    cipher[25] = 0xff;
    cipher[26] = 0xff;
    cipher[27] = 0xff;
    EXPECT_EQ(decrypt(kDomain, cipher, nullptr, 1000), static_cast<unsigned long>(QOR_ERR_FORMAT));
}

// Flipping any byte of a cipher is caught, with the code its place calls for,
// and never a plain byte reaches the caller.
TEST_F(Qor, EveryTamperedByteIsRefusedWithoutWritingPlainBytes) {
    Bytes plain = pattern(32);
    Bytes cipher = encrypt(kDomain, plain);
    ASSERT_EQ(cipher.size(), 76u);
    for (size_t i = 0; i < cipher.size(); ++i) {
        SCOPED_TRACE(i);
        Bytes bad = cipher;
        bad[i] ^= 0x01;
        Bytes out(100, 0xAA);
        uint32_t len = 99;
        unsigned long rc = QorDecryptEx(kDomain, bad.data(), static_cast<uint32_t>(bad.size()), out.data(), &len);
        unsigned long expected;
        if (i == 0 || i == 2 || i == 3)
            expected = QOR_ERR_FORMAT;
        else if (i == 1)
            expected = QOR_ERR_BAD_ALGORITHM;
        else if (i < 8)
            expected = QOR_ERR_WRONG_DOMAIN;
        else if (i < 12)
            expected = QOR_ERR_KEY_NOT_LOADED;
        else if (i >= 24 && i < 28)
            expected = QOR_ERR_FORMAT;  // declares more than there is
        else
            expected = QOR_ERR_AUTH;
        EXPECT_EQ(rc, expected);
        EXPECT_EQ(out, Bytes(100, 0xAA));
    }
    Bytes truncated(cipher.begin(), cipher.end() - 1);
    EXPECT_EQ(decrypt(kDomain, truncated, nullptr, 100), static_cast<unsigned long>(QOR_ERR_FORMAT));
    Bytes headerOnly(cipher.begin(), cipher.begin() + kHeader - 1);
    EXPECT_EQ(decrypt(kDomain, headerOnly, nullptr, 100), static_cast<unsigned long>(QOR_ERR_FORMAT));
}

TEST_F(Qor, EachBadCallGetsItsCodeAndOneLogLine) {
    Bytes cipher = encrypt(kDomain, pattern(20));
    uint8_t buf[200];
    uint32_t len;
    struct Case {
        const char *name;
        std::function<unsigned long()> call;
        unsigned long code;
    };
    std::vector<Case> cases = {
        {"wrong domain", [&] { return decrypt(51, cipher, nullptr); }, QOR_ERR_WRONG_DOMAIN},
        {"unknown domain",
         [&] {
             unsigned long rc;
             encrypt(4242, pattern(3), &rc);
             return rc;
         },
         QOR_ERR_NO_ACTIVE_KEY},
        {"bad algorithm",
         [&] {
             len = sizeof buf;
             return QorEncryptEx(kDomain, 4, buf, 3, buf, &len);
         },
         QOR_ERR_BAD_ALGORITHM},
        {"null cipher",
         [&] {
             len = 10;
             return QorEncryptEx(kDomain, 5, buf, 3, nullptr, &len);
         },
         QOR_ERR_NULL_ARG},
        {"null plain",
         [&] {
             len = 100;
             return QorEncryptEx(kDomain, 5, nullptr, 3, buf, &len);
         },
         QOR_ERR_NULL_ARG},
        {"null length", [&] { return QorDecryptEx(kDomain, cipher.data(), 64, buf, nullptr); }, QOR_ERR_NULL_ARG},
        {"null out length", [&] { return QorGetCipherDataLenEx(3, nullptr); }, QOR_ERR_NULL_ARG},
        {"cipher buffer small",
         [&] {
             len = 46;
             return QorEncryptEx(kDomain, 5, buf, 3, buf, &len);
         },
         QOR_ERR_BUFFER_TOO_SMALL},
        {"plain buffer small", [&] { return decrypt(kDomain, cipher, nullptr, 19); }, QOR_ERR_BUFFER_TOO_SMALL},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        clear_log();
        EXPECT_EQ(c.call(), c.code);
        auto lines = log_lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].level, 2);
        EXPECT_EQ(lines[0].module, "QOR");
    }
    // Too small a buffer tells the length it needs.
    len = 46;
    QorEncryptEx(kDomain, 5, buf, 3, buf, &len);
    EXPECT_EQ(len, 47u);
    len = 19;
    QorDecryptEx(kDomain, cipher.data(), static_cast<uint32_t>(cipher.size()), buf, &len);
    EXPECT_EQ(len, 20u);
}

TEST_F(Qor, OlderKeysStillDecryptAndARemovedOneAnswers268) {
    Bytes plain = pattern(40);
    Bytes before = encrypt(kDomain, plain);
    uint32_t oldId = key_id_in(before);
    uint32_t newId = 0;
    ASSERT_EQ(VaqCreateMkEx(kDomain, &newId), 0u);
    ASSERT_NE(newId, oldId);
    Bytes after = encrypt(kDomain, plain);
    EXPECT_EQ(key_id_in(after), newId);
    Bytes out;
    ASSERT_EQ(decrypt(kDomain, before, &out), 0u);
    EXPECT_EQ(out, plain);
    ASSERT_EQ(VaqRmvMk(kDomain, oldId), 0u);
    EXPECT_EQ(decrypt(kDomain, before, &out), static_cast<unsigned long>(QOR_ERR_KEY_NOT_LOADED));
    ASSERT_EQ(decrypt(kDomain, after, &out), 0u);
    EXPECT_EQ(out, plain);
}

TEST_F(Qor, NothingWorksWithoutAKeystore) {
    Bytes cipher = encrypt(kDomain, pattern(5));
    ASSERT_EQ(unload(), 0u);
    unsigned long rc = 0;
    encrypt(kDomain, pattern(5), &rc);
    EXPECT_EQ(rc, static_cast<unsigned long>(QOR_ERR_NOT_INITIALIZED));
    EXPECT_EQ(decrypt(kDomain, cipher, nullptr), static_cast<unsigned long>(QOR_ERR_NOT_INITIALIZED));
    ASSERT_EQ(load(ks), 0u);
    Bytes out;
    EXPECT_EQ(decrypt(kDomain, cipher, &out), 0u);
}

// A reload onto another keystore leaves nothing of the old one usable: no
// cached cipher context outlives the keys it was made from.
TEST_F(Qor, AReloadOntoAnotherKeystoreDropsEveryCachedKey) {
    Bytes plain = pattern(12);
    Bytes fromA = encrypt(kDomain, plain);
    Bytes out;
    ASSERT_EQ(decrypt(kDomain, fromA, &out), 0u);
    ASSERT_EQ(unload(), 0u);
    KeystoreFiles other;
    ASSERT_EQ(load(other), 0u);
    EXPECT_EQ(decrypt(kDomain, fromA, &out), static_cast<unsigned long>(QOR_ERR_KEY_NOT_LOADED));
    Bytes fromB = encrypt(kDomain, plain);
    EXPECT_EQ(key_id_in(fromB), active_of(list_keys(), kDomain)->id);
    EXPECT_NE(key_id_in(fromB), key_id_in(fromA));
    ASSERT_EQ(unload(), 0u);
    ASSERT_EQ(load(ks), 0u);
    ASSERT_EQ(decrypt(kDomain, fromA, &out), 0u);
    EXPECT_EQ(out, plain);
    EXPECT_EQ(decrypt(kDomain, fromB, &out), static_cast<unsigned long>(QOR_ERR_KEY_NOT_LOADED));
}

// Threads decrypting while the keystore is unloaded and loaded again under
// them: each call either decrypts or says the keystore (or its key) is not
// there, and no call uses a cipher context that an unload has freed (which
// the sanitizer builds would report).
TEST_F(Qor, ThreadsDecryptWhileTheKeystoreIsUnloadedAndLoadedAgain) {
    const Bytes plain = pattern(32);
    const Bytes cipher = encrypt(kDomain, plain);
    constexpr int kThreads = 3;
    std::atomic<bool> stop{false};
    std::atomic<int> unexpected{0};
    std::atomic<long> decrypted{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            while (!stop.load()) {
                Bytes out;
                const unsigned long rc = decrypt(kDomain, cipher, &out);
                if (rc == 0 && out == plain) {
                    decrypted.fetch_add(1);
                } else if (rc != QOR_ERR_NOT_INITIALIZED && rc != QOR_ERR_KEY_NOT_LOADED) {
                    unexpected.fetch_add(1);
                }
            }
        });
    }
    // Only the load itself: registering the host table again, as load()
    // does, would write what the failing calls' log lines are reading.
    const HX_VAQ_KEYSTORE_FILES files = ks.files();
    for (int round = 0; round < 20; ++round) {
        const long before = decrypted.load();
        while (decrypted.load() < before + 3 && unexpected.load() == 0) std::this_thread::yield();
        if (unload() != 0 || IvexInitializeEx(0, &files, 0, nullptr) != 0) {
            ADD_FAILURE() << "the keystore did not unload and load again in round " << round;
            break;
        }
    }
    stop = true;
    for (auto &t : threads) t.join();
    EXPECT_EQ(unexpected.load(), 0);
    Bytes out;
    ASSERT_EQ(decrypt(kDomain, cipher, &out), 0u);
    EXPECT_EQ(out, plain);
}

// Encryption and decryption from several threads while keys are created and
// activated in the same domain: every cipher made decrypts, under whichever
// key was active when it was made.
TEST_F(Qor, ThreadsEncryptAndDecryptWhileKeysChange) {
    constexpr int kThreads = 4;
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::atomic<long> rounds{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            Bytes plain = pattern(32 + t);
            while (!stop.load()) {
                unsigned long rc = 0;
                Bytes cipher = encrypt(kDomain, plain, &rc);
                Bytes out;
                if (rc != 0 || decrypt(kDomain, cipher, &out) != 0 || out != plain) failures.fetch_add(1);
                rounds.fetch_add(1);
            }
        });
    }
    std::vector<uint32_t> created;
    for (int i = 0; i < 6; ++i) {
        uint32_t id = 0;
        ASSERT_EQ(VaqCreateMkEx(kDomain, &id), 0u);
        created.push_back(id);
        if (i % 2 == 1) {
            ASSERT_EQ(VaqActivateMk(kDomain, created[i - 1]), 0u);
        }
        long target = rounds.load() + 50;
        while (rounds.load() < target && failures.load() == 0) std::this_thread::yield();
    }
    stop = true;
    for (auto &t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(rounds.load(), 300);
}

}  // namespace
