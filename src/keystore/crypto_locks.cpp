// SPDX-License-Identifier: Apache-2.0
// The crypto-library lock array, offered to a host that hands OpenSSL a
// locking callback itself; the library registers none.
#include <openssl/crypto.h>

#include <cerrno>
#include <cstdint>

#include "common/log.h"
#include "host/sys.h"
#include "common/error_text.h"
#include "telmor_vaq_api.h"

namespace {
constexpr int kCryptoLockCount = 1;
}

extern "C" unsigned long CRYPTO_thread_setup(void) {
    lock_cs = static_cast<pthread_mutex_t *>(
        tv::sys().crypto_malloc(kCryptoLockCount * sizeof(pthread_mutex_t), tv::kModule, __LINE__));
    if (lock_cs == nullptr) {
        VAQ_LOG(tv::kError, "alloc mutex failure for openssl multithread\n");
        return 1;
    }
    for (int i = 0; i < kCryptoLockCount; ++i) {
        const int ret = tv::sys().mutex_init(&lock_cs[i], nullptr);
        if (ret != 0) {
            VAQ_LOG(tv::kError, "init mutex failure for openssl multithread %s\n", tv::error_text(ret));
            for (int j = 0; j < i; ++j) tv::sys().mutex_destroy(&lock_cs[j]);
            tv::sys().crypto_free(lock_cs, tv::kModule, __LINE__);
            lock_cs = nullptr;
            return 1;
        }
    }
    return 0;
}

extern "C" void CRYPTO_thread_cleanup(void) {
    if (lock_cs == nullptr) return;
    for (int i = 0; i < kCryptoLockCount; ++i) {
        const int ret = tv::sys().mutex_destroy(&lock_cs[i]);
        if (ret != 0) {
            VAQ_LOG(tv::kError, "destroy mutex failure for openssl multithread %s\n", tv::error_text(ret));
        }
    }
    tv::sys().crypto_free(lock_cs, tv::kModule, __LINE__);
    lock_cs = nullptr;
}

// A call outside setup and cleanup, or with an index beyond the array, is
// answered as the mutex call itself would answer a bad mutex (EINVAL) rather
// than by touching memory that is not a mutex.
extern "C" void pthreads_locking_callback(int32_t mode, int32_t index, const char * /*file*/, int32_t /*line*/) {
    const bool valid = lock_cs != nullptr && index >= 0 && index < kCryptoLockCount;
    if ((mode & 1) != 0) {
        const int ret = valid ? tv::sys().mutex_lock(&lock_cs[index]) : EINVAL;
        if (ret != 0) VAQ_LOG(tv::kError, "thread lock call back failure %s", tv::error_text(ret));
    } else {
        const int ret = valid ? tv::sys().mutex_unlock(&lock_cs[index]) : EINVAL;
        if (ret != 0) VAQ_LOG(tv::kError, "thread unlock callback failure %s", tv::error_text(ret));
    }
}

extern "C" void pthreads_thread_id(void * /*thread_id*/) {}
