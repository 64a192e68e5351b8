// SPDX-License-Identifier: Apache-2.0
// The cost of the next operation after another process announced a keystore
// change: the version check finds the shared version moved, the keystore is
// read, verified and provisioned again, and the decryption runs. Keystores of
// 12 domains x {1, 10, 100} master keys and of 10,000 keys, each built by one
// import into a fresh keystore.
#include <benchmark/benchmark.h>

#include <string>

#include "library_session.h"
#include "telmor_vaq_api.h"

namespace bench {
namespace {

void BM_Reload(benchmark::State &state) {
    const auto totalKeys = static_cast<uint32_t>(state.range(0));
    const auto firstKeys = static_cast<uint32_t>(provisioned_domains().size());
    if (!use_keystore(totalKeys - firstKeys)) {
        state.SkipWithError("keystore could not be built");
        return;
    }
    const std::string text = encrypted_secret();
    const uint32_t reloadsBefore = g_self_keystore_version;
    for (auto _ : state) {
        state.PauseTiming();
        // What another process's announcement does to this one: the shared
        // version moves while this process's own version stays.
        TELMOR_update_shm();
        state.ResumeTiming();
        unsigned char *plain = nullptr;
        uint32_t plainLen = 0;
        const unsigned long rc =
            TELMOR_VAQ_Decrypt(kDomain, text.c_str(), static_cast<uint32_t>(text.size()), &plain, &plainLen);
        HX_VAQ_MemFree(__LINE__, __FILE__, plain);
        if (rc != 0) {
            state.SkipWithError("decryption after the reload failed");
            break;
        }
    }
    if (g_self_keystore_version - reloadsBefore != state.iterations()) {
        state.SkipWithError("not every operation reloaded");
    }
    truncate_library_log();
    state.counters["keys"] = totalKeys;
    state.counters["per_key"] = benchmark::Counter(static_cast<double>(state.iterations()) * totalKeys,
                                                   benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

BENCHMARK(BM_Reload)->ArgName("keys")->Arg(12)->Arg(120)->Arg(1200)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace bench
