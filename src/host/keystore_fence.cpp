// SPDX-License-Identifier: Apache-2.0
#include "host/keystore_fence.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>

#include "common/error_text.h"
#include "common/log.h"
#include "host/file_safety.h"
#include "host/last_failure.h"
#include "host/sys.h"
#include "private/telmor_vaq_private.h"

namespace tv {
namespace {

constexpr size_t kPathBytes = 4096;

// The fences this process holds, by holder. One thread holds the semaphore
// at a time in a process unless the semaphore is held twice, so a few slots
// are plenty; a take that finds none free is refused, not made unfenced.
struct Held {
    const void *holder = nullptr;
    int fd = -1;
};
constexpr int kSlots = 16;
std::mutex g_held_mutex;
Held g_held[kSlots];

bool keep(const void *holder, int fd) {
    std::lock_guard<std::mutex> guard(g_held_mutex);
    for (Held &h : g_held)
        if (h.holder == nullptr) {
            h = {holder, fd};
            return true;
        }
    return false;
}

int take_back(const void *holder) {
    std::lock_guard<std::mutex> guard(g_held_mutex);
    for (Held &h : g_held)
        if (h.holder == holder) {
            const int fd = h.fd;
            h = {};
            return fd;
        }
    return -1;
}

// The whole file, for writing, waiting while another description holds it.
int lock_whole(int fd) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    int rc = 0;
    do {
        rc = sys().fcntl_lock(fd, F_OFD_SETLKW, &lock);
    } while (rc == -1 && errno == EINTR);
    return rc;
}

void refuse(const char *path, const char *reason, int err) {
    record_file_failure(path, reason, err);
    VAQ_LOG(kError, "keystore lock file %s cannot be used: %s; the key library's operation stops\n", path,
            reason != nullptr ? reason : error_text(err));
}

}  // namespace

namespace {
// Set for a process that only looks at keystores (the tool's status and
// check): it writes nothing, so it makes no lock file either.
std::atomic<bool> g_looking_only{false};
}  // namespace

bool fence_keystore(const void *holder) {
#ifdef TELMOR_LOCK_MUTANT_NO_FENCE
    // Mutant build: the keystore is guarded by the semaphore alone.
    (void)holder;
    return true;
#else
    char path[kPathBytes];
    if (!keystore_lock_path(path, sizeof path)) return true;
    // Made on first use as a keystore copy is (its directory's owner's,
    // 0600), and opened only if it is what a keystore copy may be.
    struct stat st {};
    Refusal why;
    const bool looking = g_looking_only.load(std::memory_order_relaxed);
    const int fd = open_safely(path, looking ? O_RDWR : O_RDWR | O_CREAT, 0600, &st, &why);
    // A reader that changes nothing needs no fence against writers where
    // none has ever written: the semaphore still orders it.
    if (fd < 0 && looking && errno == ENOENT) return true;
    if (fd < 0) {
        refuse(path, why.reason, errno);
        return false;
    }
    if (lock_whole(fd) != 0) {
        const int err = errno;
        sys().close(fd);
        refuse(path, nullptr, err);
        return false;
    }
    if (!keep(holder, fd)) {
        sys().close(fd);
        refuse(path, "too many keystore locks held at once in this process", 0);
        return false;
    }
    return true;
#endif
}

void unfence_keystore(const void *holder) {
    // Closing the only descriptor of the description drops its lock.
    const int fd = take_back(holder);
    if (fd >= 0) sys().close(fd);
}

}  // namespace tv

extern "C" void telmor_vaq_look_only(uint32_t on) { tv::g_looking_only.store(on != 0, std::memory_order_relaxed); }
