// SPDX-License-Identifier: Apache-2.0
// Every exported operation of both key libraries, run once for each
// allocation it makes, with that allocation failing (alloc_hook.h: malloc and
// friends, operator new, OpenSSL's allocations). Each run must answer 0 or a
// clean error code; a failed run must leave the keystore in memory and on disk
// as it was and hand nothing out; memory and disk must agree after every run;
// and the first run that gets all its memory must succeed. In the asan build
// the leak checker sees every run.
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <set>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "alloc_figures.h"
#include "alloc_hook.h"
#include "child.h"
#include "keystore_states.h"
#include "sanitizer.h"

using namespace kltest;
using namespace reltest;

namespace {

constexpr size_t kDomainCount = 3;  // 150, 151, 152
constexpr uint32_t kDomain = 151;
const unsigned char kPassword[] = "allocation loop";
constexpr uint32_t kPasswordLen = sizeof kPassword - 1;

const std::set<unsigned long> kVaqCodes = {0, VAQ_ERR_NO_MEMORY, VAQ_ERR_IO, VAQ_ERR_ENTROPY, VAQ_ERR_CRYPTO,
                                           VAQ_ERR_INTERNAL,
                                           // the node secret could not be read: its open failed
                                           VAQ_ERR_SECRET_UNREADABLE};
const std::set<unsigned long> kQorCodes = {0, QOR_ERR_CRYPTO, QOR_ERR_ENTROPY};

std::vector<reltest::AllocFigures> g_figures;

class AllocKeylib : public ::testing::Test {
protected:
    static void TearDownTestSuite() { reltest::print_alloc_figures(g_figures, 36); }

    void SetUp() override {
        host_table();
        reset_faults();
        ASSERT_EQ(load(ks_, kDomainCount), 0u);
        uint32_t id = 0;
        ASSERT_EQ(VaqCreateMkEx(kDomain, &id), 0u);  // the first key of kDomain is now inactive
        inactiveId_ = keys_of(list_keys(), kDomain).at(0).id;
        ASSERT_EQ(unload(), 0u);
        healthy_ = save_pair(ks_);
    }
    void TearDown() override {
        alloc::fail_allocation(0);
        unload();
    }

    // The keystore as a fresh load reads it, the process's own state left
    // unloaded.
    Snapshot disk_state() {
        EXPECT_EQ(unload(), 0u);
        EXPECT_EQ(load(ks_, kDomainCount), 0u);
        return snapshot();
    }

    struct Op {
        std::string name;
        // Disarmed: brings the process to the operation's starting state.
        std::function<void()> prepare;
        // Armed: the operation itself.
        std::function<unsigned long()> run;
        const std::set<unsigned long> *codes = &kVaqCodes;
        // Disarmed, after the run: whatever else the operation owes.
        std::function<void(unsigned long code, bool faulted)> check;
        // The keystore may change: memory and disk are compared after every
        // run, and a failed run must leave both as they were.
        bool keystoreMayChange = false;
        // Blocks that prepare() made and the run releases whatever it answers
        // (a Worker's thread state).
        int64_t releasedByRun = 0;
    };

    void loop(const Op &op);

    KeystoreFiles ks_;
    PairImage healthy_;
    uint32_t inactiveId_ = 0;
};

void AllocKeylib::loop(const Op &op) {
    SCOPED_TRACE(op.name);
    reltest::AllocFigures fig{op.name};
    for (uint64_t k = 1;; ++k) {
        ASSERT_LT(k, 20000u) << "the operation never stops allocating";
        op.prepare();
        const Snapshot before = op.keystoreMayChange ? snapshot() : Snapshot{};
        const PairImage filesBefore = save_pair(ks_);
        // The test host keeps its log in memory, and OpenSSL its error queue.
        clear_log();
        ERR_clear_error();
        const int64_t liveBefore = alloc::live_blocks();

        alloc::fail_allocation(k);
        const unsigned long code = op.run();
        const uint64_t seen = alloc::allocations_seen();
        alloc::fail_allocation(0);
        clear_log();
        ERR_clear_error();
        const int64_t liveAfter = alloc::live_blocks();

        const bool faulted = seen >= k;
        SCOPED_TRACE("allocation " + std::to_string(k) + " of " + std::to_string(seen) + ", answer " +
                     std::to_string(code));
        EXPECT_TRUE(op.codes->count(code)) << "not a clean answer";
        if (op.check) op.check(code, faulted);
        if (faulted && code != 0) {
            EXPECT_EQ(liveAfter, liveBefore - op.releasedByRun) << "a failed run kept memory";
        }
        if (op.keystoreMayChange) {
            const Snapshot inMemory = snapshot();
            if (faulted && code != 0) {
                EXPECT_EQ(inMemory, before) << "a failed run changed the keystore in memory";
                const PairImage filesAfter = save_pair(ks_);
                EXPECT_TRUE(filesAfter.primary == filesBefore.primary && filesAfter.standby == filesBefore.standby)
                    << "a failed run changed the keystore on disk";
            }
            EXPECT_EQ(disk_state(), inMemory) << "memory and disk disagree";
        }
        if (!faulted) {
            EXPECT_EQ(code, 0u) << "the run that got all its memory failed";
            break;
        }
        ++fig.failedRuns;
        fig.absorbed += code == 0;
        if (HasFatalFailure()) return;
    }
    g_figures.push_back(fig);
}

// A thread made before the run (making one allocates) that runs one call
// when told to and has ended, its per-thread state released, when run()
// returns.
class Worker {
public:
    void start(std::function<unsigned long()> fn) {
        fn_ = std::move(fn);
        go_ = false;
        started_ = false;
        thread_ = std::thread([this] {
            std::unique_lock<std::mutex> lock(mutex_);
            started_ = true;
            wake_.notify_all();
            wake_.wait(lock, [this] { return go_; });
            lock.unlock();
            code_ = fn_();
        });
        // The thread's own start-up (a sanitizer's included) allocates: it is
        // over before the run is armed.
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return started_; });
    }
    unsigned long run() {
        {
            std::lock_guard<std::mutex> g(mutex_);
            go_ = true;
        }
        wake_.notify_all();
        thread_.join();
        return code_;
    }

private:
    std::function<unsigned long()> fn_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool go_ = false;
    bool started_ = false;
    unsigned long code_ = 1;
};

// The starting state of most operations: the healthy pair, loaded.
void load_healthy(KeystoreFiles &ks, const PairImage &healthy) {
    unload();
    restore_pair(ks, healthy);
    ASSERT_EQ(load(ks, kDomainCount), 0u);
}

TEST_F(AllocKeylib, LoadAndUnload) {
    loop({"IvexRegFuncEx + IvexInitializeEx",
          [&] {
              unload();
              restore_pair(ks_, healthy_);
          },
          [&] {
              HX_VAQ_KEYSTORE_FILES files = ks_.files();
              unsigned long rc = IvexRegFuncEx(host_table());
              return rc != 0 ? rc : IvexInitializeEx(0, &files, 0, nullptr);
          },
          &kVaqCodes,
          [&](unsigned long code, bool) {
              const PairImage now = save_pair(ks_);
              EXPECT_TRUE(now.primary == healthy_.primary && now.standby == healthy_.standby)
                  << "a load of a healthy pair wrote";
              if (code != 0) {
                  EXPECT_EQ(IvexSetRole(1), static_cast<unsigned long>(VAQ_ERR_NOT_INITIALIZED))
                      << "a failed load left a keystore loaded";
              }
          }});
    loop({"IvexFinalizeEx", [&] { load_healthy(ks_, healthy_); }, [] { return IvexFinalizeEx(); }, &kVaqCodes,
          [](unsigned long, bool) { EXPECT_EQ(IvexSetRole(1), static_cast<unsigned long>(VAQ_ERR_NOT_INITIALIZED)); }});
}

TEST_F(AllocKeylib, DomainsAndTheirFirstKey) {
    VaqDomainRecord d{};
    d.domainId = 100;
    d.attr = 1;
    std::strcpy(d.name, "CHAP_TRANSFER");
    VaqKeyTypeRecord kt{};
    kt.keyType = 3;
    kt.keyAttr = 112;
    kt.lifeDays = 3650;
    loop({"VaqRmvDomainEx", [&] { load_healthy(ks_, healthy_); }, [] { return VaqRmvDomainEx(150); }});
    loop({"VaqAddDomainEx", [&] { load_healthy(ks_, healthy_); }, [&] { return VaqAddDomainEx(&d); }});
    Op first{"VaqAddDomainKeyTypeEx (first key)",
             [&] {
                 load_healthy(ks_, healthy_);
                 ASSERT_EQ(VaqAddDomainEx(&d), 0u);
             },
             [&] { return VaqAddDomainKeyTypeEx(100, &kt); }};
    first.keystoreMayChange = true;
    first.check = [&](unsigned long code, bool) {
        if (code == 0) {
            EXPECT_EQ(keys_of(list_keys(), 100).size(), 1u);
        }
    };
    loop(first);
}

TEST_F(AllocKeylib, Queries) {
    auto prepare = [&] { load_healthy(ks_, healthy_); };
    loop({"VaqGetMkCount", prepare, [] { return static_cast<unsigned long>(VaqGetMkCount() == 4 ? 0 : 1); }});
    loop({"VaqGetMk", prepare, [] {
              VaqMkRecord r{};
              return VaqGetMk(0, &r);
          }});
    loop({"VaqGetMkDetail", prepare, [&] {
              VaqMkRecord r{};
              uint8_t key[256];
              uint32_t len = sizeof key;
              return VaqGetMkDetail(kDomain, inactiveId_, &r, key, &len);
          }});
    loop({"VaqGetDomainCount", prepare, [] { return static_cast<unsigned long>(VaqGetDomainCount() == 3 ? 0 : 1); }});
    loop({"VaqGetDomain", prepare, [] {
              VaqDomainRecord r{};
              return VaqGetDomain(0, &r);
          }});
    loop({"VaqGetRootKeyInfo", prepare, [] {
              VaqRootKeyRecord r{};
              return VaqGetRootKeyInfo(&r);
          }});
    loop({"VaqGetRootKeyCfg", prepare, [] {
              VaqRootKeyCfgRecord r{};
              return VaqGetRootKeyCfg(&r);
          }});
    loop({"IvexSetRole", prepare, [] { return IvexSetRole(1); }});
}

TEST_F(AllocKeylib, MasterKeyLifecycle) {
    auto prepare = [&] { load_healthy(ks_, healthy_); };
    uint32_t created = 0;
    Op create{"VaqCreateMkEx", prepare, [&] {
                  created = 0xA5A5A5A5;
                  return VaqCreateMkEx(kDomain, &created);
              }};
    create.check = [&](unsigned long code, bool) {
        if (code != 0) {
            EXPECT_EQ(created, 0xA5A5A5A5u) << "a failed create handed out an id";
        } else {
            const auto keys = list_keys();
            const KeyInfo *a = active_of(keys, kDomain);
            ASSERT_NE(a, nullptr);
            EXPECT_EQ(a->id, created);
        }
    };
    const Bytes material(48, 0x3c);
    Op reg{"VaqRegisterMkEx", prepare, [&] { return VaqRegisterMkEx(kDomain, 777001, material.data(), 48); }};
    Op activate{"VaqActivateMk", prepare, [&] { return VaqActivateMk(kDomain, inactiveId_); }};
    Op remove{"VaqRmvMk", prepare, [&] { return VaqRmvMk(kDomain, inactiveId_); }};
    Op root{"VaqUpdateRootKey", prepare, [] { return VaqUpdateRootKey(nullptr, 0); }};
    for (Op *op : {&create, &reg, &activate, &remove, &root}) {
        op->keystoreMayChange = true;
        loop(*op);
    }
}

TEST_F(AllocKeylib, CheckWithRepairOverAStaleStandby) {
    load_healthy(ks_, healthy_);
    ASSERT_EQ(VaqRegisterMkEx(152, 4242, Bytes(32, 0x42).data(), 32), 0u);
    ASSERT_EQ(unload(), 0u);
    PairImage stale = save_pair(ks_);
    stale.standby = healthy_.standby;
    Op check{"VaqCheckKeyStore (repair)",
             [&] {
                 unload();
                 restore_pair(ks_, stale);
                 // The load itself would repair the standby: put it back after.
                 ASSERT_EQ(load(ks_, kDomainCount), 0u);
                 restore_pair(ks_, stale);
             },
             [] {
                 uint32_t good = 0;
                 return VaqCheckKeyStore(1, &good);
             }};
    check.check = [&](unsigned long code, bool) {
        const PairImage now = save_pair(ks_);
        EXPECT_EQ(now.primary, stale.primary) << "the good copy was touched";
        if (code == 0) {
            EXPECT_EQ(image_of(now.standby), image_of(stale.primary));
        }
        EXPECT_NE(find_key(snapshot(), 152, 4242), nullptr);
    };
    loop(check);
}

// A small keystore, so that the runs that get past the key derivation at full
// work factor stay few.
TEST_F(AllocKeylib, ExportAndImport) {
    KeystoreFiles small;
    ASSERT_EQ(load(small, 1), 0u);
    const std::string file = small.dir + "/keys.export";
    const auto exported = list_keys();
    ASSERT_EQ(VaqExportMkFileEx(file.c_str(), kPassword, kPasswordLen, 0), 0u);
    const PairImage smallPair = save_pair(small);
    ASSERT_EQ(unload(), 0u);

    const std::string out = small.dir + "/out.export";
    Op exp{"VaqExportMkFileEx",
           [&] {
               unload();
               restore_pair(small, smallPair);
               ASSERT_EQ(load(small, 1), 0u);
               std::remove(out.c_str());
           },
           [&] { return VaqExportMkFileEx(out.c_str(), kPassword, kPasswordLen, 0); }};
    exp.check = [&](unsigned long code, bool) {
        if (code != 0) {
            EXPECT_FALSE(exists(out)) << "a failed export left a file";
        }
    };
    loop(exp);

    Op imp{"VaqImportMkFileEx", [&] { load_healthy(ks_, healthy_); },
           [&] { return VaqImportMkFileEx(file.c_str(), kPassword, kPasswordLen); }};
    imp.keystoreMayChange = true;
    imp.check = [&](unsigned long code, bool) {
        if (code == 0) {
            EXPECT_NE(find_key(snapshot(), exported[0].domain, exported[0].id), nullptr);
        }
    };
    loop(imp);
}

// Encryption and decryption, each in a thread of its own so that the
// per-thread caches are built inside the run.
TEST_F(AllocKeylib, EncryptAndDecrypt) {
    load_healthy(ks_, healthy_);
    const Bytes plain = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    const Bytes cipher = encrypt(kDomain, plain);
    ASSERT_FALSE(cipher.empty());
    Worker worker;

    loop({"QorGetCipherDataLenEx", [] {},
          [] {
              uint32_t n = 0;
              return QorGetCipherDataLenEx(100, &n);
          },
          &kQorCodes});

    Bytes out(plain.size() + 44);
    uint32_t outLen = 0;
    Op enc{"QorEncryptEx (new thread)",
           [&] {
               worker.start([&] {
                   outLen = static_cast<uint32_t>(out.size());
                   return QorEncryptEx(kDomain, QOR_ALG_AES256_GCM, plain.data(), static_cast<uint32_t>(plain.size()),
                                       out.data(), &outLen);
               });
           },
           [&] { return worker.run(); }, &kQorCodes};
    enc.releasedByRun = 1;
    enc.check = [&](unsigned long code, bool) {
        if (code != 0) return;
        Bytes got;
        EXPECT_EQ(decrypt(kDomain, Bytes(out.begin(), out.begin() + outLen), &got), 0u);
        EXPECT_EQ(got, plain);
    };
    loop(enc);

    Bytes plainOut(cipher.size());
    uint32_t plainLen = 0;
    Op dec{"QorDecryptEx (new thread)",
           [&] {
               std::fill(plainOut.begin(), plainOut.end(), 0xEE);
               worker.start([&] {
                   plainLen = static_cast<uint32_t>(plainOut.size());
                   return QorDecryptEx(kDomain, cipher.data(), static_cast<uint32_t>(cipher.size()), plainOut.data(),
                                       &plainLen);
               });
           },
           [&] { return worker.run(); }, &kQorCodes};
    dec.releasedByRun = 1;
    dec.check = [&](unsigned long code, bool) {
        if (code == 0) {
            EXPECT_EQ(Bytes(plainOut.begin(), plainOut.begin() + plainLen), plain);
        } else {
            EXPECT_EQ(std::count(plainOut.begin(), plainOut.end(), 0xEE), static_cast<long>(plainOut.size()))
                << "a failed decryption wrote plain bytes";
        }
    };
    loop(dec);
}

// The first use of the key libraries and of OpenSSL in a process, with each
// allocation failing in turn: the process must recover once memory is there
// again. Each run is a child of its own, forked before anything was used.
TEST(AllocFirstUse, AProcessRecoversFromAFailedFirstLoad) {
    host_table();
    // OpenSSL's own start-up is done here, once: a failed allocation inside
    // it makes OpenSSL 3.0 crash later on a lock it never made, which is
    // OpenSSL's fault, not the libraries'. What it fetches lazily per
    // algorithm is still left to the runs.
    // Its caches, made here, are OpenSSL's to keep: a run in which a later
    // failure inside OpenSSL orphans them has not leaked them.
    {
        const NotLeaks openSslStartUp;
        ASSERT_EQ(OPENSSL_init_crypto(0, nullptr), 1);
        unsigned char warm[8];
        ASSERT_EQ(RAND_bytes(warm, sizeof warm), 1);
    }
    KeystoreFiles ks;
    // Made in a child, so that this process forks its runs before any use.
    ASSERT_EQ(tvtest::run_in_child([&] {
                  if (load(ks, kDomainCount) != 0) return 1;
                  return unload() == 0 ? 0 : 2;
              }),
              0);
    const PairImage healthy = save_pair(ks);
    // Everything the run needs is made before it is armed: only the
    // libraries allocate while it is.
    std::string primary = ks.primary, standby = ks.standby;
    HX_VAQ_KEYSTORE_FILES files{primary.data(), standby.data()};
    std::vector<VaqDomainRecord> domains(kDomainCount);
    for (size_t i = 0; i < kDomainCount; ++i) {
        domains[i].domainId = kDomains[i].id;
        domains[i].attr = 1;
        std::strncpy(domains[i].name, kDomains[i].name, sizeof domains[i].name - 1);
    }
    VaqKeyTypeRecord keyType{};
    keyType.keyType = 3;
    keyType.keyAttr = 112;
    keyType.lifeDays = 3650;
    const unsigned char plain[3] = {1, 2, 3};
    unsigned char cipher[64], back[64];
    auto load_and_use = [&]() -> unsigned long {
        unsigned long rc = IvexRegFuncEx(host_table());
        if (rc == 0) rc = IvexInitializeEx(0, &files, 0, nullptr);
        if (rc != 0) return rc;
        IvexSetRole(1);
        if ((rc = VaqRmvDomainEx(0)) != 0 || (rc = VaqRmvDomainEx(1)) != 0) return rc;
        for (const auto &d : domains)
            if ((rc = VaqAddDomainEx(&d)) != 0 || (rc = VaqAddDomainKeyTypeEx(d.domainId, &keyType)) != 0) return rc;
        uint32_t len = sizeof cipher, backLen = sizeof back;
        rc = QorEncryptEx(kDomain, QOR_ALG_AES256_GCM, plain, sizeof plain, cipher, &len);
        if (rc == 0) rc = QorDecryptEx(kDomain, cipher, len, back, &backLen);
        if (rc == 0 && (backLen != sizeof plain || std::memcmp(back, plain, sizeof plain) != 0)) rc = 1;
        return rc;
    };
    enum { kRecovered = 0, kAllGranted = 10, kOpenSslBroken = 20, kNotRecovered = 30, kLeaked = 40 };
    int runs = 0, openSslBroken = 0;
    for (uint64_t k = 1;; ++k) {
        ASSERT_LT(k, 20000u);
        const int rc = tvtest::run_in_child([&] {
            alloc::fail_allocation(k);
            const unsigned long first = load_and_use();
            const uint64_t seen = alloc::allocations_seen();
            alloc::fail_allocation(0);
            unload();
            if (seen < k) return first == 0 ? kAllGranted : kNotRecovered;
            // OpenSSL's own start-up may refuse to run again after a failure;
            // that is counted, not blamed on the key libraries.
            // The key libraries fetch the first three once, at their first
            // use; HMAC and HKDF fetch SHA-256 at each use.
            EVP_CIPHER *gcm = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
            EVP_MAC *hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
            EVP_KDF *hkdf = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
            EVP_MD *sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
            unsigned char r[8];
            const bool openSslOk = gcm != nullptr && hmac != nullptr && hkdf != nullptr && sha256 != nullptr &&
                                   RAND_bytes(r, sizeof r) == 1;
            EVP_CIPHER_free(gcm);
            EVP_MAC_free(hmac);
            EVP_KDF_free(hkdf);
            EVP_MD_free(sha256);
            if (!openSslOk) return kOpenSslBroken;
            if (load_and_use() != 0 || unload() != 0) return kNotRecovered;
            return leaks_found() ? kLeaked : kRecovered;
        });
        const PairImage now = save_pair(ks);
        EXPECT_TRUE(now.primary == healthy.primary && now.standby == healthy.standby)
            << "allocation " << k << ": a load of a healthy pair wrote";
        if (rc == kAllGranted) break;
        ++runs;
        openSslBroken += rc == kOpenSslBroken;
        EXPECT_TRUE(rc == kRecovered || rc == kOpenSslBroken)
            << "allocation " << k << ": the process did not recover (" << rc << ")";
    }
    std::printf(
        "\nfirst use in a fresh process: %d runs with a failed allocation, %d of them "
        "left OpenSSL itself unusable\n",
        runs, openSslBroken);
    EXPECT_GT(runs, 0);
}

}  // namespace
