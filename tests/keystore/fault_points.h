/* SPDX-License-Identifier: Apache-2.0 */
// Failures on demand for the system calls and allocations that initialisation
// and finalisation make. Linking this file puts its own entries into the
// library's system-call table (src/host/sys.h) before main; each forwards to
// the real call unless a failure is armed for it.
//
// Only the library's own objects are matched (the reload lock, the crypto lock
// array, allocations made through HX_VAQ_MemAlloc), so OpenSSL and the test
// framework are never failed by accident.
#ifndef TELMOR_TEST_FAULT_POINTS_H
#define TELMOR_TEST_FAULT_POINTS_H

#include <cerrno>
#include <set>

namespace fault {

enum class Point {
    kMemAlloc,       // HX_VAQ_MemAlloc answers null
    kRwlockInit,     // pthread_rwlock_init on g_vaq_reload_rwlock
    kRwlockDestroy,  // pthread_rwlock_destroy on g_vaq_reload_rwlock
    kShmat,          // shmat
    kCryptoMalloc,   // CRYPTO_malloc from the main library
    kMutexInit,      // pthread_mutex_init on the crypto lock array
};

// The nth call from now (1 = the next) at the point fails with error `err`.
void fail(Point point, int nth = 1, int err = EAGAIN);
void clear();

// Observations, kept whether or not anything fails.
struct ReloadLockLog {
    int inits = 0;
    int destroys = 0;
    bool live = false;
    int initsWhileLive = 0;  // undefined under POSIX, so any is a fault
};
ReloadLockLog reload_lock_log();
// Blocks from HX_VAQ_MemAlloc not yet given back to HX_VAQ_MemFree.
std::set<void *> live_blocks();
int allocations();

}  // namespace fault

#endif
