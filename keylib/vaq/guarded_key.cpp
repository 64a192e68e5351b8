// SPDX-License-Identifier: Apache-2.0
#include "guarded_key.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

namespace vaq {

GuardedKey::GuardedKey() {
    long page = sysconf(_SC_PAGESIZE);
    pageBytes_ = page > 0 ? static_cast<size_t>(page) : 4096;
    void *p = mmap(nullptr, pageBytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return;
    // Without these the page is not used at all: a core file must never
    // carry the root material, and a child must not inherit a root it did not
    // unseal (nor mistake its zeroed copy for one: held() tells).
    if (madvise(p, pageBytes_, MADV_DONTDUMP) != 0 || madvise(p, pageBytes_, MADV_WIPEONFORK) != 0) {
        munmap(p, pageBytes_);
        return;
    }
    locked_ = mlock(p, pageBytes_) == 0;
    page_ = p;
}

GuardedKey::~GuardedKey() {
    if (page_ == nullptr) return;
    OPENSSL_cleanse(page_, pageBytes_);
    if (locked_) munlock(page_, pageBytes_);
    munmap(page_, pageBytes_);
}

void GuardedKey::set(const uint8_t secret[kBytes]) {
    if (page_ == nullptr) return;
    std::memcpy(page_, secret, kBytes);
    data()[kBytes] = 1;
}

void GuardedKey::wipe() {
    if (page_ != nullptr) OPENSSL_cleanse(page_, kBytes + 1);
}

}  // namespace vaq
