// SPDX-License-Identifier: Apache-2.0
#include "fault_points.h"

#include <pthread.h>
#include <sys/shm.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

#include "common/log.h"
#include "host/sys.h"
#include "telmor_vaq_api.h"

namespace fault {
namespace {

struct Armed {
    int remaining;
    int err;
};

std::mutex &mu() {
    static std::mutex m;
    return m;
}
std::map<Point, Armed> &armed() {
    static std::map<Point, Armed> a;
    return a;
}
ReloadLockLog &lock_log() {
    static ReloadLockLog l;
    return l;
}
std::set<void *> &blocks() {
    static std::set<void *> b;
    return b;
}
int &allocation_count() {
    static int n = 0;
    return n;
}

// Counts a call at the point; true when this call is the one to fail.
bool trips(Point point, int *err) {
    std::lock_guard<std::mutex> g(mu());
    auto it = armed().find(point);
    if (it == armed().end()) return false;
    if (--it->second.remaining > 0) return false;
    *err = it->second.err;
    armed().erase(it);
    return true;
}

}  // namespace

void fail(Point point, int nth, int err) {
    std::lock_guard<std::mutex> g(mu());
    armed()[point] = Armed{nth, err};
}

void clear() {
    std::lock_guard<std::mutex> g(mu());
    armed().clear();
}

ReloadLockLog reload_lock_log() {
    std::lock_guard<std::mutex> g(mu());
    return lock_log();
}

std::set<void *> live_blocks() {
    std::lock_guard<std::mutex> g(mu());
    return blocks();
}

int allocations() {
    std::lock_guard<std::mutex> g(mu());
    return allocation_count();
}

}  // namespace fault

namespace fault {
namespace {

void *counted_alloc(int64_t line, const char *file, int32_t size) {
    int err = 0;
    if (trips(Point::kMemAlloc, &err)) return nullptr;
    void *block = tv::real_sys().mem_alloc(line, file, size);
    std::lock_guard<std::mutex> g(mu());
    ++allocation_count();
    if (block != nullptr) blocks().insert(block);
    return block;
}

void counted_free(int64_t line, const char *file, void *block) {
    {
        std::lock_guard<std::mutex> g(mu());
        blocks().erase(block);
    }
    tv::real_sys().mem_free(line, file, block);
}

int watched_rwlock_init(pthread_rwlock_t *lock, const pthread_rwlockattr_t *attr) {
    if (lock != &g_vaq_reload_rwlock) return tv::real_sys().rwlock_init(lock, attr);
    int err = 0;
    if (trips(Point::kRwlockInit, &err)) return err;
    const int ret = tv::real_sys().rwlock_init(lock, attr);
    std::lock_guard<std::mutex> g(mu());
    auto &log = lock_log();
    ++log.inits;
    if (log.live) ++log.initsWhileLive;
    log.live = ret == 0 || log.live;
    return ret;
}

int watched_rwlock_destroy(pthread_rwlock_t *lock) {
    if (lock != &g_vaq_reload_rwlock) return tv::real_sys().rwlock_destroy(lock);
    int err = 0;
    if (trips(Point::kRwlockDestroy, &err)) return err;
    const int ret = tv::real_sys().rwlock_destroy(lock);
    std::lock_guard<std::mutex> g(mu());
    ++lock_log().destroys;
    if (ret == 0) lock_log().live = false;
    return ret;
}

void *failing_shmat(int shmid, const void *addr, int flags) {
    int err = 0;
    if (trips(Point::kShmat, &err)) {
        errno = err;
        return reinterpret_cast<void *>(-1);
    }
    return tv::real_sys().shmat(shmid, addr, flags);
}

void *failing_crypto_malloc(size_t num, const char *file, int line) {
    int err = 0;
    if (file != nullptr && std::strcmp(file, tv::kModule) == 0 && trips(Point::kCryptoMalloc, &err)) {
        return nullptr;
    }
    return tv::real_sys().crypto_malloc(num, file, line);
}

int failing_mutex_init(pthread_mutex_t *mutex, const pthread_mutexattr_t *attr) {
    int err = 0;
    if (lock_cs != nullptr && mutex == lock_cs && trips(Point::kMutexInit, &err)) return err;
    return tv::real_sys().mutex_init(mutex, attr);
}

// In place before main, so every allocation of the library is seen.
const bool g_installed = [] {
    tv::override_sys(&tv::SysCalls::mem_alloc, counted_alloc);
    tv::override_sys(&tv::SysCalls::mem_free, counted_free);
    tv::override_sys(&tv::SysCalls::rwlock_init, watched_rwlock_init);
    tv::override_sys(&tv::SysCalls::rwlock_destroy, watched_rwlock_destroy);
    tv::override_sys(&tv::SysCalls::shmat, failing_shmat);
    tv::override_sys(&tv::SysCalls::crypto_malloc, failing_crypto_malloc);
    tv::override_sys(&tv::SysCalls::mutex_init, failing_mutex_init);
    return true;
}();

}  // namespace
}  // namespace fault
