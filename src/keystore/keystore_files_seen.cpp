// SPDX-License-Identifier: Apache-2.0
#include "keystore/keystore_files_seen.h"

#include <sys/stat.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>

#include "host/sys.h"
#include "keystore/keystore_version.h"
#include "telmor_vaq_api.h"

namespace tv {
namespace {

struct CopySeen {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    struct timespec ctime {};

    bool operator==(const CopySeen &o) const {
        return exists == o.exists && dev == o.dev && ino == o.ino && size == o.size &&
               ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
    }
};

using PairSeen = std::array<CopySeen, 2>;

CopySeen look_at(const char *path) {
    CopySeen seen;
    struct stat st {};
    if (path == nullptr || sys().stat(path, &st) != 0) return seen;
    seen.exists = true;
    seen.dev = st.st_dev;
    seen.ino = st.st_ino;
    seen.size = st.st_size;
    seen.ctime = st.st_ctim;
    return seen;
}

PairSeen look_at_pair() { return {look_at(g_pstFileName.primary), look_at(g_pstFileName.standby)}; }

std::mutex g_mutex;
PairSeen g_loaded;  // guarded by g_mutex
bool g_noted = false;  // guarded by g_mutex

// A look at the copies is two system calls, which on a virtual machine cost
// ten times a decryption: anyone who can hand in texts under keys no one
// holds would make every such call pay them. A look that found the copies as
// loaded is therefore trusted for a millisecond. What this library writes
// also moves the shared version, which is checked on every call; only a copy
// changed by other means (restored by hand, or written while the shared
// segment is missing) can go unseen, and for at most that long.
constexpr int64_t kLookTrustedNs = 1'000'000;
constexpr int64_t kNoLook = INT64_MIN;
std::atomic<int64_t> g_unchanged_at{kNoLook};  // monotonic ns of the last look that found nothing new

int64_t monotonic_ns() {
    struct timespec ts {};
    if (sys().clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return kNoLook;
    return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

bool look_still_trusted(int64_t now) {
    const int64_t at = g_unchanged_at.load(std::memory_order_relaxed);
    return at != kNoLook && now != kNoLook && now >= at && now - at < kLookTrustedNs;
}

}  // namespace

void note_keystore_files() {
    const PairSeen now = look_at_pair();
    std::lock_guard<std::mutex> guard(g_mutex);
    g_loaded = now;
    g_noted = true;
    g_unchanged_at.store(kNoLook, std::memory_order_relaxed);
}

bool keystore_may_have_changed() {
    if (g_shm_addr != nullptr && shared_keystore_version() != own_keystore_version()) return true;
    const int64_t lookAt = monotonic_ns();
    if (look_still_trusted(lookAt)) return false;
    const PairSeen now = look_at_pair();
    std::lock_guard<std::mutex> guard(g_mutex);
    const bool changed = !g_noted || now != g_loaded;
    // Only a look that found nothing new is trusted: a change goes on being
    // reported until a load has noted it.
    g_unchanged_at.store(changed ? kNoLook : lookAt, std::memory_order_relaxed);
    return changed;
}

}  // namespace tv
