// SPDX-License-Identifier: Apache-2.0
#include "key_cache.h"
#include "usage_counter.h"

#include <linux/membarrier.h>
#include <openssl/crypto.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <thread>

#include "vaq/vaq_api.h"
#include "vaq/vaq_private.h"

namespace qor {

namespace {

uint64_t slot(uint32_t domain, uint32_t keyId) { return (uint64_t{domain} << 32) | keyId; }

// Every live thread cache, so that an unload can empty them all. Never
// destroyed: threads may end after static destructors have run.
struct Registry {
    std::mutex mutex;
    std::set<ThreadCache *> caches;
};

Registry &registry() {
    static Registry *r = new Registry;
    return *r;
}

// A call marks its thread's cache busy and then reads whether an unload is
// emptying it; an unload marks the caches and then reads whether they are
// busy. Each side needs a full fence between its write and its read, or both
// could miss the other. Calls are many and unloads rare, so where the kernel
// offers it the calls' side is only a compiler barrier and the unload pays
// for both: membarrier() runs a full fence on every thread of the process
// that is running at that moment (one that is not has passed a context
// switch, which is one). Elsewhere, and in thread-sanitizer builds, which do
// not see that fence, both sides use sequentially consistent atomics.
bool asymmetric_fences() {
#if defined(__SANITIZE_THREAD__)
    return false;
#else
    static const bool registered = syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0;
    return registered;
#endif
}

// The unload's half. Once registered, the process's command cannot fail.
void heavy_fence() {
#if !defined(__SANITIZE_THREAD__)
    if (asymmetric_fences()) syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0);
#endif
}

void clear_all_caches() {
    Registry &r = registry();
    std::lock_guard<std::mutex> g(r.mutex);
    for (ThreadCache *c : r.caches) c->mark();
    heavy_fence();
    for (ThreadCache *c : r.caches) c->wait_and_clear();
}

constexpr size_t kKeptScratchBytes = 64 * 1024;

}  // namespace

void ThreadCache::enter() {
    for (;;) {
        if (asymmetric_fences()) {
            busy_.store(true, std::memory_order_relaxed);
            std::atomic_signal_fence(std::memory_order_seq_cst);
        } else {
            busy_.exchange(true, std::memory_order_seq_cst);
        }
        if (!clearing_.load(std::memory_order_seq_cst)) return;
        // An unload is emptying this cache: stand aside until it has done
        // with every cache (it holds the registry throughout), then retry.
        busy_.store(false, std::memory_order_release);
        std::lock_guard<std::mutex> wait(registry().mutex);
    }
}

void ThreadCache::wait_and_clear() {
    // A call in progress ends within microseconds.
    while (busy_.load(std::memory_order_seq_cst)) std::this_thread::yield();
    clear();
    clearing_.store(false, std::memory_order_release);
}

ThreadCache::ThreadCache() {
    static std::once_flag hooked;
    std::call_once(hooked, [] {
        VaqPrivSetUnloadHook(clear_all_caches);
        // Counts that cannot be handed over are not worth failing an unload.
        VaqPrivSetUsageHook([] {
            try {
                flush_usage();
            } catch (...) {}
        });
    });
    Registry &r = registry();
    std::lock_guard<std::mutex> g(r.mutex);
    r.caches.insert(this);
}

ThreadCache::~ThreadCache() {
    {
        Registry &r = registry();
        std::lock_guard<std::mutex> g(r.mutex);
        r.caches.erase(this);
    }
    clear();
}

void ThreadCache::clear() {
    last_ = nullptr;
    lastActive_ = nullptr;
    keys_.clear();
    active_.clear();
    if (!scratch_.empty()) OPENSSL_cleanse(scratch_.data(), scratch_.size());
    std::vector<uint8_t>().swap(scratch_);
    epoch_ = UINT64_MAX;
}

void ThreadCache::reset(uint64_t epoch) {
    clear();
    epoch_ = epoch;
}

void ThreadCache::sync_epoch() {
    uint64_t e = VaqPrivKeyEpoch();
    if (e != epoch_) reset(e);
}

uint32_t ThreadCache::add(uint32_t domain, uint32_t keyId, const uint8_t *key, uint64_t epoch, KeyContexts **out) {
    if (epoch != epoch_) reset(epoch);
    KeyContexts kc;
    kc.enc.reset(EVP_CIPHER_CTX_new());
    kc.dec.reset(EVP_CIPHER_CTX_new());
    if (!kc.enc || !kc.dec || EVP_EncryptInit_ex(kc.enc.get(), EVP_aes_256_gcm(), nullptr, key, nullptr) != 1 ||
        EVP_DecryptInit_ex(kc.dec.get(), EVP_aes_256_gcm(), nullptr, key, nullptr) != 1)
        return VAQ_ERR_CRYPTO;
    kc.encryptions = usage_counter(domain, keyId);
    // The insert allocates and may throw: the contexts stay owned throughout.
    auto placed = keys_.try_emplace(slot(domain, keyId), std::move(kc));
    *out = &placed.first->second;
    return VAQ_OK;
}

uint32_t ThreadCache::find(uint32_t domain, uint32_t keyId, KeyContexts **out) {
    sync_epoch();
    const uint64_t wanted = slot(domain, keyId);
    if (last_ != nullptr && lastSlot_ == wanted) {
        *out = last_;
        return VAQ_OK;
    }
    auto it = keys_.find(wanted);
    if (it != keys_.end()) {
        lastSlot_ = wanted;
        *out = last_ = &it->second;
        return VAQ_OK;
    }
    uint8_t key[VAQ_PRIV_WORKING_KEY_BYTES];
    uint64_t epoch = 0;
    uint32_t code = VaqPrivWorkingKey(domain, keyId, key, &epoch);
    if (code == VAQ_OK) code = add(domain, keyId, key, epoch, out);
    OPENSSL_cleanse(key, sizeof key);
    return code;
}

uint32_t ThreadCache::active(uint32_t domain, uint32_t *keyId, KeyContexts **out) {
    sync_epoch();
    if (lastActive_ != nullptr && lastActiveDomain_ == domain) {
        *keyId = lastActiveKey_;
        *out = lastActive_;
        return VAQ_OK;
    }
    auto a = active_.find(domain);
    if (a != active_.end()) {
        auto it = keys_.find(slot(domain, a->second));
        if (it != keys_.end()) {
            remember_active(domain, a->second, &it->second);
            *keyId = a->second;
            *out = &it->second;
            return VAQ_OK;
        }
    }
    uint8_t key[VAQ_PRIV_WORKING_KEY_BYTES];
    uint64_t epoch = 0;
    uint32_t id = 0;
    uint32_t code = VaqPrivActiveKey(domain, &id, key, &epoch);
    if (code == VAQ_OK) code = add(domain, id, key, epoch, out);
    OPENSSL_cleanse(key, sizeof key);
    if (code != VAQ_OK) return code;
    active_[domain] = id;
    remember_active(domain, id, *out);
    *keyId = id;
    return VAQ_OK;
}

void ThreadCache::remember_active(uint32_t domain, uint32_t keyId, KeyContexts *contexts) {
    lastActiveDomain_ = domain;
    lastActiveKey_ = keyId;
    lastActive_ = contexts;
}

uint8_t *ThreadCache::scratch(size_t size) {
    if (scratch_.size() < size) scratch_.resize(size);
    return scratch_.data();
}

void ThreadCache::release_scratch(size_t used) {
    if (used > 0) OPENSSL_cleanse(scratch_.data(), used);
    if (scratch_.size() > kKeptScratchBytes) std::vector<uint8_t>().swap(scratch_);
}

// Each thread's cache hangs off a pthread key, not a thread_local object:
// glibc registers a thread_local's destructor with an allocation of its own
// and ends the process when that allocation fails. A key's destructor is
// registered once, and a cache that cannot be made is answered as a failure.
ThreadCache &thread_cache() {
    thread_local ThreadCache *mine = nullptr;
    if (mine != nullptr) return *mine;
    static const pthread_key_t key = [] {
        pthread_key_t k;
        if (pthread_key_create(&k, [](void *c) { delete static_cast<ThreadCache *>(c); }) != 0) throw std::bad_alloc();
        return k;
    }();
    auto cache = std::make_unique<ThreadCache>();
    if (pthread_setspecific(key, cache.get()) != 0) throw std::bad_alloc();
    mine = cache.release();
    return *mine;
}

}  // namespace qor
