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

constexpr char kWhat[] = "shared segment";

// Why the segment under our key must not be used, logged; or true. Another
// local account that made it first could hold the version word still, so
// that no key change ever reached a running process. A trusted segment
// that is not yet its planned owner's is given to it.
bool segment_trusted(int id, const IpcOwnership *owner) {
    shmid_ds ds{};
    if (tv::sys().shmctl(id, IPC_STAT, &ds) != 0) {
        VAQ_LOG(kError, "shared segment %#x cannot be inspected: %s\n", static_cast<unsigned>(kVersionSegmentKey),
                error_text(errno));
        return false;
    }
    if (const char *why = foreign_ipc_reason(ds.shm_perm)) {
        log_foreign_ipc(kWhat, kVersionSegmentKey, why, ds.shm_perm);
        return false;
    }
    if (owner != nullptr && hand_over(ds.shm_perm, *owner) && tv::sys().shmctl(id, IPC_SET, &ds) != 0)
        VAQ_LOG(kWarn, "shared segment %#x could not be given to uid %u: %s\n",
                static_cast<unsigned>(kVersionSegmentKey), static_cast<unsigned>(ds.shm_perm.uid), error_text(errno));
    return true;
}

// A segment just created here, given to the keystore owner. Until then only
// this process's account can reach it; its word starts at 0 either way.
bool give_segment(int id, const IpcOwnership &owner) {
    shmid_ds ds{};
    if (tv::sys().shmctl(id, IPC_STAT, &ds) != 0) return false;
    ds.shm_perm.uid = owner.uid;
    if (owner.shareGroup) ds.shm_perm.gid = owner.gid;
    ds.shm_perm.mode = owner.mode;
    return tv::sys().shmctl(id, IPC_SET, &ds) == 0;
}

// The id of the segment under our key, made and given to its owner if
// there is none; -1, logged, when it cannot be had or not be trusted.
int find_or_make_segment() {
    IpcOwnership owner;
    const bool mayCreate = plan_ipc_ownership(kWhat, kVersionSegmentKey, owner);
    if (mayCreate) {
        const int made = tv::sys().shmget(kVersionSegmentKey, kVersionSegmentSize, IPC_CREAT | IPC_EXCL | 0600);
        if (made != -1) {
            if (give_segment(made, owner)) return made;
            VAQ_LOG(kError, "shared segment %#x could not be given to uid %u: %s\n",
                    static_cast<unsigned>(kVersionSegmentKey), static_cast<unsigned>(owner.uid), error_text(errno));
            tv::sys().shmctl(made, IPC_RMID, nullptr);
            return -1;
        }
        if (errno != EEXIST) {
            record_ipc_failure(TELMOR_VAQ_OBJECT_IPC_SEGMENT, kVersionSegmentKey, nullptr, errno);
            VAQ_LOG(kError, "shmget failed with %s\n", error_text(errno));
            return -1;
        }
    }
    const int id =
        get_once_given([] { return tv::sys().shmget(kVersionSegmentKey, kVersionSegmentSize, 0600); });
    if (id == -1) {
        const int err = errno;
        record_ipc_failure(TELMOR_VAQ_OBJECT_IPC_SEGMENT, kVersionSegmentKey, nullptr, err);
        VAQ_LOG(kError, "shmget failed with %s\n", error_text(err));
        if (err == EINVAL) log_small_segment();
        if (err == EACCES) log_denied_ipc(kWhat, kVersionSegmentKey);
        return -1;
    }
    return segment_trusted(id, mayCreate ? &owner : nullptr) ? id : -1;
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
        const int id = tv::find_or_make_segment();
        if (id == -1) return 1;
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
