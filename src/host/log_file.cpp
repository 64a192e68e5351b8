// SPDX-License-Identifier: Apache-2.0
// One descriptor for the process's log file, shared by every thread and
// written without a lock. Its number never changes once it is open: a reopen
// puts the new file behind the same number (dup3, atomic), so a thread that
// writes while another reopens appends to the old file or the new one, whole,
// and never to a descriptor that was closed and handed to someone else.
#include "host/log_file.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "host/file_safety.h"
#include "host/sys.h"
#include "telmor_vaq_api.h"

namespace tv {
namespace {

// The file behind the descriptor, as it was when it was opened and accepted.
// Published after the descriptor holds it: a thread that finds the path's
// status equal to these finds that file behind the descriptor.
std::atomic<int> g_fd{-1};
std::atomic<bool> g_accepted{false};
std::atomic<dev_t> g_dev{0};
std::atomic<ino_t> g_ino{0};
std::atomic<uid_t> g_owner{0};

// Serialises reopening.
std::mutex g_reopen;

// Whether the path's status still shows the file that was accepted. The
// owner's verdict is the rule's at opening, and holds while the same file
// keeps the same owner.
bool names_open_file(const struct stat &st) {
    return g_accepted.load(std::memory_order_acquire) && st.st_dev == g_dev.load(std::memory_order_relaxed) &&
           st.st_ino == g_ino.load(std::memory_order_relaxed) && st.st_uid == g_owner.load(std::memory_order_relaxed) &&
           S_ISREG(st.st_mode) && st.st_nlink == 1;
}

// Opens the path anew, as fopen's "a+" would and never through a link, and
// puts what the file rule accepts behind the descriptor. Caller holds
// g_reopen. False when there is no file to write to.
bool reopen() {
    g_accepted.store(false, std::memory_order_release);
    struct stat st {};
    const int fd = open_log_file(g_log_name, &st);
    if (fd < 0) return false;
    const int kept = g_fd.load(std::memory_order_relaxed);
    if (kept < 0) {
        g_fd.store(fd, std::memory_order_release);
    } else {
        const bool moved = sys().dup3(fd, kept, O_CLOEXEC) == kept;
        sys().close(fd);
        if (!moved) return false;
    }
    g_dev.store(st.st_dev, std::memory_order_relaxed);
    g_ino.store(st.st_ino, std::memory_order_relaxed);
    g_owner.store(st.st_uid, std::memory_order_relaxed);
    g_accepted.store(true, std::memory_order_release);
    return true;
}

void write_line(const char *line, size_t length) {
    [[maybe_unused]] const ssize_t written = sys().write(g_fd.load(std::memory_order_acquire), line, length);
}

// A child forked while another thread reopens must not inherit the lock
// held by a thread it does not have.
void hold_for_fork() { g_reopen.lock(); }
void release_after_fork() { g_reopen.unlock(); }
[[maybe_unused]] const int g_fork_handlers = pthread_atfork(hold_for_fork, release_after_fork, release_after_fork);

}  // namespace

void append_log_line(const char *line, size_t length) {
    struct stat st {};
    const bool found = sys().lstat(g_log_name, &st) == 0;
    if (found && names_open_file(st)) {
        write_line(line, length);
        return;
    }
    std::lock_guard<std::mutex> guard(g_reopen);
    // Another thread may have reopened it meanwhile.
    if ((found && names_open_file(st)) || reopen()) write_line(line, length);
}

}  // namespace tv
