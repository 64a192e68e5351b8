/* SPDX-License-Identifier: Apache-2.0 */
// Memory for large plain buffers: keystore images as read and written, a
// load's key records and index. A block of 64 KiB or more is wiped when it is
// given back (an image carries the sealed root, or in format 1 the root
// itself) and a few are kept for the next allocation they fit: a host reloads
// by unloading the keystore and loading it again, and the load then takes
// the pages the unload gave back, already faulted in, instead of fresh ones.
// They stay kept after an unload for that reason: about one load's worth,
// wiped, never more however often the keystore is reloaded (see
// plain_memory.cpp). Smaller blocks are the heap's.
#ifndef HXB_PLAIN_MEMORY_H
#define HXB_PLAIN_MEMORY_H

#include <cstddef>

#include "hxb/block_allocator.h"

namespace plain {

// A block of at least size bytes, aligned for any fundamental type, or null.
void *allocate(size_t size) noexcept;
// Gives back a block of allocate(size), wiped first when it is large; null is
// ignored.
void release(void *block, size_t size) noexcept;
// Called once a keystore is loaded: frees the kept blocks that were kept
// before the load before and that neither it nor this one took (left by an
// export, or by a container that grew), so that what stays kept is what
// loads use.
void settle() noexcept;

// For containers of large plain buffers.
template <typename T>
using Allocator = hxb::BlockAllocator<T, allocate, release>;

}  // namespace plain

#endif
