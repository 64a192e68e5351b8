// SPDX-License-Identifier: Apache-2.0
// The node-wide process lock: one System V semaphore shared by every process
// of every role. SEM_UNDO gives back the hold of a process that dies holding
// it. The set is never removed once in use: it outlives every process.
//
// Any local account can create a set under our key before our first process
// does. A set is therefore used only when it belongs to this user or root and
// nobody else may write it. Its creator frees it with a semaphore operation,
// which also stamps sem_otime: a set whose time stamp is still zero was never
// made ready, and a creator killed between creating and freeing it would
// otherwise leave every process of the node waiting for good. Others wait a
// bounded time for the stamp and then free the set themselves. (Two waiters
// that give up at the same moment both set the value to 1; one that gives up
// just as another has freed and taken the set can free it once more. Both
// need a creator killed first, and the bound makes the window small.)
#include <sys/ipc.h>
#include <sys/sem.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "common/log.h"
#include "host/ipc_owner.h"
#include "host/last_failure.h"
#include "host/sys.h"
#include "common/error_text.h"
#include "node_layout.h"

namespace {

constexpr int32_t kProcessLockKey = node_layout::kProcessLockKey;
// How long a new set may stay unready before a waiter takes it as abandoned.
constexpr int kReadyWaitMs = 2000;
constexpr int kReadyPollMs = 10;
// How often a process that waits for the lock says who holds it.
constexpr time_t kHeldReportSeconds = 10;

int32_t *holder(void *handle) { return static_cast<int32_t *>(handle); }

bool stat_set(int32_t id, semid_ds &ds) {
    tv::SemArg arg{};
    arg.buf = &ds;
    return tv::sys().semctl(id, 0, IPC_STAT, arg) == 0;
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

// Sets the value to 1 (free), then takes and gives back the lock in one
// call: that stamps sem_otime, the sign that the set is ready. Held already
// by the time of the stamp: the holder stamped it.
bool make_free(int32_t id) {
    tv::SemArg freeLock{};
    freeLock.val = 1;
    if (tv::sys().semctl(id, 0, SETVAL, freeLock) == -1) {
        VAQ_LOG(tv::kError, "set sem value error %s\n", tv::error_text(errno));
        return false;
    }
    sembuf stamp[2] = {{0, -1, IPC_NOWAIT}, {0, +1, 0}};
    operate(id, stamp, 2, nullptr);
    return true;
}

// A set that exists but was never stamped: its creator is between creating
// and freeing it, or was killed there. Wait a bounded time, then free it.
void wait_until_ready(int32_t key, int32_t id) {
    semid_ds ds{};
    for (int waited = 0; waited < kReadyWaitMs; waited += kReadyPollMs) {
        if (!stat_set(id, ds) || ds.sem_otime != 0) return;
        sleep_ms(kReadyPollMs);
    }
    if (!stat_set(id, ds) || ds.sem_otime != 0) return;
    VAQ_LOG(tv::kWarn, "process lock %#x was never made free by its creator; freeing it\n", static_cast<unsigned>(key));
    make_free(id);
}

}  // namespace

extern "C" int32_t telmor_create_proc_lock_inner(int32_t key, int32_t *id) {
    if (id == nullptr) return 0;
    *id = tv::sys().semget(key, 1, IPC_CREAT | IPC_EXCL | 0600);
    const bool created = *id != -1;
    if (!created && errno != EEXIST) {
        tv::record_ipc_failure(TELMOR_VAQ_OBJECT_IPC_LOCK, key, nullptr, errno);
        VAQ_LOG(tv::kError, "create sem error %s\n", tv::error_text(errno));
        return 0;
    }
    VAQ_LOG(tv::kInfo, "create process lock for  %d\n", key);
    if (created) {
        VAQ_LOG(tv::kInfo, "create sem  %d\n", *id);
        if (!make_free(*id)) {
            // Left at 0 the set would make every later lock on the node wait
            // for good; removed, the next process creates it afresh.
            tv::sys().semctl(*id, 0, IPC_RMID, tv::SemArg{});
            *id = -1;
            return 0;
        }
        return 1;
    }
    *id = tv::sys().semget(key, 1, 0600);
    if (*id == -1) {
        tv::record_ipc_failure(TELMOR_VAQ_OBJECT_IPC_LOCK, key, nullptr, errno);
        VAQ_LOG(tv::kInfo, "get sem error %s\n", tv::error_text(errno));
        return 0;
    }
    semid_ds ds{};
    if (!stat_set(*id, ds)) {
        VAQ_LOG(tv::kError, "process lock %#x cannot be inspected: %s\n", static_cast<unsigned>(key),
                tv::error_text(errno));
        *id = -1;
        return 0;
    }
    if (const char *why = tv::foreign_ipc_reason(ds.sem_perm)) {
        tv::record_ipc_failure(TELMOR_VAQ_OBJECT_IPC_LOCK, key, why, 0);
        VAQ_LOG(tv::kError, "process lock %#x not used: %s (owner uid %u, creator uid %u, mode %04o)\n",
                static_cast<unsigned>(key), why, static_cast<unsigned>(ds.sem_perm.uid),
                static_cast<unsigned>(ds.sem_perm.cuid), static_cast<unsigned>(ds.sem_perm.mode & 0777));
        *id = -1;
        return 0;
    }
    VAQ_LOG(tv::kInfo, "get sem  %d\n", *id);
    if (ds.sem_otime == 0) wait_until_ready(key, *id);
    return 1;
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
    const int32_t id = *holder(handle);
    // The wait has no end: a holder that is stopped rather than dead keeps
    // the lock. What the wait does is say, now and then, whom it waits for.
    sembuf take{0, -1, SEM_UNDO};
    const timespec interval{kHeldReportSeconds, 0};
    time_t waited = 0;
    while (operate(id, &take, 1, &interval) == -1) {
        if (errno != EAGAIN) {
            VAQ_LOG(tv::kInfo, "add sem proc lock for %d fail\n", id);
            return;
        }
        waited += kHeldReportSeconds;
        VAQ_LOG(tv::kWarn, "waiting %ld s so far for the process lock %d; last taken or given back by pid %d\n",
                static_cast<long>(waited), id, tv::sys().semctl(id, 0, GETPID, tv::SemArg{}));
    }
}

extern "C" void Telmor_Release_Pro_Lock(void *handle) {
    if (handle == nullptr) return;
    sembuf give{0, +1, SEM_UNDO};
    if (operate(*holder(handle), &give, 1, nullptr) == -1) {
        VAQ_LOG(tv::kInfo, "release sem proc lock for %d fail\n", *holder(handle));
    }
}
