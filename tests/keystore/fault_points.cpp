// SPDX-License-Identifier: Apache-2.0
#include "fault_points.h"

#include <dlfcn.h>
#include <pthread.h>
#include <sys/shm.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

#include "common/log.h"
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

template <class Fn>
Fn next(const char *name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
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

using fault::Point;

#define INTERPOSE extern "C" __attribute__((visibility("default")))

INTERPOSE void *HX_VAQ_MemAlloc(int64_t line, const char *file, int32_t size) {
    static auto real = fault::next<void *(*)(int64_t, const char *, int32_t)>("HX_VAQ_MemAlloc");
    int err = 0;
    if (fault::trips(Point::kMemAlloc, &err)) return nullptr;
    void *block = real(line, file, size);
    std::lock_guard<std::mutex> g(fault::mu());
    ++fault::allocation_count();
    if (block != nullptr) fault::blocks().insert(block);
    return block;
}

INTERPOSE void HX_VAQ_MemFree(int64_t line, const char *file, void *block) {
    static auto real = fault::next<void (*)(int64_t, const char *, void *)>("HX_VAQ_MemFree");
    {
        std::lock_guard<std::mutex> g(fault::mu());
        fault::blocks().erase(block);
    }
    real(line, file, block);
}

INTERPOSE int pthread_rwlock_init(pthread_rwlock_t *lock, const pthread_rwlockattr_t *attr) noexcept {
    static auto real = fault::next<int (*)(pthread_rwlock_t *, const pthread_rwlockattr_t *)>(
        "pthread_rwlock_init");
    if (lock != &g_vaq_reload_rwlock) return real(lock, attr);
    int err = 0;
    if (fault::trips(Point::kRwlockInit, &err)) return err;
    const int ret = real(lock, attr);
    std::lock_guard<std::mutex> g(fault::mu());
    auto &log = fault::lock_log();
    ++log.inits;
    if (log.live) ++log.initsWhileLive;
    log.live = ret == 0 || log.live;
    return ret;
}

INTERPOSE int pthread_rwlock_destroy(pthread_rwlock_t *lock) noexcept {
    static auto real = fault::next<int (*)(pthread_rwlock_t *)>("pthread_rwlock_destroy");
    if (lock != &g_vaq_reload_rwlock) return real(lock);
    int err = 0;
    if (fault::trips(Point::kRwlockDestroy, &err)) return err;
    const int ret = real(lock);
    std::lock_guard<std::mutex> g(fault::mu());
    ++fault::lock_log().destroys;
    if (ret == 0) fault::lock_log().live = false;
    return ret;
}

INTERPOSE void *shmat(int shmid, const void *addr, int flags) noexcept {
    static auto real = fault::next<void *(*)(int, const void *, int)>("shmat");
    int err = 0;
    if (fault::trips(Point::kShmat, &err)) {
        errno = err;
        return reinterpret_cast<void *>(-1);
    }
    return real(shmid, addr, flags);
}

INTERPOSE void *CRYPTO_malloc(size_t num, const char *file, int line) {
    static auto real = fault::next<void *(*)(size_t, const char *, int)>("CRYPTO_malloc");
    int err = 0;
    if (file != nullptr && std::strcmp(file, tv::kModule) == 0 && fault::trips(Point::kCryptoMalloc, &err)) {
        return nullptr;
    }
    return real(num, file, line);
}

INTERPOSE int pthread_mutex_init(pthread_mutex_t *mutex, const pthread_mutexattr_t *attr) noexcept {
    static auto real =
        fault::next<int (*)(pthread_mutex_t *, const pthread_mutexattr_t *)>("pthread_mutex_init");
    int err = 0;
    if (lock_cs != nullptr && mutex == lock_cs && fault::trips(Point::kMutexInit, &err)) return err;
    return real(mutex, attr);
}
