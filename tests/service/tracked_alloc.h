/* SPDX-License-Identifier: Apache-2.0 */
// A test-owned wrapper around the library's allocation pair. Programs that
// link it against the static library have its entries in the library's
// system-call table (src/host/sys.h) from before main, so every block that
// HX_VAQ_MemAlloc and HX_VAQ_MemFree hand out or take back passes through
// here: live blocks are counted, a release of a block that is not live is
// recorded, and the k-th allocation can be made to fail.
#ifndef TELMOR_TEST_SERVICE_TRACKED_ALLOC_H
#define TELMOR_TEST_SERVICE_TRACKED_ALLOC_H

#include <cstddef>
#include <string>
#include <vector>

namespace svctest {

size_t live_blocks();
// Releases of null are fine; these are releases of blocks that were not live.
std::vector<std::string> bad_releases();
// The blocks released since the last call, in order.
std::vector<void *> take_release_order();

// From now on, the k-th allocation (1-based) answers null; 0 disarms.
void fail_allocation(int k);
// Allocations attempted since the last fail_allocation call.
int allocations_seen();

}  // namespace svctest

#endif
