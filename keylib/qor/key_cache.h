/* SPDX-License-Identifier: Apache-2.0 */
// Per-thread cache of cipher contexts, one pair per master key, keyed by the
// key epoch of libhxbVaq.so: while the epoch stays the same, an encryption or
// decryption finds its context here without asking that library or taking any
// lock another thread uses. A new epoch empties the cache; an unload empties
// every thread's cache at once, so no key schedule outlives the keystore.
#ifndef HXB_QOR_KEY_CACHE_H
#define HXB_QOR_KEY_CACHE_H

#include <openssl/evp.h>

#include "hxb/openssl_owner.h"

#include <atomic>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace qor {

struct KeyContexts {
    hxb::OpenSslOwner<EVP_CIPHER_CTX> enc;
    hxb::OpenSslOwner<EVP_CIPHER_CTX> dec;
    // The process's count of encryptions under this key (usage_counter.h).
    std::atomic<uint64_t> *encryptions = nullptr;
};

class ThreadCache {
public:
    ThreadCache();
    ~ThreadCache();
    ThreadCache(const ThreadCache &) = delete;
    ThreadCache &operator=(const ThreadCache &) = delete;

    // The owning thread brackets each call with enter() and leave(); an
    // unload empties a cache only outside them (see CacheUse).
    void enter();
    void leave() { busy_.store(false, std::memory_order_release); }

    // Both answer 0, or a code of vaq_api.h from libhxbVaq.so (unknown key,
    // nothing loaded), or VAQ_ERR_CRYPTO.
    uint32_t active(uint32_t domain, uint32_t *keyId, KeyContexts **out);
    uint32_t find(uint32_t domain, uint32_t keyId, KeyContexts **out);

    // Room for a decryption's plain bytes before they authenticate.
    uint8_t *scratch(size_t size);
    void release_scratch(size_t used);

    void clear();

    // Empties the cache once its thread is out of any call, keeping the
    // thread out meanwhile. Called by an unload for every cache at once:
    // mark() them all, fence once, then wait_and_clear() each.
    void mark() { clearing_.store(true, std::memory_order_seq_cst); }
    void wait_and_clear();

private:
    void sync_epoch();
    void reset(uint64_t epoch);
    uint32_t add(uint32_t domain, uint32_t keyId, const uint8_t *key, uint64_t epoch, KeyContexts **out);
    void remember_active(uint32_t domain, uint32_t keyId, KeyContexts *contexts);

    uint64_t epoch_ = UINT64_MAX;
    // The key found last, so that a run of calls under one key skips the
    // table; null whenever the table is emptied.
    uint64_t lastSlot_ = 0;
    KeyContexts *last_ = nullptr;
    // The same for the active key of the domain encrypted under last.
    uint32_t lastActiveDomain_ = 0;
    uint32_t lastActiveKey_ = 0;
    KeyContexts *lastActive_ = nullptr;
    std::unordered_map<uint64_t, KeyContexts> keys_;
    std::unordered_map<uint32_t, uint32_t> active_;
    std::vector<uint8_t> scratch_;
    // In a call (set by the owner) / being emptied (set by an unload): each
    // side sets its own flag, then reads the other's, with a fence between.
    std::atomic<bool> busy_{false};
    std::atomic<bool> clearing_{false};
};

// One call's use of the calling thread's cache.
class CacheUse {
public:
    explicit CacheUse(ThreadCache &cache) : cache_(cache) { cache_.enter(); }
    ~CacheUse() { cache_.leave(); }
    CacheUse(const CacheUse &) = delete;
    CacheUse &operator=(const CacheUse &) = delete;

private:
    ThreadCache &cache_;
};

ThreadCache &thread_cache();

}  // namespace qor

#endif
