/* SPDX-License-Identifier: Apache-2.0 */
// A 32-byte secret in a page of its own: kept out of core dumps
// (MADV_DONTDUMP), zeroed in a forked child (MADV_WIPEONFORK), locked in memory
// where the system allows, and wiped before the page is returned. For the
// unsealed root material, which a process keeps across its reloads.
#ifndef HXB_VAQ_GUARDED_KEY_H
#define HXB_VAQ_GUARDED_KEY_H

#include <cstddef>
#include <cstdint>

#include "bytes.h"

namespace vaq {

class GuardedKey {
public:
    static constexpr size_t kBytes = 32;
    GuardedKey();
    ~GuardedKey();
    GuardedKey(const GuardedKey &) = delete;
    GuardedKey &operator=(const GuardedKey &) = delete;

    // False when no page could be had: the caller then keeps nothing.
    bool usable() const { return page_ != nullptr; }
    uint8_t *data() { return static_cast<uint8_t *>(page_); }
    const uint8_t *data() const { return static_cast<const uint8_t *>(page_); }
    ByteView view() const { return {data(), kBytes}; }
    // Whether the page holds a secret set by set(): false after wipe() and in
    // a child forked since, whose copy of the page the kernel zeroed.
    bool held() const { return page_ != nullptr && data()[kBytes] == 1; }
    void set(const uint8_t secret[kBytes]);
    void wipe();

private:
    void *page_ = nullptr;
    size_t pageBytes_ = 0;
    bool locked_ = false;
};

}  // namespace vaq

#endif
