// SPDX-License-Identifier: Apache-2.0
#include "host/repeat_limit.h"

#include "host/sys.h"

namespace tv {

bool RepeatLimit::admit(uint64_t *leftOut) {
    const time_t now = sys().time(nullptr);
    time_t last = second_.load(std::memory_order_relaxed);
    // A clock set back counts as a new period: it must not silence the log
    // until it has caught up.
    const bool due = last < 0 || now < last || now - last >= period_;
    if (due && second_.compare_exchange_strong(last, now, std::memory_order_relaxed)) {
        *leftOut = leftOut_.exchange(0, std::memory_order_relaxed);
        return true;
    }
    leftOut_.fetch_add(1, std::memory_order_relaxed);
    return false;
}

}  // namespace tv
