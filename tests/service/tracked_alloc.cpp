// SPDX-License-Identifier: Apache-2.0
#include "tracked_alloc.h"

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <set>

#include "host/sys.h"

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

namespace svctest {
namespace {

void *tracked_alloc(int64_t line, const char *file, int32_t size) {
    auto &t = tracker();
    {
        std::lock_guard<std::mutex> g(t.mu);
        ++t.seen;
        if (t.failAt != 0 && t.seen == t.failAt) return nullptr;
    }
    void *block = tv::real_sys().mem_alloc(line, file, size);
    if (block != nullptr) {
        std::lock_guard<std::mutex> g(t.mu);
        t.live.insert(block);
    }
    return block;
}

void tracked_free(int64_t line, const char *file, void *block) {
    if (block != nullptr) {
        auto &t = tracker();
        std::lock_guard<std::mutex> g(t.mu);
        if (t.live.erase(block) == 0) {
            char where[64];
            std::snprintf(where, sizeof(where), "%p at line %lld", block, static_cast<long long>(line));
            t.bad.push_back(where);
            return;  // never hand the allocator a block it does not own
        }
        t.released.push_back(block);
    }
    tv::real_sys().mem_free(line, file, block);
}

// In place before main, so every block of the process's life is seen.
const bool g_installed = [] {
    tv::override_sys(&tv::SysCalls::mem_alloc, tracked_alloc);
    tv::override_sys(&tv::SysCalls::mem_free, tracked_free);
    return true;
}();

}  // namespace
}  // namespace svctest
