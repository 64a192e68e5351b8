// SPDX-License-Identifier: Apache-2.0
#include "host/published_file.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "common/error_text.h"
#include "common/log.h"
#include "host/bounded.h"
#include "host/sys.h"

namespace tv {
namespace {

// Files waiting for their close. Exports are rare and short: a few slots do.
struct Pending {
    int fd = -1;
    int dirfd = -1;
    bool spoiled = false;
    char name[256] = {};  // the last component of the path
    char path[1024] = {};  // the whole path, for log lines
    // Where the file system makes no unnamed files: the private name the file
    // is written under, linked to its name by the close; empty otherwise.
    char temp[300] = {};
};
constexpr int kSlots = 8;
Pending g_pending[kSlots];
pthread_mutex_t g_pendingMutex = PTHREAD_MUTEX_INITIALIZER;

class Guard {
public:
    Guard() { pthread_mutex_lock(&g_pendingMutex); }
    ~Guard() { pthread_mutex_unlock(&g_pendingMutex); }
    Guard(const Guard &) = delete;
    Guard &operator=(const Guard &) = delete;
};

Pending *find(int fd) {
    for (Pending &p : g_pending) {
        if (p.fd == fd && fd >= 0) return &p;
    }
    return nullptr;
}

void close_keeping_errno(int fd) {
    const int err = errno;
    sys().close(fd);
    errno = err;
}

// A new file in dirfd under a name of this process's own (".NAME.PID.N"),
// created exclusively and without following a link, mode 0600; its name goes
// to temp. -1 with errno when none could be made.
int open_private_name(int dirfd, const char *name, char *temp, size_t size) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 16; ++attempt) {
        if (sprintf_s(temp, size, ".%s.%d.%u", name, static_cast<int>(sys().getpid()),
                      counter.fetch_add(1, std::memory_order_relaxed)) < 0) {
            errno = ENAMETOOLONG;
            return -1;
        }
        const int fd = sys().openat(dirfd, temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST) {
            if (fd < 0) temp[0] = '\0';
            return fd;
        }
    }
    temp[0] = '\0';
    errno = EEXIST;
    return -1;
}

// Gives the privately named file its name: a hard link, which never replaces
// what is at the name, then the private name goes. A file system without
// hard links (vfat) cannot publish without the risk of replacing another
// file: the export is refused, and the log line says why.
int link_private_name(const Pending &p) {
    if (sys().linkat(p.dirfd, p.temp, p.dirfd, p.name, 0) != 0) {
        const int err = errno;
        if (err == EPERM || err == EOPNOTSUPP || err == ENOSYS)
            VAQ_LOG(kError,
                    "%s not written: its file system makes neither unnamed files nor hard links, so the file cannot "
                    "be put in place without the risk of replacing another; write it to another file system\n",
                    p.path[0] != '\0' ? p.path : p.name);
        sys().unlinkat(p.dirfd, p.temp, 0);
        errno = err;
        return -1;
    }
    sys().unlinkat(p.dirfd, p.temp, 0);
    return 0;
}

}  // namespace

int open_unpublished(const char *path) {
    const char *slash = std::strrchr(path, '/');
    const char *name = slash == nullptr ? path : slash + 1;
    char dir[4096];
    if (slash == nullptr) {
        strcpy_s(dir, sizeof dir, ".");
    } else {
        const size_t n = slash == path ? 1 : static_cast<size_t>(slash - path);
        if (n >= sizeof dir || memcpy_s(dir, sizeof dir, path, n) != 0) {
            errno = ENAMETOOLONG;
            return -1;
        }
        dir[n] = '\0';
    }
    if (name[0] == '\0' || std::strlen(name) >= sizeof Pending::name) {
        errno = name[0] == '\0' ? EISDIR : ENAMETOOLONG;
        return -1;
    }
    const int dirfd = sys().open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (dirfd < 0) return -1;
    // The name is looked up in the directory that the link will go into.
    struct stat st {};
    if (sys().fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        sys().close(dirfd);
        errno = EEXIST;
        return -1;
    }
    char temp[sizeof Pending::temp] = {};
    int fd = sys().openat(dirfd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0) {
        const bool unsupported = errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL;
        if (!unsupported) {
            close_keeping_errno(dirfd);
            return -1;
        }
        // NFS, CIFS, FUSE and the like: a name of our own instead, made anew
        // (never one that was there) and never followed, so the file is this
        // process's own, 0600, whoever owns the directory.
        fd = open_private_name(dirfd, name, temp, sizeof temp);
        if (fd < 0) {
            close_keeping_errno(dirfd);
            return -1;
        }
    }
    Guard guard;
    for (Pending &p : g_pending) {
        if (p.fd >= 0) continue;
        p.fd = fd;
        p.dirfd = dirfd;
        p.spoiled = false;
        strcpy_s(p.name, sizeof p.name, name);
        strcpy_s(p.temp, sizeof p.temp, temp);
        if (strcpy_s(p.path, sizeof p.path, path) != 0) p.path[0] = '\0';
        return fd;
    }
    if (temp[0] != '\0') sys().unlinkat(dirfd, temp, 0);
    sys().close(fd);
    sys().close(dirfd);
    errno = EMFILE;
    return -1;
}

bool unpublished(int fd) {
    Guard guard;
    return find(fd) != nullptr;
}

bool unpublished_path(int fd, char *out, size_t size) {
    Guard guard;
    const Pending *p = find(fd);
    return p != nullptr && p->path[0] != '\0' && strcpy_s(out, size, p->path) == 0;
}

void spoil_unpublished(int fd) {
    Guard guard;
    if (Pending *p = find(fd)) p->spoiled = true;
}

int close_unpublished(int fd) {
    Pending p;
    {
        Guard guard;
        Pending *slot = find(fd);
        if (slot == nullptr) {
            errno = EBADF;
            return -1;
        }
        p = *slot;
        *slot = Pending{};
    }
    int rc = 0;
    if (p.spoiled && p.temp[0] != '\0') sys().unlinkat(p.dirfd, p.temp, 0);
    if (!p.spoiled) {
        // Linking through /proc needs no privilege, unlike AT_EMPTY_PATH.
        char self[64];
        sprintf_s(self, sizeof self, "/proc/self/fd/%d", fd);
        if (sys().fsync(fd) != 0) {
            rc = -1;
            if (p.temp[0] != '\0') {
                const int err = errno;
                sys().unlinkat(p.dirfd, p.temp, 0);
                errno = err;
            }
        } else if (p.temp[0] != '\0' ? link_private_name(p) != 0
                                      : sys().linkat(AT_FDCWD, self, p.dirfd, p.name, AT_SYMLINK_FOLLOW) != 0) {
            rc = -1;
        } else if (sys().fsync(p.dirfd) != 0) {
            // Its name might not survive a crash: a file that is not sure to be
            // there is not there, and the caller hears it as unconfirmed.
            VAQ_LOG(kError, "sync of the directory of %s failed: %s\n", p.path[0] != '\0' ? p.path : p.name,
                    error_text(errno));
            sys().unlinkat(p.dirfd, p.name, 0);
            errno = EIO;
            rc = -1;
        }
    }
    const int err = errno;
    sys().close(fd);
    sys().close(p.dirfd);
    errno = err;
    return rc;
}

}  // namespace tv
