// SPDX-License-Identifier: Apache-2.0
#include "tracked_alloc.h"

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <set>

extern "C" void *__real_HX_VAQ_MemAlloc(int64_t line, const char *file, int32_t size);
extern "C" void __real_HX_VAQ_MemFree(int64_t line, const char *file, void *block);

namespace svctest {
namespace {

struct Tracker {
    std::mutex mu;
    std::set<void *> live;
    std::vector<std::string> bad;
    std::vector<void *> released;
    int failAt = 0;
    int seen = 0;
};

Tracker &tracker() {
    static Tracker *t = new Tracker;
    return *t;
}

}  // namespace

size_t live_blocks() {
    std::lock_guard<std::mutex> g(tracker().mu);
    return tracker().live.size();
}

std::vector<std::string> bad_releases() {
    std::lock_guard<std::mutex> g(tracker().mu);
    return tracker().bad;
}

std::vector<void *> take_release_order() {
    std::lock_guard<std::mutex> g(tracker().mu);
    std::vector<void *> out;
    out.swap(tracker().released);
    return out;
}

void fail_allocation(int k) {
    std::lock_guard<std::mutex> g(tracker().mu);
    tracker().failAt = k;
    tracker().seen = 0;
}

int allocations_seen() {
    std::lock_guard<std::mutex> g(tracker().mu);
    return tracker().seen;
}

}  // namespace svctest

extern "C" void *__wrap_HX_VAQ_MemAlloc(int64_t line, const char *file, int32_t size) {
    auto &t = svctest::tracker();
    {
        std::lock_guard<std::mutex> g(t.mu);
        ++t.seen;
        if (t.failAt != 0 && t.seen == t.failAt) return nullptr;
    }
    void *block = __real_HX_VAQ_MemAlloc(line, file, size);
    if (block != nullptr) {
        std::lock_guard<std::mutex> g(t.mu);
        t.live.insert(block);
    }
    return block;
}

extern "C" void __wrap_HX_VAQ_MemFree(int64_t line, const char *file, void *block) {
    if (block != nullptr) {
        auto &t = svctest::tracker();
        std::lock_guard<std::mutex> g(t.mu);
        if (t.live.erase(block) == 0) {
            char where[64];
            std::snprintf(where, sizeof(where), "%p at line %lld", block, static_cast<long long>(line));
            t.bad.push_back(where);
            return;  // never hand the allocator a block it does not own
        }
        t.released.push_back(block);
    }
    __real_HX_VAQ_MemFree(line, file, block);
}
