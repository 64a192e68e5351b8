// SPDX-License-Identifier: Apache-2.0
// What the audit trail costs: a key change with the role's audit set up (its
// record appended and synced before the keystore is written) against one
// without, and encryption and decryption with and without it, which the
// audit does not touch. Argument 1: the audit set up; 0: not.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "library_session.h"
#include "node_layout.h"
#include "telmor_vaq_api.h"

namespace bench {
namespace {

constexpr uint32_t kQuiet = 3;  // above every level: no line of the library is written
constexpr uint32_t kSecondKey = 434343;
const std::string kTrail = std::string(node_layout::kAgent.logDir) + "/agent.audit";

// Sets the role's audit up (true) or takes it away (false): the trail and the
// key files go, so the library writes no record.
bool set_audit(bool on) {
    unlink(kTrail.c_str());
    unlink("/etc/telmor/vaq/agent/agent.audit-key.0");
    unlink("/etc/telmor/vaq/agent/agent.audit-key.1");
    if (!on) return true;
    using InitFn = uint32_t (*)(uint32_t, uint32_t, unsigned char *);
    auto init = reinterpret_cast<InitFn>(dlsym(RTLD_DEFAULT, "VaqPrivAuditInit"));
    unsigned char key[32];
    // Epochs of 1000 records, as a node has them by default.
    return init != nullptr && init(1000, 86400, key) == 0;
}

bool ready(benchmark::State &state) {
    if (!use_keystore(0) || !set_audit(state.range(0) != 0)) {
        state.SkipWithError("keystore or audit could not be set up");
        return false;
    }
    return true;
}

void BM_KeyChangeAudit(benchmark::State &state) {
    if (!ready(state)) return;
    uint32_t *ids = nullptr;
    uint32_t count = 0;
    if (TELMOR_VAQ_GetKeyId_List(kDomain, &ids, &count) != 0 || count == 0) {
        state.SkipWithError("no key in the domain");
        return;
    }
    const uint32_t first = ids[0];
    HX_VAQ_MemFree(__LINE__, __FILE__, ids);
    const unsigned long registered = TELMOR_VAQ_UpdateMK(kDomain, kSecondKey, kSecret, kSecretBytes);
    if (registered != 0 && registered != 2013) {
        state.SkipWithError("second key could not be registered");
        return;
    }
    uint64_t n = 0;
    for (auto _ : state) {
        if (TELMOR_VAQ_ActiveMK(kDomain, (n++ % 2) == 0 ? kSecondKey : first) != 0) {
            state.SkipWithError("activation failed");
            break;
        }
    }
    TELMOR_VAQ_ActiveMK(kDomain, first);
    set_audit(false);
    truncate_library_log();
}

void BM_EncryptAudit(benchmark::State &state) {
    if (!ready(state)) return;
    const uint32_t saved = g_api_log_level;
    g_api_log_level = kQuiet;
    for (auto _ : state) {
        char *text = nullptr;
        uint32_t len = 0;
        if (TELMOR_VAQ_Encrypt(kDomain, kSecret, kSecretBytes, &text, &len) != 0) {
            state.SkipWithError("encryption failed");
            break;
        }
        benchmark::DoNotOptimize(text[0]);
        HX_VAQ_MemFree(__LINE__, __FILE__, text);
    }
    g_api_log_level = saved;
    set_audit(false);
    state.SetItemsProcessed(state.iterations());
}

void BM_DecryptAudit(benchmark::State &state) {
    if (!ready(state)) return;
    const std::string text = encrypted_secret();
    for (auto _ : state) {
        unsigned char *plain = nullptr;
        uint32_t len = 0;
        if (TELMOR_VAQ_Decrypt(kDomain, text.c_str(), static_cast<uint32_t>(text.size()), &plain, &len) != 0) {
            state.SkipWithError("decryption failed");
            break;
        }
        benchmark::DoNotOptimize(plain[0]);
        HX_VAQ_MemFree(__LINE__, __FILE__, plain);
    }
    set_audit(false);
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_KeyChangeAudit)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncryptAudit)->Arg(0)->Arg(1);
BENCHMARK(BM_DecryptAudit)->Arg(0)->Arg(1);

}  // namespace
}  // namespace bench
