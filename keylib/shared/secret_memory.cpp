// SPDX-License-Identifier: Apache-2.0
#include "hxb/secret_memory.h"

#include "hxb/kept_blocks.h"

#include <sys/mman.h>

#include <openssl/crypto.h>

#include <array>
#include <cstdint>
#include <cstring>
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

void unmap_pages(void *p, size_t bytes) noexcept {
    munlock(p, bytes);
    munmap(p, bytes);
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

// One large block given back is kept, wiped and still locked and out of
// dumps, for the next large allocation of the same number of pages: a reload
// gives back the block of the keys it unloads and at once asks for one as
// large, and would otherwise map, lock, unlock and unmap its pages each time
// (a quarter of a reload of a thousand keys).
constinit hxb::KeptBlocks<1, size_t{1} << 20, unmap_pages> g_keptLarge;
static_assert(std::is_trivially_destructible_v<decltype(g_keptLarge)>);

Pool &pool() { return g_pool; }

}  // namespace

void *allocate(size_t size) noexcept {
    if (size == 0) size = 1;
    Pool &p = pool();
    if (size > kLargestPooled) {
        const size_t bytes = page_rounded(size);
        size_t kept = 0;
        if (void *block = g_keptLarge.take(bytes, bytes, &kept)) {
            // Wiped whole when it was given back, but for the two words the
            // keeper wrote.
            std::memset(block, 0, 2 * sizeof(size_t));
            return block;
        }
        return map_pages(bytes);
    }
    const size_t c = class_of(size);
    const size_t block = kSmallest << c;
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
    Pool &p = pool();
    if (size > kLargestPooled) {
        const size_t bytes = page_rounded(size);
        OPENSSL_cleanse(block, bytes);
        g_keptLarge.keep(block, bytes);
        return;
    }
    const size_t c = class_of(size);
    // Wiped whole, so a block is all zero when it is handed out again.
    OPENSSL_cleanse(block, kSmallest << c);
    std::lock_guard<std::mutex> g(p.mutex);
    auto *b = static_cast<FreeBlock *>(block);
    b->next = p.free[c];
    p.free[c] = b;
}

}  // namespace secret
