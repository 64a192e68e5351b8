// SPDX-License-Identifier: Apache-2.0
// What a keystore change costs, and what of it is the node lock: the process
// lock taken and given back as the key library does around every change (the
// semaphore, then the kernel's lock on the role's keystore.lock), against the
// semaphore alone on a private set.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "library_session.h"
#include "node_layout.h"
#include "telmor_vaq_api.h"

namespace bench {
namespace {

constexpr uint32_t kSecondKey = 424242;

// One key change per iteration: the domain's active key switched between its
// first key and a registered one (both copies written and synced, the
// version announced).
void BM_KeyChange(benchmark::State &state) {
    if (!use_keystore(0)) {
        state.SkipWithError("keystore could not be built");
        return;
    }
    uint32_t *ids = nullptr;
    uint32_t count = 0;
    if (TELMOR_VAQ_GetKeyId_List(kDomain, &ids, &count) != 0 || count == 0) {
        state.SkipWithError("no key in the domain");
        return;
    }
    const uint32_t first = ids[0];
    HX_VAQ_MemFree(__LINE__, __FILE__, ids);
    const unsigned long registered = TELMOR_VAQ_UpdateMK(kDomain, kSecondKey, kSecret, kSecretBytes);
    if (registered != 0 && registered != 2013) {  // 2013: registered by an earlier run
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
    truncate_library_log();
}

// The process lock as the key library takes it around a change: with the
// library initialised, the semaphore and the keystore's lock file.
void BM_ProcessLock_Fenced(benchmark::State &state) {
    if (!use_keystore(0)) {
        state.SkipWithError("keystore could not be built");
        return;
    }
    void *lock = nullptr;
    if (Telmor_Create_Pro_Lock(&lock) != 1) {
        state.SkipWithError("no process lock");
        return;
    }
    for (auto _ : state) {
        Telmor_Add_Pro_Lock(lock);
        Telmor_Release_Pro_Lock(lock);
    }
    Telmor_Destroy_Pro_Lock(lock);
    truncate_library_log();
}

// Baseline: a semaphore taken and given back with SEM_UNDO, nothing else.
void BM_ProcessLock_SemaphoreOnly(benchmark::State &state) {
    const int id = semget(IPC_PRIVATE, 1, IPC_CREAT | 0600);
    sembuf give{0, +1, SEM_UNDO};
    sembuf take{0, -1, SEM_UNDO};
    if (id == -1 || semop(id, &give, 1) != 0) {
        state.SkipWithError("no private semaphore");
        return;
    }
    for (auto _ : state) {
        semop(id, &take, 1);
        semop(id, &give, 1);
    }
    semctl(id, 0, IPC_RMID);
}

BENCHMARK(BM_KeyChange)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ProcessLock_Fenced)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ProcessLock_SemaphoreOnly)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace bench
