// SPDX-License-Identifier: Apache-2.0
#include "hxb/secret_memory.h"

#include <sys/mman.h>

#include <openssl/crypto.h>

#include <array>
#include <cstdint>
#include <mutex>
#include <type_traits>

namespace secret {
namespace {

// Blocks of 32 to 4096 bytes come from shared chunks, one free list per
// power-of-two size; larger ones get pages of their own.
constexpr size_t kSmallest = 32;
constexpr size_t kLargestPooled = 4096;
constexpr size_t kClasses = 8;  // 32, 64, ..., 4096
constexpr size_t kChunkBytes = 64 * 1024;

struct FreeBlock {
    FreeBlock *next;
};

size_t class_of(size_t size) {
    size_t c = 0;
    for (size_t s = kSmallest; s < size; s <<= 1) ++c;
    return c;
}

size_t page_rounded(size_t size) { return (size + 4095) & ~size_t{4095}; }

void *map_pages(size_t bytes) {
    void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    madvise(p, bytes, MADV_DONTDUMP);
    mlock(p, bytes);
    return p;
}

// Constant-initialised and trivially destroyed: it needs no heap (a failed
// allocation here could not be answered from a noexcept function), and key
// holders released by threads that end after static destructors find it
// still there.
struct Pool {
    std::mutex mutex;
    std::array<FreeBlock *, kClasses> free{};
};
static_assert(std::is_trivially_destructible_v<Pool>);

constinit Pool g_pool;

Pool &pool() { return g_pool; }

}  // namespace

void *allocate(size_t size) noexcept {
    if (size == 0) size = 1;
    if (size > kLargestPooled) return map_pages(page_rounded(size));
    const size_t c = class_of(size);
    const size_t block = kSmallest << c;
    Pool &p = pool();
    std::lock_guard<std::mutex> g(p.mutex);
    if (p.free[c] == nullptr) {
        auto *chunk = static_cast<uint8_t *>(map_pages(kChunkBytes));
        if (chunk == nullptr) return nullptr;
        for (size_t at = kChunkBytes; at >= block; at -= block) {
            auto *b = reinterpret_cast<FreeBlock *>(chunk + at - block);
            b->next = p.free[c];
            p.free[c] = b;
        }
    }
    FreeBlock *b = p.free[c];
    p.free[c] = b->next;
    b->next = nullptr;
    return b;
}

void release(void *block, size_t size) noexcept {
    if (block == nullptr) return;
    if (size == 0) size = 1;
    if (size > kLargestPooled) {
        const size_t bytes = page_rounded(size);
        OPENSSL_cleanse(block, bytes);
        munlock(block, bytes);
        munmap(block, bytes);
        return;
    }
    const size_t c = class_of(size);
    // Wiped whole, so a block is all zero when it is handed out again.
    OPENSSL_cleanse(block, kSmallest << c);
    Pool &p = pool();
    std::lock_guard<std::mutex> g(p.mutex);
    auto *b = static_cast<FreeBlock *>(block);
    b->next = p.free[c];
    p.free[c] = b;
}

}  // namespace secret
