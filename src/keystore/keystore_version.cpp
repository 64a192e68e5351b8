// SPDX-License-Identifier: Apache-2.0
// The keystore-version segment: attaching it, reading and raising the shared
// version, and the host's announcement of a change.
#include "keystore/keystore_version.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <atomic>
#include <cerrno>

#include "common/log.h"
#include "keystore/error_text.h"
#include "keystore/init_flag.h"
#include "telmor_vaq_api.h"

namespace tv {
namespace {

constexpr key_t kVersionSegmentKey = 0x20190529;
constexpr size_t kVersionSegmentSize = 4096;

// A lock-free 32-bit atomic works on memory shared between processes.
static_assert(std::atomic_ref<uint32_t>::is_always_lock_free);

std::atomic_ref<uint32_t> shared_word() {
    return std::atomic_ref<uint32_t>(*static_cast<uint32_t *>(g_shm_addr));
}

std::atomic_ref<uint32_t> own_word() { return std::atomic_ref<uint32_t>(g_self_keystore_version); }

}  // namespace

uint32_t shared_keystore_version() { return shared_word().load(std::memory_order_acquire); }

uint32_t own_keystore_version() { return own_word().load(std::memory_order_acquire); }

void set_own_keystore_version(uint32_t version) { own_word().store(version, std::memory_order_release); }

uint32_t announce_keystore_change(bool adopt_if_in_step) {
    const uint32_t before = shared_word().fetch_add(1, std::memory_order_acq_rel);
    const uint32_t after = before + 1;
    if (adopt_if_in_step) {
        // Compare-and-swap, so that of two threads announcing at once only the
        // one whose increment directly followed the own version adopts.
        uint32_t expected = before;
        own_word().compare_exchange_strong(expected, after, std::memory_order_acq_rel);
    }
    return after;
}

}  // namespace tv

extern "C" unsigned long load_keystore_version(void) {
    // Attached already (a repeated call, or an initialisation after a
    // finalisation that stopped early): a second attachment would only leak
    // the first.
    if (g_shm_addr == nullptr) {
        const int id = shmget(tv::kVersionSegmentKey, tv::kVersionSegmentSize, IPC_CREAT | 0600);
        if (id == -1) {
            VAQ_LOG(tv::kError, "shmget failed with %s\n", tv::error_text(errno));
            return 1;
        }
        void *addr = shmat(id, nullptr, 0);
        if (addr == reinterpret_cast<void *>(-1)) {
            VAQ_LOG(tv::kError, "shmat failed with %s\n", tv::error_text(errno));
            return 1;
        }
        g_shm_addr = addr;
    }
    tv::set_own_keystore_version(tv::shared_keystore_version());
    return 0;
}

extern "C" unsigned long TELMOR_update_shm(void) {
    // Without an attached segment there is no version to raise.
    if (!tv::library_initialised() || g_shm_addr == nullptr) {
        VAQ_LOG(tv::kError, "TELMOR VAQ not Initialize\n");
        return 1;
    }
    tv::announce_keystore_change(false);
    VAQ_LOG(tv::kInfo, " update shm version over , %d\n",
            static_cast<int32_t>(tv::shared_keystore_version()));
    return 0;
}
