/* SPDX-License-Identifier: Apache-2.0 */
// Memory for key material: root material, master keys, working keys. Blocks
// come from pages of their own that are kept out of core dumps
// (MADV_DONTDUMP), locked in memory where the system allows (mlock, best
// effort: without the privilege or the limit the pages are only kept out of
// dumps), and wiped when a block is given back. Plain heap blocks would leave
// keys in every core file and, once released, in memory the next allocation
// reads.
#ifndef HXB_SECRET_MEMORY_H
#define HXB_SECRET_MEMORY_H

#include <cstddef>

#include "hxb/block_allocator.h"

namespace secret {

// A zero-filled block of at least size bytes, or null when no page can be had.
void *allocate(size_t size) noexcept;
// Wipes and gives back a block of allocate(size); null is ignored.
void release(void *block, size_t size) noexcept;

// For containers that hold key material.
template <typename T>
using Allocator = hxb::BlockAllocator<T, allocate, release>;

}  // namespace secret

#endif
