// SPDX-License-Identifier: Apache-2.0
// The node-wide process lock: one System V semaphore shared by every process
// of every role. SEM_UNDO gives back the hold of a process that dies holding
// it. The set is never removed once in use: it outlives every process.
#include <sys/ipc.h>
#include <sys/sem.h>

#include <cerrno>
#include <cstring>

#include "common/log.h"

namespace {

constexpr int32_t kProcessLockKey = 0x20191230;

// The caller defines the argument of semctl (see semctl(2)).
union SemArgument {
    int val;
    semid_ds *buf;
    unsigned short *array;
};

int32_t *holder(void *handle) { return static_cast<int32_t *>(handle); }

// One operation on semaphore 0. A wait that a signal interrupts is waited
// again: returning then would let the caller think it holds the lock.
bool operate(int32_t id, short delta) {
    sembuf op{};
    op.sem_num = 0;
    op.sem_op = delta;
    op.sem_flg = SEM_UNDO;
    int rc = 0;
    do {
        rc = semop(id, &op, 1);
    } while (rc == -1 && errno == EINTR);
    return rc == 0;
}

}  // namespace

extern "C" int32_t telmor_create_proc_lock_inner(int32_t key, int32_t *id) {
    if (id == nullptr) return 0;
    *id = semget(key, 1, IPC_CREAT | IPC_EXCL | 0600);
    const bool created = *id != -1;
    if (!created && errno != EEXIST) {
        VAQ_LOG(tv::kError, "create sem error %s\n", std::strerror(errno));
        return 0;
    }
    VAQ_LOG(tv::kInfo, "create process lock for  %d\n", key);
    if (created) {
        VAQ_LOG(tv::kInfo, "create sem  %d\n", *id);
        SemArgument free_lock{};
        free_lock.val = 1;
        if (semctl(*id, 0, SETVAL, free_lock) == -1) {
            VAQ_LOG(tv::kError, "set sem value error %s\n", std::strerror(errno));
            // Left at 0 the set would make every later lock on the node wait
            // for good; removed, the next process creates it afresh.
            semctl(*id, 0, IPC_RMID);
            *id = -1;
            return 0;
        }
        return 1;
    }
    *id = semget(key, 1, 0600);
    if (*id == -1) {
        VAQ_LOG(tv::kInfo, "get sem error %s\n", std::strerror(errno));
        return 0;
    }
    VAQ_LOG(tv::kInfo, "get sem  %d\n", *id);
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
    if (!operate(*holder(handle), -1)) {
        VAQ_LOG(tv::kInfo, "add sem proc lock for %d fail\n", *holder(handle));
    }
}

extern "C" void Telmor_Release_Pro_Lock(void *handle) {
    if (handle == nullptr) return;
    if (!operate(*holder(handle), +1)) {
        VAQ_LOG(tv::kInfo, "release sem proc lock for %d fail\n", *holder(handle));
    }
}
