// SPDX-License-Identifier: Apache-2.0
// The reload lock: key operations hold it for reading while they call into the
// key libraries, the reload holds it for writing. No retry, no time-out.
#include <pthread.h>

#include <cstdint>

#include "common/log.h"
#include "host/sys.h"
#include "common/error_text.h"
#include "telmor_vaq_api.h"

extern "C" int32_t wrlock_vaq_mem(void) {
    const int ret = tv::sys().rwlock_wrlock(&g_vaq_reload_rwlock);
    if (ret != 0) {
        VAQ_LOG(tv::kError, "wrlock g_vaq_reload_rwlock error, ret=%lu, error %s\n",
                static_cast<unsigned long>(static_cast<uint32_t>(ret)), tv::error_text(ret));
    }
    return ret;
}

extern "C" int32_t rdlock_vaq_mem(void) {
    const int ret = tv::sys().rwlock_rdlock(&g_vaq_reload_rwlock);
    if (ret != 0) {
        VAQ_LOG(tv::kError, "rdlock g_vaq_reload_rwlock error, ret=%lu, error %s\n",
                static_cast<unsigned long>(static_cast<uint32_t>(ret)), tv::error_text(ret));
    }
    return ret;
}

extern "C" int32_t unlock_vaq_mem(void) {
    const int ret = tv::sys().rwlock_unlock(&g_vaq_reload_rwlock);
    if (ret != 0) {
        VAQ_LOG(tv::kError, "unlock g_vaq_reload_rwlock error, ret=%lu, error %s\n",
                static_cast<unsigned long>(static_cast<uint32_t>(ret)), tv::error_text(ret));
    }
    return ret;
}
