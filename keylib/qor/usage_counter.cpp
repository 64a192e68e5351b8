// SPDX-License-Identifier: Apache-2.0
#include "usage_counter.h"

#include <time.h>

#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "vaq/vaq_private.h"

namespace qor {

namespace {

struct Counter {
    uint32_t domain;
    uint32_t keyId;
    std::atomic<uint64_t> count{0};
    uint64_t written = 0;  // guarded by the table's flush mutex
};

struct Table {
    std::mutex mutex;  // guards counters (the map, not the counts)
    std::unordered_map<uint64_t, std::unique_ptr<Counter>> counters;
    std::mutex flushing;
    std::atomic<int64_t> nextFlush{0};
};

// Never destroyed: an encryption on a thread still running at exit may
// touch its counter.
Table &table() {
    static Table *t = new Table;
    return *t;
}

constexpr int64_t kFlushSeconds = 60;

int64_t coarse_now() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return ts.tv_sec;
}

}  // namespace

std::atomic<uint64_t> *usage_counter(uint32_t domain, uint32_t keyId) {
    Table &t = table();
    const uint64_t slot = uint64_t{domain} << 32 | keyId;
    std::lock_guard<std::mutex> g(t.mutex);
    auto found = t.counters.find(slot);
    if (found != t.counters.end()) return &found->second->count;
    // Made before it is placed: an allocation that fails leaves no entry.
    auto made = std::make_unique<Counter>();
    made->domain = domain;
    made->keyId = keyId;
    return &t.counters.emplace(slot, std::move(made)).first->second->count;
}

void flush_usage() {
    Table &t = table();
    std::lock_guard<std::mutex> f(t.flushing);
    std::vector<Counter *> all;
    {
        std::lock_guard<std::mutex> g(t.mutex);
        for (auto &[slot, c] : t.counters) all.push_back(c.get());
    }
    for (Counter *c : all) {
        const uint64_t now = c->count.load(std::memory_order_relaxed);
        if (now == c->written) continue;
        // Taken as written only when the trail took it; with no audit set
        // up the entry answers 0 and records nothing.
        if (VaqPrivAuditUsage(c->domain, c->keyId, now - c->written) == 0) c->written = now;
    }
}

void flush_usage_if_due() {
    Table &t = table();
    const int64_t now = coarse_now();
    int64_t due = t.nextFlush.load(std::memory_order_relaxed);
    if (now < due) return;
    // One thread flushes; the others go on.
    if (!t.nextFlush.compare_exchange_strong(due, now + kFlushSeconds, std::memory_order_relaxed)) return;
    if (due == 0) return;  // the first encryption of the process only sets the clock
    flush_usage();
}

}  // namespace qor
