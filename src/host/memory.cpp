// SPDX-License-Identifier: Apache-2.0
// The library's allocation pair. Every buffer handed to a caller comes from
// here, zero-filled, so a caller never sees stale bytes; and every block goes
// back wiped, since what callers release through it is mostly decrypted
// secrets and cipher texts.
#include <malloc.h>

#include <cstdlib>

#include "host/bounded.h"
#include "telmor_vaq_api.h"

extern "C" void *HX_VAQ_MemAlloc(int64_t, const char *, int32_t size) {
    if (size <= 0) return nullptr;
    void *block = std::malloc(static_cast<std::size_t>(size));
    if (block == nullptr) return nullptr;
    tv::memset_s(block, static_cast<tv::rsize_t>(size), 0, static_cast<tv::rsize_t>(size));
    return block;
}

extern "C" void HX_VAQ_MemFree(int64_t, const char *, void *block) {
    if (block == nullptr) return;
    const std::size_t usable = malloc_usable_size(block);
    tv::memset_s(block, usable, 0, usable);
    std::free(block);
}
