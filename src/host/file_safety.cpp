// SPDX-License-Identifier: Apache-2.0
#include "host/file_safety.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/sys.h"

namespace tv {
namespace {

// The owner of the directory that holds path, or -1 when it cannot be read.
long directory_owner(const char *path) {
    char dir[4096];
    const char *slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        dir[0] = '.';
        dir[1] = '\0';
    } else {
        const size_t n = slash == path ? 1 : static_cast<size_t>(slash - path);
        if (n >= sizeof dir) return -1;
        std::memcpy(dir, path, n);
        dir[n] = '\0';
    }
    struct stat st {};
    if (sys().lstat(dir, &st) != 0 || !S_ISDIR(st.st_mode)) return -1;
    return static_cast<long>(st.st_uid);
}

}  // namespace

const char *unsafe_file_reason(const char *path, const struct stat &st) {
    if (!S_ISREG(st.st_mode)) return "not a regular file";
    if (st.st_nlink > 1) return "more than one link to it";
    const uid_t me = sys().geteuid();
    if (st.st_uid == me || st.st_uid == 0) return nullptr;
    if (me == 0 && directory_owner(path) == static_cast<long>(st.st_uid)) return nullptr;
    return "owned by another user";
}

const char *unsafe_directory_reason(const char *, const struct stat &st) {
    if (!S_ISDIR(st.st_mode)) return "not a directory";
    if ((st.st_mode & 022) != 0) return "writable by group or others";
    const uid_t me = sys().geteuid();
    if (st.st_uid != me && st.st_uid != 0 && me != 0) return "owned by another user";
    return nullptr;
}

int open_safely(const char *path, int flags, mode_t mode, struct stat *st, const char **reason) {
    *reason = nullptr;
    const int fd = sys().open(path, flags | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) {
        if (errno == ELOOP) *reason = "a symbolic link";
        return -1;
    }
    if (sys().fstat(fd, st) != 0) {
        const int err = errno;
        sys().close(fd);
        errno = err;
        return -1;
    }
    *reason = unsafe_file_reason(path, *st);
    if (*reason != nullptr) {
        sys().close(fd);
        errno = EPERM;
        return -1;
    }
    return fd;
}

}  // namespace tv
