// SPDX-License-Identifier: Apache-2.0
// The library's allocation pair. Every buffer handed to a caller comes from
// here, zero-filled, so a caller never sees stale bytes; and every block goes
// back wiped, since what callers release through it is mostly decrypted
// secrets and cipher texts.
#include "host/bounded.h"
#include "host/sys.h"
#include "telmor_vaq_api.h"

namespace tv {

void *zeroed_alloc(int64_t, const char *, int32_t size) {
    if (size <= 0) return nullptr;
    void *block = sys().malloc(static_cast<std::size_t>(size));
    if (block == nullptr) return nullptr;
    memset_s(block, static_cast<rsize_t>(size), 0, static_cast<rsize_t>(size));
    return block;
}

void wiped_free(int64_t, const char *, void *block) {
    if (block == nullptr) return;
    const std::size_t usable = sys().malloc_usable_size(block);
    memset_s(block, usable, 0, usable);
    sys().free(block);
}

}  // namespace tv

extern "C" void *HX_VAQ_MemAlloc(int64_t line, const char *file, int32_t size) {
    return tv::sys().mem_alloc(line, file, size);
}

extern "C" void HX_VAQ_MemFree(int64_t line, const char *file, void *block) { tv::sys().mem_free(line, file, block); }
