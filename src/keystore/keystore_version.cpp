// SPDX-License-Identifier: Apache-2.0
// The keystore-version segment: attaching it, reading and raising the shared
// version, and the host's announcement of a change.
#include "keystore/keystore_version.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <atomic>
#include <cerrno>

#include "common/log.h"
#include "host/ipc_owner.h"
#include "host/last_failure.h"
#include "host/sys.h"
#include "common/error_text.h"
#include "keystore/init_flag.h"
#include "node_layout.h"
#include "telmor_vaq_api.h"

namespace tv {
namespace {

constexpr key_t kVersionSegmentKey = node_layout::kVersionSegmentKey;
constexpr size_t kVersionSegmentSize = node_layout::kVersionSegmentSize;

// A lock-free 32-bit atomic works on memory shared between processes.
static_assert(std::atomic_ref<uint32_t>::is_always_lock_free);

std::atomic_ref<uint32_t> shared_word() { return std::atomic_ref<uint32_t>(*static_cast<uint32_t *>(g_shm_addr)); }

std::atomic_ref<uint32_t> own_word() { return std::atomic_ref<uint32_t>(g_self_keystore_version); }

// Why the segment under our key must not be used, logged; or true. Another
// local account that made it first could hold the version word still, so
// that no key change ever reached a running process.
bool segment_trusted(int id) {
    shmid_ds ds{};
    if (tv::sys().shmctl(id, IPC_STAT, &ds) != 0) {
        VAQ_LOG(kError, "shared segment %#x cannot be inspected: %s\n", static_cast<unsigned>(kVersionSegmentKey),
                error_text(errno));
        return false;
    }
    if (const char *why = foreign_ipc_reason(ds.shm_perm)) {
        record_ipc_failure(TELMOR_VAQ_OBJECT_IPC_SEGMENT, kVersionSegmentKey, why, 0);
        VAQ_LOG(kError, "shared segment %#x not used: %s (owner uid %u, creator uid %u, mode %04o)\n",
                static_cast<unsigned>(kVersionSegmentKey), why, static_cast<unsigned>(ds.shm_perm.uid),
                static_cast<unsigned>(ds.shm_perm.cuid), static_cast<unsigned>(ds.shm_perm.mode & 0777));
        return false;
    }
    return true;
}

// shmget refuses an existing segment smaller than asked with EINVAL; say so
// plainly, with the size found.
void log_small_segment() {
    const int id = tv::sys().shmget(kVersionSegmentKey, 0, 0);
    shmid_ds ds{};
    if (id == -1 || tv::sys().shmctl(id, IPC_STAT, &ds) != 0) return;
    if (ds.shm_segsz >= kVersionSegmentSize) return;
    VAQ_LOG(kError, "shared segment %#x is %zu bytes, smaller than the %zu this library needs; not used\n",
            static_cast<unsigned>(kVersionSegmentKey), static_cast<size_t>(ds.shm_segsz), kVersionSegmentSize);
}

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
        const int id = tv::sys().shmget(tv::kVersionSegmentKey, tv::kVersionSegmentSize, IPC_CREAT | 0600);
        if (id == -1) {
            const int err = errno;
            tv::record_ipc_failure(TELMOR_VAQ_OBJECT_IPC_SEGMENT, tv::kVersionSegmentKey, nullptr, err);
            VAQ_LOG(tv::kError, "shmget failed with %s\n", tv::error_text(err));
            if (err == EINVAL) tv::log_small_segment();
            return 1;
        }
        if (!tv::segment_trusted(id)) return 1;
        void *addr = tv::sys().shmat(id, nullptr, 0);
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
    VAQ_LOG(tv::kInfo, " update shm version over , %d\n", static_cast<int32_t>(tv::shared_keystore_version()));
    return 0;
}
