// SPDX-License-Identifier: Apache-2.0
#include "hxb/plain_memory.h"

#include <sys/mman.h>

#include <openssl/crypto.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>

#include "hxb/kept_blocks.h"

namespace plain {
namespace {

// Under the address sanitizer every block is the heap's, where the sanitizer
// sees overruns and what is still reachable at exit; a mapping of our own
// would hide both.
#if defined(__SANITIZE_ADDRESS__)
#define HXB_PLAIN_HEAP_ONLY 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HXB_PLAIN_HEAP_ONLY 1
#endif
#endif
#ifdef HXB_PLAIN_HEAP_ONLY
constexpr size_t kKeptFrom = SIZE_MAX;
#else
constexpr size_t kKeptFrom = 64 * 1024;
#endif
// Every kept block is all zero but for its header: wiped where it was used,
// untouched elsewhere.
// A large block is a mapping of its own, of the request and a header (the
// mapping's length, and the round of hxb/kept_blocks.h), rounded up to 64 KiB: a keystore that grew by a
// few keys still fits the block its last load used. Mapped here rather than
// taken from the heap, whose own choice between its arena and a mapping of
// its own for a large block shifts with the sizes freed before it.
constexpr size_t kHeader = alignof(std::max_align_t);
constexpr size_t kGranule = 64 * 1024;
static_assert(kHeader >= 2 * sizeof(size_t));

void unmap(void *base, size_t bytes) noexcept { munmap(base, bytes); }

// A load's worth: the two images it reads, its key records and duplicate
// check, its key index's two tables, and the image of the load before, which
// the unload gave back. Up to 24 MiB, two images of the largest keystore.
constinit hxb::KeptBlocks<8, size_t{24} << 20, unmap> g_kept;
static_assert(std::is_trivially_destructible_v<decltype(g_kept)>);

}  // namespace

void *allocate(size_t size) noexcept {
    if (size < kKeptFrom) return ::operator new(size, std::nothrow);
    if (size > static_cast<size_t>(-1) - kHeader - kGranule) return nullptr;
    const size_t least = (size + kHeader + kGranule - 1) & ~(kGranule - 1);
    size_t bytes = 0;
    // A kept block up to a quarter larger than asked serves; a larger one is
    // left for a larger request.
    void *base = g_kept.take(least, least + least / 4, &bytes);
    if (base == nullptr) {
        base = mmap(nullptr, least, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) return nullptr;
        std::memcpy(base, &least, sizeof least);
    }
    return static_cast<unsigned char *>(base) + kHeader;
}

void release(void *block, size_t size) noexcept {
    if (block == nullptr) return;
    if (size < kKeptFrom) {
        ::operator delete(block);
        return;
    }
    // Only what was handed out is wiped: the rest of the block is still as
    // it was handed out, all zero, and pages never touched stay untouched.
    OPENSSL_cleanse(block, size);
    void *base = static_cast<unsigned char *>(block) - kHeader;
    g_kept.keep(base, decltype(g_kept)::size_of(base));
}

void settle() noexcept { g_kept.settle(); }

}  // namespace plain
