// SPDX-License-Identifier: Apache-2.0
// End to end with our key libraries, in real processes: texts move between
// processes and keystores, master-key changes reach processes that loaded
// before them, and the keystore check repairs a damaged copy.
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "child.h"
#include "files.h"
#include "log_reader.h"
#include "node_layout.h"
#include "node_state.h"
#include "telmor_vaq_api.h"

namespace {

using Lines = std::vector<std::string>;

using node_layout::kAgent;
using node_layout::kTools;

constexpr uint32_t kDomain = 50;  // provisioned in every role
constexpr uint32_t kOtherDomain = 2;
const char kHandOver[] = "/opt/telmor/handover.txt";

// A node that has never held a keystore for the role: an empty primary file.
void fresh_node(const node_layout::RoleLayout &role) { tvtest::fresh_keystore(role); }

// Encrypts; the empty string on failure.
std::string encrypt(uint32_t domain, const std::string &plain, uint32_t *reported = nullptr) {
    char *text = nullptr;
    uint32_t len = 0;
    if (TELMOR_VAQ_Encrypt(domain, reinterpret_cast<const unsigned char *>(plain.data()),
                           static_cast<uint32_t>(plain.size()), &text, &len) != 0 ||
        text == nullptr) {
        return {};
    }
    std::string out(text);
    HX_VAQ_MemFree(__LINE__, "test", text);
    if (reported != nullptr) *reported = len;
    return out;
}

// Decrypts; on failure *handedOut says whether any non-zero byte was given
// back (the buffer that a failure may pass to the caller must hold none).
unsigned long decrypt(uint32_t domain, const std::string &text, std::string *plain, bool *handedOut = nullptr) {
    unsigned char *out = nullptr;
    uint32_t len = static_cast<uint32_t>(text.size());
    const unsigned long r = TELMOR_VAQ_Decrypt(domain, text.c_str(), static_cast<uint32_t>(text.size()), &out, &len);
    if (r == 0) {
        plain->assign(reinterpret_cast<char *>(out), len);
    } else if (handedOut != nullptr) {
        *handedOut = false;
        for (uint32_t i = 0; out != nullptr && i <= text.size(); ++i) *handedOut |= out[i] != 0;
    }
    HX_VAQ_MemFree(__LINE__, "test", out);
    return r;
}

std::vector<uint32_t> key_ids(uint32_t domain) {
    uint32_t *ids = nullptr;
    uint32_t count = 0;
    if (TELMOR_VAQ_GetKeyId_List(domain, &ids, &count) != 0) return {};
    std::vector<uint32_t> out(ids, ids + count);
    HX_VAQ_MemFree(__LINE__, "test", ids);
    return out;
}

bool contains(const std::vector<uint32_t> &ids, uint32_t id) {
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

// The domain's active key, from the master-key inventory; 0 if none.
uint32_t active_key(uint32_t domain) {
    HX_VAQ_MK_LIST *list = nullptr;
    if (TELMOR_VAQ_Query_Mk_Info(&list) != 0) return 0;
    uint32_t active = 0;
    for (int32_t i = 0; i < list->count; ++i) {
        if (list->items[i]->domainId == domain && list->items[i]->mkAttrA == 1) active = list->items[i]->keyId;
    }
    HX_VAQ_MK_FREE_ARRAY(list->items, list->count);
    HX_VAQ_MemFree(__LINE__, "test", list);
    return active;
}

uint32_t shared_version() { return *static_cast<volatile uint32_t *>(g_shm_addr); }

int count_lines(int role, const std::string &level, const std::string &message) {
    return tvtest::count_api(tvtest::read_log(role), level, message);
}

class ServiceEndToEnd : public testing::Test {
protected:
    void SetUp() override { fresh_node(kAgent); }
    void TearDown() override { TELMOR_VAQ_Finalize(); }
};

TEST_F(ServiceEndToEnd, RoundTripInEveryDomainWithStandardBase64) {
    ASSERT_EQ(TELMOR_VAQ_Initialize(kAgent.role), 0u);
    HX_VAQ_DOMAIN_LIST *domains = nullptr;
    ASSERT_EQ(TELMOR_VAQ_Query_Domain_Info(&domains), 0u);
    ASSERT_EQ(domains->count, 12);
    const std::regex standard("^([A-Za-z0-9+/]{4})*([A-Za-z0-9+/]{2}==|[A-Za-z0-9+/]{3}=)?$");

    for (int32_t d = 0; d < domains->count; ++d) {
        const uint32_t domain = domains->items[d]->domainId;
        for (uint32_t n : {0u, 1u, 31u, 32u, 33u, 1000u, 1537u}) {
            SCOPED_TRACE("domain " + std::to_string(domain) + ", " + std::to_string(n) + " bytes");
            std::string plain(n, '\0');
            for (uint32_t i = 0; i < n; ++i) plain[i] = static_cast<char>(i * 7 + domain);
            uint32_t reported = 0;
            const std::string text = encrypt(domain, plain, &reported);
            ASSERT_FALSE(text.empty());
            EXPECT_TRUE(std::regex_match(text, standard)) << text;
            EXPECT_EQ(reported, std::min<size_t>(text.size(), 2048));

            // OpenSSL reads it as Base64 too.
            std::vector<unsigned char> raw(text.size());
            EXPECT_GT(EVP_DecodeBlock(raw.data(), reinterpret_cast<const unsigned char *>(text.data()),
                                      static_cast<int>(text.size())),
                      static_cast<int>(n));

            std::string back;
            ASSERT_EQ(decrypt(domain, text, &back), 0u);
            EXPECT_EQ(back, plain);
        }
    }
    HX_VAQ_DOMAIN_FREE_ARRAY(domains->items, domains->count);
    HX_VAQ_MemFree(__LINE__, "test", domains);
}

TEST_F(ServiceEndToEnd, TextMadeInOneProcessDecryptsInAnother) {
    tvtest::Gate made;
    const pid_t other = tvtest::spawn([&] {
        if (!made.wait()) return 10;
        if (TELMOR_VAQ_Initialize(kAgent.role) != 0) return 11;
        std::string plain;
        if (decrypt(kDomain, tvtest::read_file(kHandOver), &plain) != 0) return 12;
        return plain == "carried across" ? 0 : 13;
    });
    ASSERT_EQ(TELMOR_VAQ_Initialize(kAgent.role), 0u);
    tvtest::write_file(kHandOver, encrypt(kDomain, "carried across"));
    made.post();
    EXPECT_EQ(tvtest::wait_child(other), 0);
}

// B loaded the keystore before A made a new master key: B's decryption meets
// a key it does not hold, reloads once and succeeds.
TEST_F(ServiceEndToEnd, NewMasterKeyReachesAProcessLoadedBeforeThroughTheReload) {
    tvtest::Gate aReady, bLoaded, textReady;
    const pid_t b = tvtest::spawn([&] {
        if (!aReady.wait()) return 10;
        if (TELMOR_VAQ_Initialize(kAgent.role) != 0) return 11;
        bLoaded.post();
        if (!textReady.wait()) return 12;
        tvtest::clear_log(kAgent.nodeType);
        std::string plain;
        if (decrypt(kDomain, tvtest::read_file(kHandOver), &plain) != 0) return 13;
        if (plain != "under the new key") return 14;
        if (count_lines(kAgent.nodeType, "ERROR", "QorDecryptEx failed, ret=268,try load and decrypt again.") != 1)
            return 15;
        return 0;
    });
    ASSERT_EQ(TELMOR_VAQ_Initialize(kAgent.role), 0u);
    aReady.post();
    ASSERT_TRUE(bLoaded.wait());
    uint32_t newKey = 0;
    ASSERT_EQ(TELMOR_VAQ_CreateMK(kDomain, &newKey), 0u);
    EXPECT_EQ(active_key(kDomain), newKey);
    tvtest::write_file(kHandOver, encrypt(kDomain, "under the new key"));
    textReady.post();
    EXPECT_EQ(tvtest::wait_child(b), 0);
}

// A text under a key id that no keystore holds, handed in over and over
// while the keystore stays as loaded: no reload, and the log gets a few
// lines, not lines per call.
TEST_F(ServiceEndToEnd, TextsUnderAnUnknownKeyCostNoReloadAndFewLines) {
    ASSERT_EQ(TELMOR_VAQ_Initialize(kAgent.role), 0u);
    const std::string good = encrypt(kDomain, "secret");
    ASSERT_FALSE(good.empty());
    unsigned char cipher[256];
    const int n = EVP_DecodeBlock(cipher, reinterpret_cast<const unsigned char *>(good.data()),
                                  static_cast<int>(good.size()));
    ASSERT_GT(n, 12);
    cipher[8] ^= 0x5a;  // the key id, in the cipher's header
    cipher[11] ^= 0xa5;
    char text[400];
    EVP_EncodeBlock(reinterpret_cast<unsigned char *>(text), cipher, n - (good.back() == '=') - (good.end()[-2] == '='));
    // The first load of a fresh node wrote the copies after noting them: the
    // first such text reloads once.
    std::string none;
    ASSERT_EQ(decrypt(kDomain, text, &none), 268u);
    tvtest::clear_log(kAgent.nodeType);

    constexpr int kTries = 10000;
    const time_t from = time(nullptr);
    int answered268 = 0;
    for (int i = 0; i < kTries; ++i) {
        std::string plain;
        answered268 += decrypt(kDomain, text, &plain) == 268;
    }
    const time_t to = time(nullptr);
    EXPECT_EQ(answered268, kTries);
    const auto lines = tvtest::read_log(kAgent.nodeType);
    // Three lines for the first failure of each second, one more for what the
    // previous seconds left out; nothing of a reload.
    EXPECT_LE(lines.size(), static_cast<size_t>(4 * (to - from + 1))) << lines.size() << " lines";
    EXPECT_EQ(count_lines(kAgent.nodeType, "INFO", "IvexFinalizeEx success, ret=0"), 0);
    std::string plain;
    EXPECT_EQ(decrypt(kDomain, good, &plain), 0u);
    EXPECT_EQ(plain, "secret");
}

TEST_F(ServiceEndToEnd, DamagedTextsFailWithoutHandingOutPlainBytes) {
    ASSERT_EQ(TELMOR_VAQ_Initialize(kAgent.role), 0u);
    const std::string text = encrypt(kDomain, "a secret of some length, long enough to cut");
    ASSERT_FALSE(text.empty());
    std::string tampered = text;
    tampered[text.size() / 2] = tampered[text.size() / 2] == 'A' ? 'B' : 'A';

    const struct {
        const char *name;
        uint32_t domain;
        std::string text;
    } cases[] = {
        {"tampered", kDomain, tampered},
        {"truncated", kDomain, text.substr(0, text.size() - 8)},
        {"cut to its header", kDomain, text.substr(0, 16)},
        {"other domain", kOtherDomain, text},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::string plain;
        bool handedOut = true;
        EXPECT_NE(decrypt(c.domain, c.text, &plain, &handedOut), 0u);
        EXPECT_FALSE(handedOut);
    }
    std::string plain;
    EXPECT_EQ(decrypt(kDomain, text, &plain), 0u) << "the original still decrypts";
}

TEST_F(ServiceEndToEnd, MasterKeyCreatedInOneProcessShowsInAnothersInventoryAfterItsReload) {
    tvtest::Gate aReady, bLoaded, created;
    const pid_t b = tvtest::spawn([&] {
        if (!aReady.wait()) return 10;
        if (TELMOR_VAQ_Initialize(kAgent.role) != 0) return 11;
        bLoaded.post();
        if (!created.wait()) return 12;
        const uint32_t newKey = static_cast<uint32_t>(std::stoul(tvtest::read_file(kHandOver)));
        if (contains(key_ids(kDomain), newKey)) return 13;  // not announced yet
        TELMOR_update_shm();
        return contains(key_ids(kDomain), newKey) ? 0 : 14;
    });
    ASSERT_EQ(TELMOR_VAQ_Initialize(kAgent.role), 0u);
    aReady.post();
    ASSERT_TRUE(bLoaded.wait());
    uint32_t newKey = 0;
    ASSERT_EQ(TELMOR_VAQ_CreateMK(kDomain, &newKey), 0u);
    EXPECT_TRUE(contains(key_ids(kDomain), newKey));
    tvtest::write_file(kHandOver, std::to_string(newKey));
    created.post();
    EXPECT_EQ(tvtest::wait_child(b), 0);
}

// A registers and activates a key; its own process stays in step, B reloads
// and encrypts under that key, which A proves by taking the key away again.
TEST_F(ServiceEndToEnd, ActivatedKeyReachesOtherProcessesAndMovesTheVersionByOne) {
    tvtest::Gate aReady, bLoaded, activated, bEncrypted, keyGone, bDone;
    const pid_t b = tvtest::spawn([&] {
        if (!aReady.wait()) return 10;
        if (TELMOR_VAQ_Initialize(kAgent.role) != 0) return 11;
        bLoaded.post();
        if (!activated.wait()) return 12;
        const uint32_t before = g_self_keystore_version;
        tvtest::write_file(kHandOver, encrypt(kDomain, "made by B"));
        if (g_self_keystore_version == before) return 13;  // B reloaded at its call
        bEncrypted.post();
        if (!keyGone.wait()) return 14;
        std::string plain;
        return decrypt(kDomain, tvtest::read_file(kHandOver), &plain) != 0 ? 0 : 15;
    });
    ASSERT_EQ(TELMOR_VAQ_Initialize(kAgent.role), 0u);
    aReady.post();
    ASSERT_TRUE(bLoaded.wait());
    const uint32_t oldKey = active_key(kDomain);
    ASSERT_NE(oldKey, 0u);
    const uint32_t newKey = 0x7E57AB1E;
    const std::vector<unsigned char> material(32, 0x42);
    ASSERT_EQ(TELMOR_VAQ_UpdateMK(kDomain, newKey, material.data(), 32), 0u);

    const uint32_t before = shared_version();
    tvtest::clear_log(kAgent.nodeType);
    ASSERT_EQ(TELMOR_VAQ_ActiveMK(kDomain, newKey), 0u);
    EXPECT_EQ(shared_version(), before + 1);
    EXPECT_EQ(g_self_keystore_version, shared_version());
    EXPECT_EQ(active_key(kDomain), newKey);
    for (const auto &line : tvtest::api_messages(tvtest::read_log(kAgent.nodeType))) {
        EXPECT_EQ(line.find("self version"), std::string::npos) << "A does not reload: " << line;
    }
    activated.post();

    ASSERT_TRUE(bEncrypted.wait());
    ASSERT_EQ(TELMOR_VAQ_ActiveMK(kDomain, oldKey), 0u);
    ASSERT_EQ(TELMOR_VAQ_Delete(kDomain, newKey), 0u);
    TELMOR_update_shm();
    keyGone.post();
    EXPECT_EQ(tvtest::wait_child(b), 0) << "B's text needed the key A activated";
}

TEST_F(ServiceEndToEnd, ConcurrentRegistrationsLoseNoIncrementAndNoKey) {
    constexpr int kProcesses = 4;
    constexpr int kKeysEach = 5;
    tvtest::Gate nodeReady, loaded, go;
    std::vector<pid_t> pids;
    for (int p = 0; p < kProcesses; ++p) {
        pids.push_back(tvtest::spawn([&, p] {
            if (!nodeReady.wait()) return 10;
            if (TELMOR_VAQ_Initialize(kAgent.role) != 0) return 11;
            loaded.post();
            if (!go.wait()) return 12;
            const std::vector<unsigned char> material(32, static_cast<unsigned char>(p + 1));
            for (int k = 0; k < kKeysEach; ++k) {
                if (TELMOR_VAQ_UpdateMK(kDomain, 0x1000 + p * 100 + k, material.data(), 32) != 0) return 13;
            }
            return 0;
        }));
    }
    ASSERT_EQ(TELMOR_VAQ_Initialize(kAgent.role), 0u);
    for (int p = 0; p < kProcesses; ++p) nodeReady.post();
    for (int p = 0; p < kProcesses; ++p) ASSERT_TRUE(loaded.wait());
    const uint32_t before = shared_version();
    for (int p = 0; p < kProcesses; ++p) go.post();
    for (pid_t pid : pids) EXPECT_EQ(tvtest::wait_child(pid), 0);

    EXPECT_EQ(shared_version(), before + kProcesses * kKeysEach);
    const std::vector<uint32_t> ids = key_ids(kDomain);  // this process reloads first
    for (int p = 0; p < kProcesses; ++p) {
        for (int k = 0; k < kKeysEach; ++k) {
            EXPECT_TRUE(contains(ids, 0x1000 + p * 100 + k)) << p << "/" << k;
        }
    }
}

TEST_F(ServiceEndToEnd, DeleteRefusesTheActiveKeyAndRemovesAnInactiveOne) {
    ASSERT_EQ(TELMOR_VAQ_Initialize(kAgent.role), 0u);
    const uint32_t first = active_key(kDomain);
    ASSERT_NE(first, 0u);
    tvtest::clear_log(kAgent.nodeType);
    const unsigned long refused = TELMOR_VAQ_Delete(kDomain, first);
    EXPECT_NE(refused, 0u);
    EXPECT_EQ(count_lines(kAgent.nodeType, "ERROR", "VaqRmvMk failed, ret=" + std::to_string(refused) + "."), 1);
    EXPECT_TRUE(contains(key_ids(kDomain), first));

    uint32_t second = 0;
    ASSERT_EQ(TELMOR_VAQ_CreateMK(kDomain, &second), 0u);
    EXPECT_EQ(TELMOR_VAQ_Delete(kDomain, first), 0u);
    EXPECT_FALSE(contains(key_ids(kDomain), first));
    EXPECT_TRUE(contains(key_ids(kDomain), second));
}

TEST_F(ServiceEndToEnd, RootKeyUpdateLeavesEarlierTextsDecryptable) {
    ASSERT_EQ(TELMOR_VAQ_Initialize(kAgent.role), 0u);
    const std::string text = encrypt(kDomain, "from before the update");
    HX_VAQ_ROOT_KEY *root = nullptr;
    ASSERT_EQ(TELMOR_VAQ_Query_Root_Key(&root), 0u);
    const uint16_t version = root->rk->rkAttr16;
    HX_VAQ_RK_FREE(root->rk);
    HX_VAQ_RK_CFG_FREE(root->rkCfg);
    HX_VAQ_MemFree(__LINE__, "test", root);

    ASSERT_EQ(TELMOR_VAQ_UpdateRootKey(), 0u);
    TELMOR_update_shm();  // the next call loads the rewrapped keys from the files
    std::string plain;
    EXPECT_EQ(decrypt(kDomain, text, &plain), 0u);
    EXPECT_EQ(plain, "from before the update");
    ASSERT_EQ(TELMOR_VAQ_Query_Root_Key(&root), 0u);
    EXPECT_NE(root->rk->rkAttr16, version);
    HX_VAQ_RK_FREE(root->rk);
    HX_VAQ_RK_CFG_FREE(root->rkCfg);
    HX_VAQ_MemFree(__LINE__, "test", root);
}

TEST_F(ServiceEndToEnd, ExportFromAgentImportIntoManagerCarriesTexts) {
    const char file[] = "/opt/telmor/agent_keys.export";
    const unsigned char password[] = "correct horse";
    ASSERT_EQ(TELMOR_VAQ_Initialize(kAgent.role), 0u);
    const std::string text = encrypt(kDomain, "made on the agent");
    ASSERT_EQ(TELMOR_VAQ_ExportMkFile(file, password, sizeof(password) - 1), 0u);
    ASSERT_EQ(TELMOR_VAQ_Finalize(), 0u);

    const int rc = tvtest::run_in_child([&] {
        fresh_node(kTools);
        if (TELMOR_VAQ_Initialize(kTools.role) != 0) return 10;
        std::string plain;
        if (decrypt(kDomain, text, &plain) == 0) return 11;  // not before the import
        if (TELMOR_VAQ_ImportMkFile(file, password, sizeof(password) - 1) != 0) return 12;
        if (decrypt(kDomain, text, &plain) != 0) return 13;
        return plain == "made on the agent" ? 0 : 14;
    });
    EXPECT_EQ(rc, 0);
}

TEST_F(ServiceEndToEnd, CheckReportsACorruptedPrimaryAndRepairsIt) {
    ASSERT_EQ(TELMOR_VAQ_Initialize(kAgent.role), 0u);
    uint32_t result = 0;
    tvtest::clear_log(kAgent.nodeType);
    ASSERT_EQ(TELMOR_VAQ_CheckKeyStore(0, &result), 0u);
    EXPECT_EQ(result, 3u);
    // Only the host's file services speak (one line per file opened).
    for (const auto &line : tvtest::api_messages(tvtest::read_log(kAgent.nodeType))) {
        EXPECT_EQ(line.rfind("INFO|TELMOR VAQ fopen ret=", 0), 0u) << "a successful check writes nothing: " << line;
    }

    std::string bytes = tvtest::read_file(kAgent.primary);
    ASSERT_GT(bytes.size(), 64u);
    bytes[bytes.size() / 2] ^= 0x5A;
    tvtest::write_file(kAgent.primary, bytes);

    result = 0;
    EXPECT_EQ(TELMOR_VAQ_CheckKeyStore(0, &result), 0u);
    EXPECT_EQ(result, 2u) << "primary bad, standby good";
    result = 0;
    EXPECT_EQ(TELMOR_VAQ_CheckKeyStore(1, &result), 0u);
    result = 0;
    EXPECT_EQ(TELMOR_VAQ_CheckKeyStore(0, &result), 0u);
    EXPECT_EQ(result, 3u) << "repaired from the standby";
}

}  // namespace
