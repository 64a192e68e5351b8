/* SPDX-License-Identifier: Apache-2.0 */
// Scoped ownership of blocks from HX_VAQ_MemAlloc that stay inside one call.
#ifndef TELMOR_VAQ_SERVICE_MEM_BLOCK_H
#define TELMOR_VAQ_SERVICE_MEM_BLOCK_H

#include <climits>
#include <cstdint>
#include <memory>

#include "common/log.h"

namespace tv {

struct MemFreeDeleter {
    void operator()(void *block) const { HX_VAQ_MemFree(__LINE__, kModule, block); }
};

template <typename T>
using MemBlock = std::unique_ptr<T, MemFreeDeleter>;

// Bytes for count elements of elem_size each, when that fits the allocator's
// signed 32-bit size; 0 (which the allocator refuses) for a negative count or
// a product that would not fit.
constexpr int32_t array_bytes(int64_t count, int64_t elem_size) {
    if (count < 0 || elem_size <= 0 || count > INT32_MAX / elem_size) return 0;
    return static_cast<int32_t>(count * elem_size);
}

}  // namespace tv

#endif  // TELMOR_VAQ_SERVICE_MEM_BLOCK_H
