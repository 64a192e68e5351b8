// SPDX-License-Identifier: Apache-2.0
// Preloaded into one run of the tool: the Nth file call of the process fails.
// TELMOR_FAULT_AT=N picks the call, TELMOR_FAULT_KIND how it fails: EIO,
// ENOSPC or EINTR (the call answers -1 with that errno), or "short" (only
// writes are counted, and the chosen one writes half of what it was given).
// When the fault is made, the file TELMOR_FAULT_FIRED is created, so that the
// driver knows the run reached call N.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {

std::atomic<long> g_calls{0};

long fault_at() {
    static const long at = [] {
        const char *v = std::getenv("TELMOR_FAULT_AT");
        return v ? std::atol(v) : 0L;
    }();
    return at;
}

// 0 for a short write, else the errno to answer.
int fault_errno() {
    static const int err = [] {
        const char *k = std::getenv("TELMOR_FAULT_KIND");
        if (k == nullptr || std::strcmp(k, "EIO") == 0) return EIO;
        if (std::strcmp(k, "ENOSPC") == 0) return ENOSPC;
        if (std::strcmp(k, "EINTR") == 0) return EINTR;
        return 0;
    }();
    return err;
}

void mark_fired() {
    const char *path = std::getenv("TELMOR_FAULT_FIRED");
    if (path == nullptr) return;
    // Straight to the kernel: this call is not one of the counted ones.
    const long fd = syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) syscall(SYS_close, fd);
}

// True when this call is the one to fail. Writes alone count for "short".
bool trips(bool isWrite) {
    if (fault_at() <= 0 || (fault_errno() == 0 && !isWrite)) return false;
    if (g_calls.fetch_add(1) + 1 != fault_at()) return false;
    mark_fired();
    return true;
}

template <class Fn>
Fn next(const char *name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

}  // namespace

// The build hides symbols by default; these must be seen to be preloaded.
#pragma GCC visibility push(default)
extern "C" {

int open(const char *path, int flags, ...) {
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, mode_t);
        va_end(ap);
    }
    if (trips(false)) return errno = fault_errno(), -1;
    static auto real = next<int (*)(const char *, int, ...)>("open");
    return real(path, flags, mode);
}
int open64(const char *path, int flags, ...) __attribute__((alias("open")));

int openat(int dir, const char *path, int flags, ...) {
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, mode_t);
        va_end(ap);
    }
    if (trips(false)) return errno = fault_errno(), -1;
    static auto real = next<int (*)(int, const char *, int, ...)>("openat");
    return real(dir, path, flags, mode);
}
int openat64(int dir, const char *path, int flags, ...) __attribute__((alias("openat")));

ssize_t write(int fd, const void *buf, size_t count) {
    static auto real = next<ssize_t (*)(int, const void *, size_t)>("write");
    if (trips(true)) {
        if (fault_errno() != 0) return errno = fault_errno(), -1;
        return real(fd, buf, count > 1 ? count / 2 : count);
    }
    return real(fd, buf, count);
}

ssize_t pwrite(int fd, const void *buf, size_t count, off_t at) {
    static auto real = next<ssize_t (*)(int, const void *, size_t, off_t)>("pwrite");
    if (trips(true)) {
        if (fault_errno() != 0) return errno = fault_errno(), -1;
        return real(fd, buf, count > 1 ? count / 2 : count, at);
    }
    return real(fd, buf, count, at);
}
ssize_t pwrite64(int fd, const void *buf, size_t count, off_t at) __attribute__((alias("pwrite")));

#define FAULTY(ret, name, params, args)                        \
    ret name params {                                          \
        if (trips(false)) return errno = fault_errno(), -1;    \
        static auto real = next<ret(*) params>(#name);         \
        return real args;                                      \
    }

FAULTY(ssize_t, read, (int fd, void *buf, size_t count), (fd, buf, count))
FAULTY(int, fsync, (int fd), (fd))
FAULTY(int, fdatasync, (int fd), (fd))
FAULTY(int, rename, (const char *from, const char *to), (from, to))
FAULTY(int, renameat, (int fd, const char *from, int tofd, const char *to), (fd, from, tofd, to))
FAULTY(int, renameat2, (int fd, const char *from, int tofd, const char *to, unsigned flags),
       (fd, from, tofd, to, flags))
FAULTY(int, linkat, (int fd, const char *from, int tofd, const char *to, int flags), (fd, from, tofd, to, flags))
FAULTY(int, unlink, (const char *path), (path))
FAULTY(int, unlinkat, (int fd, const char *path, int flags), (fd, path, flags))
FAULTY(int, mkdir, (const char *path, mode_t mode), (path, mode))
FAULTY(int, mkdirat, (int fd, const char *path, mode_t mode), (fd, path, mode))
FAULTY(int, fchown, (int fd, uid_t uid, gid_t gid), (fd, uid, gid))
FAULTY(int, fchmod, (int fd, mode_t mode), (fd, mode))
FAULTY(int, ftruncate, (int fd, off_t length), (fd, length))

}  // extern "C"
#pragma GCC visibility pop
