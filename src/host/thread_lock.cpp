// SPDX-License-Identifier: Apache-2.0
// Thread locks of the host-service table: plain, non-recursive mutexes in
// blocks from HX_VAQ_MemAlloc. The key library cannot see a failed lock or
// unlock; it is only logged.
#include <pthread.h>

#include "common/log.h"
#include "host/sys.h"
#include "common/error_text.h"

extern "C" int32_t Telmor_Create_Lock(void **handle) {
    if (handle == nullptr) return 0;
    auto *mutex = static_cast<pthread_mutex_t *>(VAQ_ALLOC(sizeof(pthread_mutex_t)));
    *handle = mutex;
    if (mutex == nullptr) {
        VAQ_LOG(tv::kError, "alloc vaq thread lock failure\n");
        return 0;
    }
    const int rc = tv::sys().mutex_init(mutex, nullptr);
    if (rc != 0) {
        VAQ_LOG(tv::kError, "init vaq thread lock failure %s\n", tv::error_text(rc));
        // The caller sees only 0; a block left in *handle would leak, and a
        // later lock on it would use an uninitialised mutex.
        VAQ_FREE(mutex);
        *handle = nullptr;
        return 0;
    }
    return 1;
}

extern "C" void Telmor_Destroy_Lock(void *handle) {
    if (handle == nullptr) return;
    if (tv::sys().mutex_destroy(static_cast<pthread_mutex_t *>(handle)) != 0) {
        VAQ_LOG(tv::kError, "destroy vaq thread lock failure\n");
    }
    VAQ_FREE(handle);
}

extern "C" void Telmor_Add_Lock(void *handle) {
    if (handle == nullptr) return;
    const int rc = tv::sys().mutex_lock(static_cast<pthread_mutex_t *>(handle));
    if (rc != 0) {
        VAQ_LOG(tv::kError, " vaq thread lock failure %s\n", tv::error_text(rc));
    }
}

extern "C" void Telmor_Release_Lock(void *handle) {
    if (handle == nullptr) return;
    const int rc = tv::sys().mutex_unlock(static_cast<pthread_mutex_t *>(handle));
    if (rc != 0) {
        VAQ_LOG(tv::kError, "vaq thread unlock failure %s\n", tv::error_text(rc));
    }
}
