/* SPDX-License-Identifier: Apache-2.0 */
// A standard-library allocator over a pair of block functions, for
// containers whose memory must come from one of the key libraries' own
// sources (secret memory, kept plain buffers). Allocate(bytes) answers a
// block aligned for any fundamental type, or null; the allocator throws
// std::bad_alloc for null, which the exported functions' edge answers as an
// allocation failure.
#ifndef HXB_BLOCK_ALLOCATOR_H
#define HXB_BLOCK_ALLOCATOR_H

#include <cstddef>
#include <cstdint>
#include <new>

namespace hxb {

template <typename T, void *(*Allocate)(size_t) noexcept, void (*Release)(void *, size_t) noexcept>
struct BlockAllocator {
    static_assert(alignof(T) <= alignof(std::max_align_t));
    using value_type = T;
    template <typename U>
    struct rebind {
        using other = BlockAllocator<U, Allocate, Release>;
    };
    BlockAllocator() = default;
    template <typename U>
    BlockAllocator(const BlockAllocator<U, Allocate, Release> &) noexcept {}
    T *allocate(size_t n) {
        if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        void *p = Allocate(n * sizeof(T));
        if (p == nullptr) throw std::bad_alloc();
        return static_cast<T *>(p);
    }
    void deallocate(T *p, size_t n) noexcept { Release(p, n * sizeof(T)); }
    template <typename U>
    bool operator==(const BlockAllocator<U, Allocate, Release> &) const noexcept {
        return true;
    }
};

}  // namespace hxb

#endif
