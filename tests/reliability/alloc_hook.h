/* SPDX-License-Identifier: Apache-2.0 */
// The process's allocator, taken over by the test program. A program that
// links alloc_hook.cpp defines malloc, calloc, realloc, free, the aligned
// allocations and the C++ operators new and delete itself, so every
// allocation of the main library, the key libraries and OpenSSL passes here
// (the dynamic linker binds the libraries' calls to the program's
// definitions) and then goes on to the allocator that would have served it,
// a sanitizer's included. Nothing in the product knows about it.
//
// What it offers the tests: the n-th allocation from now can be made to fail
// (the same API as tests/service/tracked_alloc.h, one level lower); the blocks
// live at any moment are counted; and every block that goes back can be
// searched for secrets that must have been wiped before it was released.
#ifndef TELMOR_TEST_RELIABILITY_ALLOC_HOOK_H
#define TELMOR_TEST_RELIABILITY_ALLOC_HOOK_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace reltest::alloc {

// From now on, the k-th allocation (1-based) answers null (operator new
// throws); 0 disarms. Counting starts again at every call.
void fail_allocation(uint64_t k);
// Allocations attempted since the last fail_allocation call.
uint64_t allocations_seen();

// Blocks handed out and not yet released, over the whole process.
int64_t live_blocks();

// Allocations made on this thread inside the scope are neither counted nor
// failed: for a step that the tests count as one allocation point (a key
// derivation at full work factor allocates at each of its iterations).
class Uncounted {
public:
    Uncounted();
    ~Uncounted();
    Uncounted(const Uncounted &) = delete;
    Uncounted &operator=(const Uncounted &) = delete;
};
// Counts one allocation point on behalf of such a step; true when it is the
// one to fail.
bool attempt();

// Released blocks are searched for each watched secret (at least 8 bytes)
// while any is watched. A released block that still holds one is a hit.
void watch_secret(const void *bytes, size_t size, const std::string &name);
void clear_secrets();
struct Hit {
    std::string secret;
    size_t blockBytes;
    size_t offset;
};
// Hits since the last clear_secrets(), at most the first 64.
std::vector<Hit> hits();
// Blocks searched since the last clear_secrets().
uint64_t blocks_searched();

}  // namespace reltest::alloc

#endif
