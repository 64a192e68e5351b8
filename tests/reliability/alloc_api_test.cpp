// SPDX-License-Identifier: Apache-2.0
// Every exported operation of the main library, over our key libraries, run
// once for each allocation it makes (alloc_hook.h), with that allocation
// failing. Each run must answer 0 or a clean error code, hand nothing
// half-built to the caller, keep no memory when it fails, leave the keystore
// as it was when it fails, and leave the library usable: the first run that
// gets all its memory must succeed, and so must the operations after it.
#include <openssl/err.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <set>

#include "alloc_figures.h"
#include "alloc_hook.h"
#include "api_state.h"
#include "child.h"
#include "telmor_vaq_api.h"

using namespace reltest;

namespace {

constexpr uint32_t kDomain = 50;
const unsigned char kPassword[] = "allocation loop";
constexpr uint32_t kPasswordLen = sizeof kPassword - 1;
const std::string kSecret = "a secret of the allocation loop";

// The library's own 1 and 51, and the key libraries' codes for running out of
// memory, failing I/O, entropy or crypto, passed through.
// 2029: the node secret could not be read (its open failed for want of memory).
const std::set<unsigned long> kCodes = {0, 1, 51, 2006, 2007, 2018, 2019, 2025, 2029, 3008, 3010, 3011};

std::vector<reltest::AllocFigures> g_figures;

struct Op {
    std::string name;
    std::function<void()> prepare;       // disarmed
    std::function<unsigned long()> run;  // armed
    // Disarmed: checks what the run handed out and releases it.
    std::function<void(unsigned long code, bool faulted)> check;
    bool keystoreMayChange = false;
    // Disarmed, after the memory count: brings the library back up when the
    // run took it down.
    std::function<void(unsigned long code)> after;
    // The run reloads the keystore, so what memory it holds afterwards is the
    // new keystore's, not a measure of leaks (the leak checker of the asan
    // build still sees them).
    bool reloads = false;
    // The operation cannot do without any allocation it makes, and keeps
    // nothing once check() has released what it handed out: it allocates at
    // least once, a run whose allocation failed answers 1, and memory
    // balances after every run, the successful one included.
    bool allOrNothing = false;
};

class AllocApi : public ::testing::Test {
protected:
    static void TearDownTestSuite() { reltest::print_alloc_figures(g_figures, 40); }

    void SetUp() override {
        fresh_node(kAgentRole);
        ASSERT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);
        text_ = api_encrypt(kDomain, kSecret);
        ASSERT_FALSE(text_.empty());
        keys_ = api_keys();
        primary_ = read_file(kAgentRole.primary);
        standby_ = read_file(kAgentRole.standby);
    }
    void TearDown() override {
        alloc::fail_allocation(0);
        TELMOR_VAQ_Finalize();
    }

    // Back to the keystore SetUp made, loaded.
    void reset_keystore() {
        TELMOR_VAQ_Finalize();
        put_files(primary_, standby_);
        ASSERT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);
    }
    static void put_files(const std::vector<uint8_t> &primary, const std::vector<uint8_t> &standby) {
        for (auto [path, bytes] : {std::pair{kAgentRole.primary, &primary}, std::pair{kAgentRole.standby, &standby}}) {
            std::FILE *f = std::fopen(path, "wb");
            ASSERT_NE(f, nullptr);
            ASSERT_EQ(std::fwrite(bytes->data(), 1, bytes->size(), f), bytes->size());
            std::fclose(f);
        }
    }

    void loop(const Op &op);

    std::string text_;
    std::vector<ApiKey> keys_;
    std::vector<uint8_t> primary_, standby_;
};

void AllocApi::loop(const Op &op) {
    SCOPED_TRACE(op.name);
    reltest::AllocFigures fig{op.name};
    for (uint64_t k = 1;; ++k) {
        ASSERT_LT(k, 20000u) << "the operation never stops allocating";
        op.prepare();
        if (HasFatalFailure()) return;
        const std::vector<ApiKey> before = op.keystoreMayChange ? api_keys() : std::vector<ApiKey>{};
        const std::vector<uint8_t> primaryBefore = read_file(kAgentRole.primary);
        const std::vector<uint8_t> standbyBefore = read_file(kAgentRole.standby);
        ERR_clear_error();
        const int64_t liveBefore = alloc::live_blocks();

        alloc::fail_allocation(k);
        const unsigned long code = op.run();
        const uint64_t seen = alloc::allocations_seen();
        alloc::fail_allocation(0);

        const bool faulted = seen >= k;
        const int64_t untraced = alloc::live_blocks();
        SCOPED_TRACE("allocation " + std::to_string(k) + " of " + std::to_string(seen) + ", answer " +
                     std::to_string(code));
        const int64_t traceBlocks = alloc::live_blocks() - untraced;
        EXPECT_TRUE(kCodes.count(code)) << "not a clean answer";
        if (op.check) op.check(code, faulted);
        ERR_clear_error();
        if (faulted && code != 0 && !op.reloads) {
            EXPECT_EQ(alloc::live_blocks() - traceBlocks, liveBefore) << "a failed run kept memory";
        }
        if (op.allOrNothing && faulted) {
            EXPECT_EQ(code, 1u) << "a run whose allocation failed did not fail";
        }
        if (op.allOrNothing && !faulted) {
            EXPECT_EQ(alloc::live_blocks() - traceBlocks, liveBefore) << "the run kept memory";
        }
        if (op.after) op.after(code);
        if (op.keystoreMayChange && faulted && code != 0) {
            EXPECT_EQ(api_keys(), before) << "a failed run changed the keystore in memory";
            EXPECT_TRUE(read_file(kAgentRole.primary) == primaryBefore &&
                        read_file(kAgentRole.standby) == standbyBefore)
                << "a failed run changed the keystore on disk";
        }
        // Whatever the run answered, the library goes on working.
        std::string plain;
        EXPECT_EQ(api_decrypt(kDomain, api_encrypt(kDomain, kSecret), &plain), 0u)
            << "the library no longer works after the run";
        EXPECT_EQ(plain, kSecret);
        if (!faulted) {
            EXPECT_EQ(code, 0u) << "the run that got all its memory failed";
            break;
        }
        ++fig.failedRuns;
        fig.absorbed += code == 0;
        if (HasFatalFailure()) return;
    }
    if (op.allOrNothing) {
        EXPECT_GT(fig.failedRuns, 0u) << "the operation never allocated";
    }
    g_figures.push_back(fig);
}

TEST_F(AllocApi, InitializeAndFinalize) {
    loop({"TELMOR_VAQ_Initialize",
          [&] {
              TELMOR_VAQ_Finalize();
              put_files(primary_, standby_);
          },
          [] { return TELMOR_VAQ_Initialize("HXA"); },
          [&](unsigned long code, bool) {
              if (code != 0) {
                  EXPECT_EQ(g_init_flag, 0);
                  EXPECT_EQ(g_pstFileName.primary, nullptr);
                  EXPECT_EQ(g_pstFileName.standby, nullptr);
                  EXPECT_EQ(g_shm_addr, nullptr);
                  EXPECT_EQ(lock_cs, nullptr);
              } else {
                  EXPECT_EQ(api_keys(), keys_);
              }
              EXPECT_EQ(read_file(kAgentRole.primary), primary_) << "a load of a healthy pair wrote";
          },
          false,
          [](unsigned long code) {
              if (code != 0) {
                  ASSERT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);
              }
          }});
    loop({"TELMOR_VAQ_Finalize", [&] { reset_keystore(); }, [] { return TELMOR_VAQ_Finalize(); },
          [](unsigned long, bool) {
              EXPECT_EQ(g_init_flag, 0);
              EXPECT_EQ(g_shm_addr, nullptr);
          },
          false, [](unsigned long) { ASSERT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u); }});
}

TEST_F(AllocApi, EncryptAndDecrypt) {
    char *text = nullptr;
    uint32_t textLen = 0;
    loop({"TELMOR_VAQ_Encrypt", [&] { text = reinterpret_cast<char *>(0x5A5A); },
          [&] {
              return TELMOR_VAQ_Encrypt(kDomain, reinterpret_cast<const unsigned char *>(kSecret.data()),
                                        static_cast<uint32_t>(kSecret.size()), &text, &textLen);
          },
          [&](unsigned long code, bool) {
              if (code != 0) {
                  EXPECT_EQ(text, reinterpret_cast<char *>(0x5A5A)) << "a failed encryption handed out text";
                  return;
              }
              std::string plain;
              EXPECT_EQ(api_decrypt(kDomain, std::string(text, textLen), &plain), 0u);
              EXPECT_EQ(plain, kSecret);
              HX_VAQ_MemFree(__LINE__, __FILE__, text);
          }});
    unsigned char *plain = nullptr;
    uint32_t plainLen = 0;
    auto decrypt_op = [&](const std::string &name, const std::function<void()> &prepare, const std::string *text) {
        return Op{name, prepare,
                  [&plain, &plainLen, text] {
                      return TELMOR_VAQ_Decrypt(kDomain, text->c_str(), static_cast<uint32_t>(text->size()), &plain,
                                                &plainLen);
                  },
                  [&plain, &plainLen, text](unsigned long code, bool) {
                      if (code == 0) {
                          EXPECT_EQ(std::string(reinterpret_cast<char *>(plain), plainLen), kSecret);
                      } else if (plain != nullptr) {
                          // A failed decryption may leave its buffer to the caller:
                          // never with plain bytes in it.
                          for (size_t i = 0; i <= text->size(); ++i) EXPECT_EQ(plain[i], 0) << i;
                      }
                      HX_VAQ_MemFree(__LINE__, __FILE__, plain);
                  }};
    };
    loop(decrypt_op(
        "TELMOR_VAQ_Decrypt", [] {}, &text_));

    // A text under a key this process has not loaded: the decryption reloads.
    std::string later;
    ASSERT_EQ(tvtest::run_in_child([&] {
                  uint32_t id = 0;
                  if (TELMOR_VAQ_CreateMK(kDomain, &id) != 0) return 1;
                  later = api_encrypt(kDomain, kSecret);
                  std::FILE *f = std::fopen("/opt/telmor/later.txt", "w");
                  std::fputs(later.c_str(), f);
                  std::fclose(f);
                  return 0;
              }),
              0);
    const auto bytes = read_file("/opt/telmor/later.txt");
    const std::string laterText(bytes.begin(), bytes.end());
    const auto newerPrimary = read_file(kAgentRole.primary);
    const auto newerStandby = read_file(kAgentRole.standby);
    Op reloading = decrypt_op(
        "TELMOR_VAQ_Decrypt (reloads first)",
        [&] {
            reset_keystore();
            put_files(newerPrimary, newerStandby);
        },
        &laterText);
    reloading.reloads = true;
    loop(reloading);
}

TEST_F(AllocApi, VersionCheckAndReload) {
    Op check{"check_modified_and_load_key (reload)", [] { ASSERT_EQ(TELMOR_update_shm(), 0u); },
             [] { return check_modified_and_load_key(); }};
    Op reload{"reload_keystore_mem", [] {}, [] { return reload_keystore_mem(); }};
    check.reloads = reload.reloads = true;
    loop(check);
    loop(reload);
    loop({"TELMOR_update_shm", [] {}, [] { return TELMOR_update_shm(); }});
}

TEST_F(AllocApi, Queries) {
    uint32_t *ids = nullptr;
    uint32_t count = 0;
    Op keyIds{"TELMOR_VAQ_GetKeyId_List", [&] { ids = nullptr; },
              [&] { return TELMOR_VAQ_GetKeyId_List(kDomain, &ids, &count); },
              [&](unsigned long code, bool) {
                  if (code != 0) {
                      EXPECT_EQ(ids, nullptr) << "a failed query handed out a list";
                  } else {
                      EXPECT_EQ(count, 1u);
                  }
                  HX_VAQ_MemFree(__LINE__, __FILE__, ids);
              }};
    keyIds.allOrNothing = true;
    loop(keyIds);
    loop({"TELMOR_VAQ_GetMkInfo", [] {},
          [&] {
              unsigned char record[64];
              unsigned char key[256];
              uint32_t len = sizeof key;
              return TELMOR_VAQ_GetMkInfo(keys_[0].domain, keys_[0].id, record, key, &len);
          }});
    loop({"TELMOR_VAQ_GetMkNum", [] {},
          [] {
              int32_t n = 0;
              return TELMOR_VAQ_GetMkNum(&n);
          }});
    // The record queries start from a pointer that is not null, so a failed
    // query must clear the caller's pointer itself.
    HX_VAQ_MK_LIST *mkList = nullptr;
    Op mkListOp{"TELMOR_VAQ_Query_Mk_Info", [&] { mkList = reinterpret_cast<HX_VAQ_MK_LIST *>(0x5A5A); },
                [&] { return TELMOR_VAQ_Query_Mk_Info(&mkList); },
                [&](unsigned long code, bool) {
                    if (code != 0) {
                        EXPECT_EQ(mkList, nullptr) << "a failed query handed out a list";
                        return;
                    }
                    ASSERT_NE(mkList, nullptr);
                    EXPECT_EQ(mkList->count, static_cast<int32_t>(keys_.size()));
                    for (int32_t i = 0; i < mkList->count; ++i) {
                        ASSERT_NE(mkList->items[i], nullptr);
                        EXPECT_NE(mkList->items[i]->mkTimeA, nullptr);
                    }
                    HX_VAQ_MK_FREE_ARRAY(mkList->items, mkList->count);
                    HX_VAQ_MemFree(__LINE__, __FILE__, mkList);
                }};
    mkListOp.allOrNothing = true;
    loop(mkListOp);
    HX_VAQ_ROOT_KEY *root = nullptr;
    Op rootOp{"TELMOR_VAQ_Query_Root_Key", [&] { root = reinterpret_cast<HX_VAQ_ROOT_KEY *>(0x5A5A); },
              [&] { return TELMOR_VAQ_Query_Root_Key(&root); },
              [&](unsigned long code, bool) {
                  if (code != 0) {
                      EXPECT_EQ(root, nullptr) << "a failed query handed out a record";
                      return;
                  }
                  ASSERT_NE(root, nullptr);
                  ASSERT_NE(root->rk, nullptr);
                  EXPECT_NE(root->rk->rkTimeA, nullptr);
                  EXPECT_NE(root->rkCfg, nullptr);
                  HX_VAQ_RK_FREE(root->rk);
                  HX_VAQ_RK_CFG_FREE(root->rkCfg);
                  HX_VAQ_MemFree(__LINE__, __FILE__, root);
              }};
    rootOp.allOrNothing = true;
    loop(rootOp);
    HX_VAQ_DOMAIN_LIST *domains = nullptr;
    Op domainsOp{"TELMOR_VAQ_Query_Domain_Info", [&] { domains = reinterpret_cast<HX_VAQ_DOMAIN_LIST *>(0x5A5A); },
                 [&] { return TELMOR_VAQ_Query_Domain_Info(&domains); },
                 [&](unsigned long code, bool) {
                     if (code != 0) {
                         EXPECT_EQ(domains, nullptr) << "a failed query handed out a list";
                         return;
                     }
                     ASSERT_NE(domains, nullptr);
                     EXPECT_EQ(domains->count, 12);
                     HX_VAQ_DOMAIN_FREE_ARRAY(domains->items, domains->count);
                     HX_VAQ_MemFree(__LINE__, __FILE__, domains);
                 }};
    domainsOp.allOrNothing = true;
    loop(domainsOp);
    loop({"TELMOR_VAQ_GetCipherDataLen", [] {},
          [] {
              uint32_t n = 0;
              return TELMOR_VAQ_GetCipherDataLen(100, &n);
          }});
}

TEST_F(AllocApi, KeyLifecycle) {
    auto prepare = [&] { reset_keystore(); };
    uint32_t inactive = 0;
    uint32_t created = 0;
    // A second key in kDomain, so that the first one is inactive.
    ASSERT_EQ(TELMOR_VAQ_CreateMK(kDomain, &created), 0u);
    for (const auto &k : api_keys())
        if (k.domain == kDomain && !k.active) inactive = k.id;
    ASSERT_NE(inactive, 0u);
    TELMOR_VAQ_Finalize();
    primary_ = read_file(kAgentRole.primary);
    standby_ = read_file(kAgentRole.standby);
    ASSERT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);

    const std::vector<uint8_t> material(48, 0x3c);
    std::vector<Op> ops = {
        {"TELMOR_VAQ_CreateMK", prepare, [&] { return TELMOR_VAQ_CreateMK(kDomain, &created); }},
        {"TELMOR_VAQ_UpdateMK", prepare, [&] { return TELMOR_VAQ_UpdateMK(kDomain, 777001, material.data(), 48); }},
        {"TELMOR_VAQ_ActiveMK", prepare, [&] { return TELMOR_VAQ_ActiveMK(kDomain, inactive); }},
        {"TELMOR_VAQ_Delete", prepare, [&] { return TELMOR_VAQ_Delete(kDomain, inactive); }},
        {"TELMOR_VAQ_UpdateRootKey", prepare, [] { return TELMOR_VAQ_UpdateRootKey(); }},
    };
    for (Op &op : ops) {
        op.keystoreMayChange = true;
        loop(op);
    }

    // Over a stale standby, so that the check has a copy to rewrite.
    std::vector<uint8_t> staleStandby = standby_;
    Op check{"TELMOR_VAQ_CheckKeyStore (repair)",
             [&] {
                 reset_keystore();
                 uint32_t id = 0;
                 ASSERT_EQ(TELMOR_VAQ_CreateMK(151, &id), 0u);
                 put_files(read_file(kAgentRole.primary), staleStandby);
             },
             [] {
                 uint32_t good = 0;
                 return TELMOR_VAQ_CheckKeyStore(1, &good);
             }};
    check.keystoreMayChange = true;
    loop(check);
}

TEST_F(AllocApi, ExportAndImport) {
    const std::string file = "/opt/telmor/keys.export";
    std::remove(file.c_str());
    loop({"TELMOR_VAQ_ExportMkFile", [&] { std::remove(file.c_str()); },
          [&] { return TELMOR_VAQ_ExportMkFile(file.c_str(), kPassword, kPasswordLen); },
          [&](unsigned long code, bool) {
              if (code != 0) {
                  EXPECT_TRUE(read_file(file).empty()) << "a failed export left a file";
              }
          }});
    // Keys from another node's keystore of the same role.
    const auto mine = std::pair{primary_, standby_};
    TELMOR_VAQ_Finalize();
    fresh_node(kAgentRole);
    ASSERT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);
    std::remove(file.c_str());
    ASSERT_EQ(TELMOR_VAQ_ExportMkFile(file.c_str(), kPassword, kPasswordLen), 0u);
    const auto theirs = api_keys();
    TELMOR_VAQ_Finalize();
    put_files(mine.first, mine.second);
    ASSERT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);
    Op imp{"TELMOR_VAQ_ImportMkFile", [&] { reset_keystore(); },
           [&] { return TELMOR_VAQ_ImportMkFile(file.c_str(), kPassword, kPasswordLen); },
           [&](unsigned long code, bool) {
               if (code == 0) {
                   EXPECT_EQ(api_keys().size(), keys_.size() + theirs.size());
               }
           }};
    imp.keystoreMayChange = true;
    loop(imp);
}

TEST_F(AllocApi, HostServicesAndUtilities) {
    void *block = nullptr;
    loop({"HX_VAQ_MemAlloc", [] {},
          [&] {
              block = HX_VAQ_MemAlloc(__LINE__, "test", 64);
              return block != nullptr ? 0ul : 1ul;
          },
          [&](unsigned long, bool) { HX_VAQ_MemFree(__LINE__, "test", block); }});
    void *lock = nullptr;
    loop({"Telmor_Create_Lock", [&] { lock = reinterpret_cast<void *>(0x5A5A); },
          [&] { return Telmor_Create_Lock(&lock) == 1 ? 0ul : 1ul; },
          [&](unsigned long code, bool) {
              if (code != 0) {
                  EXPECT_EQ(lock, nullptr);
                  return;
              }
              Telmor_Destroy_Lock(lock);
          }});
    loop({"Telmor_Create_Pro_Lock", [&] { lock = nullptr; },
          [&] { return Telmor_Create_Pro_Lock(&lock) == 1 ? 0ul : 1ul; },
          [&](unsigned long code, bool) {
              if (code != 0) {
                  EXPECT_EQ(lock, nullptr);
                  return;
              }
              Telmor_Destroy_Pro_Lock(lock);
          }});
    loop({"CRYPTO_thread_setup", [] { CRYPTO_thread_cleanup(); }, [] { return CRYPTO_thread_setup(); },
          [](unsigned long code, bool) {
              if (code != 0) {
                  EXPECT_EQ(lock_cs, nullptr);
              }
          }});
    char name[512];
    loop({"get_name_by_pid", [] {}, [&] { return get_name_by_pid(g_vaq_pid, name); }});
    loop({"init_log_file", [] {}, [] { return init_log_file(); }});
    loop({"HX_VAQ_Wrilog", [] {},
          [] {
              HX_VAQ_Wrilog(__LINE__, "test", 0, "allocation loop line %d\n", 1);
              return 0ul;
          }});
    loop({"APP_WriLog", [] {},
          [] {
              APP_WriLog(2, "VAQ", "test", __LINE__, "allocation loop line\n");
              return 0ul;
          }});
}

}  // namespace
