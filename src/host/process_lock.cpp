// SPDX-License-Identifier: Apache-2.0
// The node-wide process lock: one System V semaphore shared by every process
// of every role. SEM_UNDO gives back the hold of a process that dies holding
// it. The set is never removed once in use: it outlives every process.
//
// The protocol, which model/process_lock.pml checks step by step (the steps
// are marked [model: ...] here):
// - A set is made exclusively (IPC_CREAT|IPC_EXCL), so one process is its
//   creator. It gives the set to the keystore owner and then frees it with a
//   semaphore operation (+1, no undo). That one step sets the value to 1 and
//   stamps sem_otime: a set whose time stamp is zero was never made ready.
//   Nothing else, no log line either, stands between creating and stamping.
// - A process that finds a set that is not stamped waits a bounded time
//   (elapsed on the monotonic clock) for the stamp. If none comes, it takes
//   the creator for dead between creating and stamping: it removes the set
//   (IPC_RMID, which only one process can do to a set) and goes by the key
//   again, where the first to create it exclusively becomes the new creator.
//   The value of a set another process may hold is never set.
// - Every process that finds its set removed (EIDRM, EINVAL), the creator
//   whose stamp finds it removed included, goes by the key again, a bounded
//   number of times. Any other failure to take the lock is answered to the
//   caller as such (errno ENOLCK, see vaq_host_services.h), never as a lock
//   taken. A give-back that fails while the set still stands is tried again,
//   so that no process goes on holding a lock it believes it gave back.
//
// What the semaphore alone cannot promise: a creator that is stopped (or
// starved) past the bound has its set removed under it, and an operator's
// ipcrm removes a held set; either way two processes may each hold a set
// that was the lock. Keystore changes are therefore also fenced by the
// kernel with a lock on the role's keystore lock file (keystore_fence.h),
// taken after the semaphore and given back before it.
#include <sys/ipc.h>
#include <sys/sem.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "common/error_text.h"
#include "common/log.h"
#include "host/ipc_owner.h"
#include "host/keystore_fence.h"
#include "host/last_failure.h"
#include "host/sys.h"
#include "node_layout.h"
#include "vaq/vaq_host_services.h"

namespace {

constexpr int32_t kProcessLockKey = node_layout::kProcessLockKey;
constexpr char kWhat[] = "process lock";
// How long a new set may stay unready before a waiter takes it as abandoned:
// elapsed time, so that a loaded machine does not stretch it.
constexpr int64_t kReadyWaitNs = 2000000000;
constexpr int kReadyPollMs = 10;
// How often one process may find the set under the key gone before it gives
// up: each time needs another process to have died half-way through making it
// (or an operator to have removed it).
constexpr int kMaxRemovals = 16;
// How often a give-back that fails while its set stands is tried again.
constexpr int kGiveBackTries = 3;
// How often a process that waits for the lock says who holds it.
constexpr time_t kHeldReportSeconds = 10;

int32_t *holder(void *handle) { return static_cast<int32_t *>(handle); }

bool removed(int err) { return err == EIDRM || err == EINVAL; }

bool stat_set(int32_t id, semid_ds &ds) {
    tv::SemArg arg{};
    arg.buf = &ds;
    return tv::sys().semctl(id, 0, IPC_STAT, arg) == 0;
}

int64_t monotonic_ns() {
    timespec now{};
    tv::sys().clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void sleep_ms(int ms) {
    timespec ts{0, static_cast<long>(ms) * 1000000L};
    while (tv::sys().nanosleep(&ts, &ts) == -1 && errno == EINTR) {}
}

// Operations on semaphore 0, retried when a signal interrupts them.
int operate(int32_t id, sembuf *ops, size_t count, const timespec *timeout) {
    int rc = 0;
    do {
        rc = timeout == nullptr ? tv::sys().semop(id, ops, count) : tv::sys().semtimedop(id, ops, count, timeout);
    } while (rc == -1 && errno == EINTR);
    return rc;
}

// A set just created exclusively: given to its owner, then freed and stamped
// in one operation [model: give, stamp]. No other process can have taken it:
// its value is 0 until this stamp. False with errno set when a step failed.
bool make_ready(int32_t id, const tv::IpcOwnership &owner) {
    semid_ds ds{};
    if (!stat_set(id, ds)) return false;
#ifdef TELMOR_LOCK_MUTANT_STAMP_FIRST
    // Mutant build: stamped first (value back to 0), freed in a later call.
    sembuf stampOnly[2] = {{0, +1, 0}, {0, -1, 0}};
    if (operate(id, stampOnly, 2, nullptr) != 0) return false;
#endif
    ds.sem_perm.uid = owner.uid;
    if (owner.shareGroup) ds.sem_perm.gid = owner.gid;
    ds.sem_perm.mode = owner.mode;
    tv::SemArg arg{};
    arg.buf = &ds;
    if (tv::sys().semctl(id, 0, IPC_SET, arg) == -1) return false;
    sembuf stamp{0, +1, 0};
    return operate(id, &stamp, 1, nullptr) == 0;
}

enum class Readiness { kReady, kGone, kFailed };

// A set that exists but was never stamped: its creator is between creating
// and stamping it, or was killed there. Wait a bounded time for the stamp;
// then remove the set, so that the key is free to be made again.
Readiness wait_until_ready(int32_t key, int32_t id) {
    semid_ds ds{};
    const int64_t deadline = monotonic_ns() + kReadyWaitNs;
    for (;;) {
        // [model: look]
        if (!stat_set(id, ds)) {
            if (removed(errno)) return Readiness::kGone;
            VAQ_LOG(tv::kError, "process lock %#x cannot be inspected: %s\n", static_cast<unsigned>(key),
                    tv::error_text(errno));
            return Readiness::kFailed;
        }
        if (ds.sem_otime != 0) return Readiness::kReady;
        if (monotonic_ns() >= deadline) break;
        sleep_ms(kReadyPollMs);
    }
#ifdef TELMOR_LOCK_MUTANT_SETVAL_REPAIR
    // Mutant build: the old repair, which frees the set in place, with its
    // log line between the last look and the setting.
    VAQ_LOG(tv::kWarn, "process lock %#x (id %d) was never made ready by its creator; freeing it\n",
            static_cast<unsigned>(key), id);
    tv::SemArg one{};
    one.val = 1;
    if (tv::sys().semctl(id, 0, SETVAL, one) == 0) return Readiness::kReady;
#endif
    // The last look and the removal: no other call stands between them, and
    // a set that has been taken or given back is stamped, so a held set is
    // removed only if this process is stopped between the two (the keystore
    // fence keeps the two holders that leaves apart). [model: remove]
    if (tv::sys().semctl(id, 0, IPC_RMID, tv::SemArg{}) == 0) {
        VAQ_LOG(tv::kWarn, "process lock %#x (id %d) was never made ready by its creator; removed it to make it afresh\n",
                static_cast<unsigned>(key), id);
        return Readiness::kGone;
    }
    if (removed(errno)) return Readiness::kGone;  // another waiter removed it first
    VAQ_LOG(tv::kError,
            "process lock %#x (id %d) was never made ready by its creator and cannot be removed by uid %u: %s "
            "(owner uid %u, creator uid %u)\n",
            static_cast<unsigned>(key), id, static_cast<unsigned>(tv::sys().geteuid()), tv::error_text(errno),
            static_cast<unsigned>(ds.sem_perm.uid), static_cast<unsigned>(ds.sem_perm.cuid));
    return Readiness::kFailed;
}

// Puts the ready set under key in *id, making it or repairing it on the way.
// The interface's lines: "create process lock for" once, then "create sem"
// for a set made here or "get sem" for one found.
int32_t find_or_make(int32_t key, int32_t *id) {
    tv::IpcOwnership owner;
    // Worked out before creating, so that nothing slow stands between
    // creating and stamping.
    const bool mayCreate = tv::plan_ipc_ownership(kWhat, key, owner);
    bool announced = false;
    auto announce = [&] {
        if (!announced) VAQ_LOG(tv::kInfo, "create process lock for  %d\n", key);
        announced = true;
    };
    for (int attempt = 0; attempt < kMaxRemovals; ++attempt) {
        if (mayCreate) {
            // [model: create]
            const int32_t made = tv::sys().semget(key, 1, IPC_CREAT | IPC_EXCL | 0600);
            if (made != -1) {
                const bool ready = make_ready(made, owner);
                const int err = errno;
                announce();
                VAQ_LOG(tv::kInfo, "create sem  %d\n", made);
                if (ready) {
                    *id = made;
                    return 1;
                }
                // Left unready the set would hold every process of the node
                // for the bound; removed, the next process makes it afresh.
                // Nobody took it: it is never stamped.
                tv::sys().semctl(made, 0, IPC_RMID, tv::SemArg{});
                // Removed under its creator (it stalled past the bound and a
                // waiter took it for abandoned, or an operator removed it):
                // the lock is whatever stands under the key now.
                if (removed(err)) {
                    VAQ_LOG(tv::kWarn, "process lock %#x (id %d) was removed before its creator made it ready; "
                            "looking for it again\n", static_cast<unsigned>(key), made);
                    continue;
                }
                VAQ_LOG(tv::kError, "set sem value error %s\n", tv::error_text(err));
                return 0;
            }
            if (errno != EEXIST) {
                tv::record_ipc_failure(TELMOR_VAQ_OBJECT_IPC_LOCK, key, nullptr, errno);
                VAQ_LOG(tv::kError, "create sem error %s\n", tv::error_text(errno));
                return 0;
            }
        }
        announce();
        const int32_t found = tv::get_once_given([key] { return tv::sys().semget(key, 1, 0600); });
        if (found == -1) {
            if (errno == ENOENT && mayCreate) continue;  // removed since: make it
            tv::record_ipc_failure(TELMOR_VAQ_OBJECT_IPC_LOCK, key, nullptr, errno);
            VAQ_LOG(tv::kInfo, "get sem error %s\n", tv::error_text(errno));
            return 0;
        }
        semid_ds ds{};
        if (!stat_set(found, ds)) {
            if (removed(errno)) continue;
            VAQ_LOG(tv::kError, "process lock %#x cannot be inspected: %s\n", static_cast<unsigned>(key),
                    tv::error_text(errno));
            return 0;
        }
        if (const char *why = tv::foreign_ipc_reason(ds.sem_perm)) {
            tv::log_foreign_ipc(kWhat, key, why, ds.sem_perm);
            return 0;
        }
        if (mayCreate && tv::hand_over(ds.sem_perm, owner)) {
            tv::SemArg arg{};
            arg.buf = &ds;
            if (tv::sys().semctl(found, 0, IPC_SET, arg) == -1)
                VAQ_LOG(tv::kWarn, "process lock %#x could not be given to uid %u: %s\n", static_cast<unsigned>(key),
                        static_cast<unsigned>(ds.sem_perm.uid), tv::error_text(errno));
        }
        if (ds.sem_otime == 0) {
            const Readiness r = wait_until_ready(key, found);
            if (r == Readiness::kGone) continue;
            if (r == Readiness::kFailed) return 0;
        }
        VAQ_LOG(tv::kInfo, "get sem  %d\n", found);
        *id = found;
        return 1;
    }
    VAQ_LOG(tv::kError, "process lock %#x was removed %d times while this process looked for it; giving up\n",
            static_cast<unsigned>(key), kMaxRemovals);
    return 0;
}

// Gives the lock back on set id. A failure while the set still stands (a
// removal answered for a set that was not removed, a lack of memory) is
// tried again: a process that went on believing it gave the lock back would
// wait for itself at its next take, and hold every other process with it.
// A set that is gone has nothing to give back. One that still refuses after
// the last try is removed, as a never-ready set is: the others then find the
// lock again by key instead of waiting for good on this process (its fence is
// already given back). False when the give-back failed.
bool give_back(int32_t id) {
#ifdef TELMOR_LOCK_MUTANT_UNDO_LESS_GIVEBACK
    // Mutant build: the give-back leaves the take's undo in place.
    sembuf give{0, +1, 0};
#else
    sembuf give{0, +1, SEM_UNDO};
#endif
    for (int tries = 0;; ++tries) {
        if (operate(id, &give, 1, nullptr) == 0) return true;
        const int err = errno;
        semid_ds ds{};
        if (!stat_set(id, ds)) {
            errno = err;
            return false;
        }
        if (tries + 1 >= kGiveBackTries) {
            VAQ_LOG(tv::kWarn, "process lock %#x (id %d) could not be given back (%s); removed it to make it afresh\n",
                    static_cast<unsigned>(kProcessLockKey), id, tv::error_text(err));
            tv::sys().semctl(id, 0, IPC_RMID, tv::SemArg{});
            errno = err;
            return false;
        }
    }
}

// What the key library learns of a lock not taken (see vaq_host_services.h).
void answer_not_taken() { errno = ENOLCK; }

}  // namespace

extern "C" int32_t telmor_create_proc_lock_inner(int32_t key, int32_t *id) {
    if (id == nullptr) return 0;
    *id = -1;
    return find_or_make(key, id);
}

extern "C" int32_t Telmor_Create_Pro_Lock(void **handle) {
    if (handle == nullptr) return 0;
    auto *id = static_cast<int32_t *>(VAQ_ALLOC(sizeof(int32_t)));
    if (id == nullptr) return 0;
    if (telmor_create_proc_lock_inner(kProcessLockKey, id) == 0) {
        VAQ_FREE(id);
        return 0;
    }
    *handle = id;
    return 1;
}

extern "C" void Telmor_Destroy_Pro_Lock(void *handle) {
    if (handle == nullptr || *holder(handle) < 0) return;
    VAQ_LOG(tv::kInfo, "destroy sem  %d, not unlink,just free mem\n", *holder(handle));
    VAQ_FREE(handle);
}

extern "C" void Telmor_Add_Pro_Lock(void *handle) {
    if (handle == nullptr) return;
    // The wait has no end: a holder that is stopped rather than dead keeps
    // the lock. What the wait does is say, now and then, whom it waits for.
    sembuf take{0, -1, SEM_UNDO};
    const timespec interval{kHeldReportSeconds, 0};
    time_t waited = 0;
    int regets = 0;
    // [model: take]
    while (operate(*holder(handle), &take, 1, &interval) == -1) {
        const int err = errno;
        const int32_t id = *holder(handle);
        if (err == EAGAIN) {
            waited += kHeldReportSeconds;
            VAQ_LOG(tv::kWarn, "waiting %ld s so far for the process lock %d; last taken or given back by pid %d\n",
                    static_cast<long>(waited), id, tv::sys().semctl(id, 0, GETPID, tv::SemArg{}));
            continue;
        }
#ifdef TELMOR_LOCK_MUTANT_NO_REGET
        // Mutant build: a removed set is answered as a lock taken.
        if (removed(err)) {
            VAQ_LOG(tv::kInfo, "add sem proc lock for %d fail\n", id);
            errno = 0;
            return;
        }
#endif
        // The set was removed (a never-ready set repaired, or an operator's
        // ipcrm): the lock is the set under the key now. [model: reget]
        if (removed(err) && regets++ < kMaxRemovals) {
            int32_t fresh = -1;
            if (telmor_create_proc_lock_inner(kProcessLockKey, &fresh) == 1) {
                *holder(handle) = fresh;
                continue;
            }
        }
        VAQ_LOG(tv::kInfo, "add sem proc lock for %d fail\n", id);
        VAQ_LOG(tv::kError, "process lock %#x not taken: %s; the key library's operation stops\n",
                static_cast<unsigned>(kProcessLockKey),
                removed(err) ? "its set was removed and none could be had under the key" : tv::error_text(err));
        answer_not_taken();
        return;
    }
    // [model: fence] The kernel's lock on the keystore lock file, inside the
    // semaphore: what keeps two holders of the semaphore apart.
    if (!tv::fence_keystore(handle)) {
        give_back(*holder(handle));
        errno = VAQ_HOST_KEYSTORE_NOT_FENCED;
        return;
    }
    errno = 0;
}

extern "C" void Telmor_Release_Pro_Lock(void *handle) {
    if (handle == nullptr) return;
    // [model: unfence] The fence goes first: the semaphore it sits inside is
    // still held while it is given back.
    tv::unfence_keystore(handle);
    // [model: give back]
    if (!give_back(*holder(handle))) {
        VAQ_LOG(tv::kInfo, "release sem proc lock for %d fail\n", *holder(handle));
    }
}
