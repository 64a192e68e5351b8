// SPDX-License-Identifier: Apache-2.0
#include "alloc_hook.h"

#include <dlfcn.h>
#include <errno.h>
#include <malloc.h>
#include <string.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

using MallocFn = void *(*)(size_t);
using CallocFn = void *(*)(size_t, size_t);
using ReallocFn = void *(*)(void *, size_t);
using FreeFn = void (*)(void *);
using PosixMemalignFn = int (*)(void **, size_t, size_t);
using AlignedAllocFn = void *(*)(size_t, size_t);
using UsableSizeFn = size_t (*)(void *);

struct Real {
    MallocFn malloc;
    CallocFn calloc;
    ReallocFn realloc;
    FreeFn free;
    PosixMemalignFn posix_memalign;
    AlignedAllocFn aligned_alloc;
    AlignedAllocFn memalign;
    UsableSizeFn usable_size;
};

Real g_real;
// 0: not looked up, 1: looking up, 2: ready.
std::atomic<int> g_resolved{0};

// dlsym may allocate while the real functions are being looked up; those few
// blocks come from here and are never given back.
alignas(64) unsigned char g_boot[16384];
std::atomic<size_t> g_bootUsed{0};

bool from_boot(const void *p) {
    auto *b = static_cast<const unsigned char *>(p);
    return b >= g_boot && b < g_boot + sizeof g_boot;
}

void *boot_alloc(size_t size) {
    size = (size + 63) & ~size_t{63};
    size_t at = g_bootUsed.fetch_add(size);
    if (at + size > sizeof g_boot) std::abort();
    return g_boot + at;
}

template <typename T>
T lookup(const char *name) {
    return reinterpret_cast<T>(dlsym(RTLD_NEXT, name));
}

bool resolve() {
    int state = g_resolved.load(std::memory_order_acquire);
    if (state == 2) return true;
    if (state == 1) return false;  // a lookup allocating: serve it from the boot arena
    g_resolved.store(1, std::memory_order_release);
    g_real.malloc = lookup<MallocFn>("malloc");
    g_real.calloc = lookup<CallocFn>("calloc");
    g_real.realloc = lookup<ReallocFn>("realloc");
    g_real.free = lookup<FreeFn>("free");
    g_real.posix_memalign = lookup<PosixMemalignFn>("posix_memalign");
    g_real.aligned_alloc = lookup<AlignedAllocFn>("aligned_alloc");
    g_real.memalign = lookup<AlignedAllocFn>("memalign");
    g_real.usable_size = lookup<UsableSizeFn>("malloc_usable_size");
    if (!g_real.malloc || !g_real.calloc || !g_real.realloc || !g_real.free || !g_real.posix_memalign ||
        !g_real.aligned_alloc || !g_real.memalign || !g_real.usable_size)
        std::abort();
    g_resolved.store(2, std::memory_order_release);
    return true;
}

std::atomic<uint64_t> g_failAt{0};
std::atomic<uint64_t> g_seen{0};
std::atomic<int64_t> g_live{0};

thread_local int t_uncounted = 0;

// Counts one allocation attempt; true when it is the one to fail.
bool fails_now() {
    if (t_uncounted > 0) return false;
    uint64_t n = g_seen.fetch_add(1, std::memory_order_relaxed) + 1;
    uint64_t at = g_failAt.load(std::memory_order_relaxed);
    return at != 0 && n == at;
}

void *counted(void *p) {
    if (p != nullptr) g_live.fetch_add(1, std::memory_order_relaxed);
    return p;
}

// Watched secrets: fixed storage, since the hook itself must not allocate.
constexpr size_t kMaxSecrets = 64;
constexpr size_t kMaxSecretBytes = 256;
struct Secret {
    unsigned char bytes[kMaxSecretBytes];
    size_t size;
    char name[64];
};
Secret g_secrets[kMaxSecrets];
std::atomic<size_t> g_secretCount{0};

constexpr size_t kMaxHits = 64;
struct RawHit {
    size_t secret;
    size_t blockBytes;
    size_t offset;
};
RawHit g_hits[kMaxHits];
std::atomic<size_t> g_hitCount{0};
std::atomic<uint64_t> g_searched{0};

void search(const void *block, size_t bytes) {
    size_t count = g_secretCount.load(std::memory_order_acquire);
    if (count == 0 || block == nullptr) return;
    g_searched.fetch_add(1, std::memory_order_relaxed);
    for (size_t i = 0; i < count; ++i) {
        const Secret &s = g_secrets[i];
        const void *at = memmem(block, bytes, s.bytes, s.size);
        if (at == nullptr) continue;
        size_t h = g_hitCount.fetch_add(1);
        if (h < kMaxHits)
            g_hits[h] = {i, bytes,
                         static_cast<size_t>(static_cast<const unsigned char *>(at) -
                                             static_cast<const unsigned char *>(block))};
    }
}

void release(void *p) {
    if (p == nullptr || from_boot(p)) return;
    resolve();
    if (g_secretCount.load(std::memory_order_relaxed) != 0) search(p, g_real.usable_size(p));
    g_live.fetch_sub(1, std::memory_order_relaxed);
    g_real.free(p);
}

}  // namespace

namespace reltest::alloc {

void fail_allocation(uint64_t k) {
    g_failAt.store(0, std::memory_order_relaxed);
    g_seen.store(0, std::memory_order_relaxed);
    g_failAt.store(k, std::memory_order_relaxed);
}

uint64_t allocations_seen() { return g_seen.load(std::memory_order_relaxed); }

int64_t live_blocks() { return g_live.load(std::memory_order_relaxed); }

Uncounted::Uncounted() { ++t_uncounted; }
Uncounted::~Uncounted() { --t_uncounted; }

bool attempt() { return fails_now(); }

void watch_secret(const void *bytes, size_t size, const std::string &name) {
    size_t i = g_secretCount.load();
    if (i >= kMaxSecrets || size < 8 || size > kMaxSecretBytes) std::abort();
    memcpy(g_secrets[i].bytes, bytes, size);
    g_secrets[i].size = size;
    strncpy(g_secrets[i].name, name.c_str(), sizeof g_secrets[i].name - 1);
    g_secrets[i].name[sizeof g_secrets[i].name - 1] = '\0';
    g_secretCount.store(i + 1, std::memory_order_release);
}

void clear_secrets() {
    g_secretCount.store(0, std::memory_order_release);
    for (Secret &s : g_secrets) explicit_bzero(&s, sizeof s);
    g_hitCount.store(0);
    g_searched.store(0);
}

std::vector<Hit> hits() {
    std::vector<Hit> out;
    size_t n = g_hitCount.load();
    for (size_t i = 0; i < n && i < kMaxHits; ++i)
        out.push_back({g_secrets[g_hits[i].secret].name, g_hits[i].blockBytes, g_hits[i].offset});
    return out;
}

uint64_t blocks_searched() { return g_searched.load(); }

}  // namespace reltest::alloc

// The program's definitions must reach the dynamic symbol table, whatever
// visibility the build gives by default.
#define INTERPOSED __attribute__((visibility("default")))

extern "C" {

INTERPOSED void *malloc(size_t size) {
    if (!resolve()) return boot_alloc(size);
    if (fails_now()) {
        errno = ENOMEM;
        return nullptr;
    }
    return counted(g_real.malloc(size));
}

INTERPOSED void *calloc(size_t n, size_t size) {
    if (!resolve()) {
        if (size != 0 && n > SIZE_MAX / size) return nullptr;
        return boot_alloc(n * size);  // static storage: already zero
    }
    if (fails_now()) {
        errno = ENOMEM;
        return nullptr;
    }
    return counted(g_real.calloc(n, size));
}

INTERPOSED void *realloc(void *p, size_t size) {
    if (p == nullptr) return malloc(size);
    if (size == 0) {
        release(p);
        return nullptr;
    }
    resolve();
    if (fails_now()) {
        errno = ENOMEM;
        return nullptr;
    }
    if (from_boot(p)) {
        void *q = g_real.malloc(size);
        if (q == nullptr) return nullptr;
        size_t room = sizeof g_boot - static_cast<size_t>(static_cast<unsigned char *>(p) - g_boot);
        memcpy(q, p, size < room ? size : room);
        return counted(q);
    }
    // While secrets are watched, the old block goes through release() so
    // that what a move leaves behind is searched too.
    if (g_secretCount.load(std::memory_order_relaxed) == 0) return g_real.realloc(p, size);
    void *q = g_real.malloc(size);
    if (q == nullptr) return nullptr;
    size_t old = g_real.usable_size(p);
    memcpy(q, p, old < size ? old : size);
    g_live.fetch_add(1, std::memory_order_relaxed);
    release(p);
    return q;
}

INTERPOSED void free(void *p) { release(p); }

INTERPOSED int posix_memalign(void **out, size_t alignment, size_t size) {
    resolve();
    if (fails_now()) return ENOMEM;
    int rc = g_real.posix_memalign(out, alignment, size);
    if (rc == 0) counted(*out);
    return rc;
}

INTERPOSED void *aligned_alloc(size_t alignment, size_t size) {
    resolve();
    if (fails_now()) {
        errno = ENOMEM;
        return nullptr;
    }
    return counted(g_real.aligned_alloc(alignment, size));
}

INTERPOSED void *memalign(size_t alignment, size_t size) {
    resolve();
    if (fails_now()) {
        errno = ENOMEM;
        return nullptr;
    }
    return counted(g_real.memalign(alignment, size));
}

}  // extern "C"

// The C++ allocation functions, so that C++ code reaches the hook even where
// a sanitizer's runtime would otherwise serve them itself.
INTERPOSED void *operator new(size_t size) {
    void *p = malloc(size != 0 ? size : 1);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
INTERPOSED void *operator new[](size_t size) { return operator new(size); }
INTERPOSED void *operator new(size_t size, const std::nothrow_t &) noexcept { return malloc(size != 0 ? size : 1); }
INTERPOSED void *operator new[](size_t size, const std::nothrow_t &) noexcept { return malloc(size != 0 ? size : 1); }
INTERPOSED void *operator new(size_t size, std::align_val_t al) {
    void *p = nullptr;
    if (posix_memalign(&p, static_cast<size_t>(al), size != 0 ? size : 1) != 0) throw std::bad_alloc();
    return p;
}
INTERPOSED void *operator new[](size_t size, std::align_val_t al) { return operator new(size, al); }
INTERPOSED void *operator new(size_t size, std::align_val_t al, const std::nothrow_t &) noexcept {
    void *p = nullptr;
    return posix_memalign(&p, static_cast<size_t>(al), size != 0 ? size : 1) == 0 ? p : nullptr;
}
INTERPOSED void *operator new[](size_t size, std::align_val_t al, const std::nothrow_t &t) noexcept {
    return operator new(size, al, t);
}
INTERPOSED void operator delete(void *p) noexcept { free(p); }
INTERPOSED void operator delete[](void *p) noexcept { free(p); }
INTERPOSED void operator delete(void *p, size_t) noexcept { free(p); }
INTERPOSED void operator delete[](void *p, size_t) noexcept { free(p); }
INTERPOSED void operator delete(void *p, const std::nothrow_t &) noexcept { free(p); }
INTERPOSED void operator delete[](void *p, const std::nothrow_t &) noexcept { free(p); }
INTERPOSED void operator delete(void *p, std::align_val_t) noexcept { free(p); }
INTERPOSED void operator delete[](void *p, std::align_val_t) noexcept { free(p); }
INTERPOSED void operator delete(void *p, size_t, std::align_val_t) noexcept { free(p); }
INTERPOSED void operator delete[](void *p, size_t, std::align_val_t) noexcept { free(p); }
INTERPOSED void operator delete(void *p, std::align_val_t, const std::nothrow_t &) noexcept { free(p); }
INTERPOSED void operator delete[](void *p, std::align_val_t, const std::nothrow_t &) noexcept { free(p); }
