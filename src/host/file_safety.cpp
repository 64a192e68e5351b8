// SPDX-License-Identifier: Apache-2.0
#include "host/file_safety.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "host/bounded.h"
#include "host/sys.h"

namespace tv {
namespace {

constexpr std::size_t kPathSize = 4096;

// Owns one descriptor for a scope.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    Descriptor &operator=(Descriptor &&other) noexcept {
        if (this != &other) {
            reset();
            fd_ = other.release();
        }
        return *this;
    }
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes, keeping the errno of whatever failed before.
    void reset() {
        if (fd_ < 0) return;
        const int err = errno;
        sys().close(fd_);
        errno = err;
        fd_ = -1;
    }

private:
    int fd_;
};

std::mutex g_keystore_mutex;
char g_keystore_directory[kPathSize] = {};

// The directory part of path ("." for a bare name) and its last component.
bool split(const char *path, char (&dir)[kPathSize], const char *&leaf) {
    const char *slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        dir[0] = '.';
        dir[1] = '\0';
        leaf = path;
        return *leaf != '\0';
    }
    const size_t n = slash == path ? 1 : static_cast<size_t>(slash - path);
    if (n >= kPathSize) return false;
    std::memcpy(dir, path, n);
    dir[n] = '\0';
    leaf = slash + 1;
    return *leaf != '\0';
}

// The keystore directory's status, or false when none is set or it cannot
// be read.
bool keystore_directory(struct stat &st) {
    char dir[kPathSize];
    {
        std::lock_guard<std::mutex> guard(g_keystore_mutex);
        std::memcpy(dir, g_keystore_directory, sizeof dir);
    }
    if (dir[0] == '\0') return false;
    const Descriptor fd(sys().open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    return fd.get() >= 0 && sys().fstat(fd.get(), &st) == 0;
}

bool is_keystore_owner(uid_t owner) {
    struct stat ks {};
    return keystore_directory(ks) && ks.st_uid == owner;
}

// The directory `name` in dir, never through a link. With make, a missing
// one is made first with mode (exactly, whatever the umask) and root's.
int open_directory_at(int dir, const char *name, bool make, mode_t mode, Refusal *why, const char *path) {
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = sys().openat(dir, name, kFlags, 0);
    // /etc/telmor/vaq lets accounts pass through to their own directories
    // without reading it: a descriptor to look up names in is all they need.
    if (fd < 0 && errno == EACCES) fd = sys().openat(dir, name, (kFlags & ~O_RDONLY) | O_PATH, 0);
    bool made = false;
    if (fd < 0 && errno == ENOENT && make) {
        if (sys().mkdirat(dir, name, mode) == 0) {
            made = true;
        } else if (errno != EEXIST) {
            return -1;
        }
        fd = sys().openat(dir, name, kFlags, 0);
    }
    if (fd < 0 && (errno == ELOOP || errno == ENOTDIR)) {
        struct stat st {};
        const bool link = sys().fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
        *why = {path, link ? "a symbolic link" : "not a directory"};
        errno = EPERM;
        return -1;
    }
    if (fd >= 0 && made) {
        // Changed through the descriptor just opened: what was made, never
        // whatever a link put at the name since.
        struct stat st {};
        if (sys().fstat(fd, &st) != 0 || (st.st_gid != 0 && sys().fchown(fd, 0, 0) != 0) ||
            sys().fchmod(fd, mode) != 0) {
            const Descriptor closing(fd);
            return -1;
        }
    }
    return fd;
}

// Why a directory of the node-secret tree is not trusted, or null.
const char *untrusted_directory_reason(const struct stat &st, bool keystoreOwnerMayOwn) {
    if (st.st_uid != 0 && !(keystoreOwnerMayOwn && is_keystore_owner(st.st_uid)))
        return keystoreOwnerMayOwn ? "owned by neither root nor the keystore directory's owner" : "not owned by root";
    if ((st.st_mode & 022) != 0) return "writable by group or others";
    return nullptr;
}

// Where a secret path leads: a file directly in the node-secret directory
// (root's own files, and the flat layout of nodes not yet moved to one
// directory per keystore) or in a keystore's own directory beneath it.
struct SecretPath {
    char keystoreDir[256] = {};  // empty: directly in the node-secret directory
    const char *leaf = nullptr;
};

// A path in the node-secret tree, or false: /etc/telmor/vaq/LEAF or
// /etc/telmor/vaq/DIR/LEAF, no further level, no "." or ".." names.
bool secret_path(const char *path, SecretPath &out) {
    const size_t n = sizeof kSecretDirectory - 1;
    if (std::strncmp(path, kSecretDirectory, n) != 0 || path[n] != '/') return false;
    const char *rest = path + n + 1;
    const char *slash = std::strchr(rest, '/');
    out.leaf = rest;
    if (slash != nullptr) {
        const size_t len = static_cast<size_t>(slash - rest);
        if (len == 0 || len >= sizeof out.keystoreDir) return false;
        std::memcpy(out.keystoreDir, rest, len);
        out.keystoreDir[len] = '\0';
        out.leaf = slash + 1;
    }
    auto plain = [](const char *name) {
        return *name != '\0' && std::strchr(name, '/') == nullptr && std::strcmp(name, ".") != 0 &&
               std::strcmp(name, "..") != 0;
    };
    return plain(out.leaf) && (out.keystoreDir[0] == '\0' || plain(out.keystoreDir));
}

// The directory holding a secret, each step from /etc checked: a descriptor,
// or -1 with *why set (EPERM) or errno (ENOENT when missing and not made).
//
// /etc/telmor/vaq is root's (0711 when made: accounts pass through to their
// own directories, and list nothing). A keystore's directory beneath it
// belongs to root or the keystore directory's owner; made by root (with
// `make`), it is given to that owner through the descriptor that made it.
// On a node not yet moved to one directory per keystore, the keystore's
// owner may still own /etc/telmor/vaq itself, and its files directly there
// are read as before; a keystore directory beneath a directory an account
// owns is never trusted, since that account could swap it.
int open_secret_directory(const SecretPath &sp, bool make, Refusal *why) {
    const Descriptor root(sys().open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    if (root.get() < 0) return -1;
    Descriptor at(open_directory_at(root.get(), "etc", false, 0, why, "/etc"));
    if (at.get() < 0) return -1;
    const bool own = sp.keystoreDir[0] != '\0';
    // Named in a refusal after this returns.
    static thread_local char ownPath[sizeof kSecretDirectory + sizeof sp.keystoreDir + 1];
    std::snprintf(ownPath, sizeof ownPath, "%s/%s", kSecretDirectory, sp.keystoreDir);
    struct Step {
        const char *name;
        const char *path;
        mode_t mode;
        bool keystoreOwnerMayOwn;
    } const kSteps[] = {{"telmor", kSecretParentDirectory, 0755, false},
                        {"vaq", kSecretDirectory, 0711, !own},
                        {sp.keystoreDir, ownPath, 0700, true}};
    for (const Step &step : kSteps) {
        if (step.name == sp.keystoreDir && !own) break;
        Descriptor next(open_directory_at(at.get(), step.name, make, step.mode, why, step.path));
        if (next.get() < 0) return -1;
        struct stat st {};
        if (sys().fstat(next.get(), &st) != 0) return -1;
        if (step.name == sp.keystoreDir && st.st_uid == 0 && sys().geteuid() == 0) {
            // Root made it (or left it root's): the keystore's owner works in
            // it, and passes through /etc/telmor/vaq to reach it (an older
            // node made that 0700).
            struct stat ks {}, vaq {};
            if (keystore_directory(ks) && ks.st_uid != 0) {
                if (sys().fchown(next.get(), ks.st_uid, ks.st_gid) != 0) return -1;
                st.st_uid = ks.st_uid;
                if (sys().fstat(at.get(), &vaq) == 0 && (vaq.st_mode & 0001) == 0 &&
                    sys().fchmod(at.get(), (vaq.st_mode & 07777) | 0111) != 0)
                    return -1;
            }
        }
        if (const char *reason = untrusted_directory_reason(st, step.keystoreOwnerMayOwn)) {
            *why = {step.path, reason};
            errno = EPERM;
            return -1;
        }
        at = std::move(next);
    }
    return at.release();
}

// Why a file in a directory must not be used, or null.
const char *unsafe_file_reason(const struct stat &st, const struct stat &dir, bool secret) {
    if (!S_ISREG(st.st_mode)) return "not a regular file";
    if (st.st_nlink > 1) return "more than one link to it";
    // Root's files need no further look (a log line as root costs no call).
    bool owner = st.st_uid == 0;
    const uid_t me = owner ? 0 : sys().geteuid();
    owner = owner || st.st_uid == me;
    if (!owner && secret) owner = is_keystore_owner(st.st_uid);
    if (!owner && !secret) owner = me == 0 && st.st_uid == dir.st_uid;
    if (!owner) return "owned by another user";
    // A secret that others could read may already be theirs: it is refused,
    // never quietly tightened, so that an operator learns of it.
    if (secret && (st.st_mode & 077) != 0) return "open to group or others";
    return nullptr;
}

// Opens leaf in dir, telling a file made now from one that was there.
int open_at(int dir, const char *leaf, int flags, mode_t mode, bool &made) {
    flags |= O_NOFOLLOW | O_CLOEXEC;
    made = false;
    if ((flags & O_CREAT) == 0) return sys().openat(dir, leaf, flags, 0);
    if ((flags & O_EXCL) != 0) {
        const int fd = sys().openat(dir, leaf, flags, mode);
        made = fd >= 0;
        return fd;
    }
    // Most opens find the file (a log line, a keystore write): one call. A
    // file made or removed by someone else between the two opens is looked
    // for again on the next round.
    for (int round = 0; round < 3; ++round) {
        int fd = sys().openat(dir, leaf, flags & ~O_CREAT, 0);
        if (fd >= 0 || errno != ENOENT) return fd;
        fd = sys().openat(dir, leaf, flags | O_EXCL, mode);
        if (fd >= 0) {
            made = true;
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    return -1;
}

// A file made now gets exactly its mode, and root gives it to the account
// that works in its directory: the directory's owner, or for a secret the
// keystore directory's owner.
bool settle_new_file(int fd, mode_t mode, const struct stat &dir, bool secret) {
    if (sys().geteuid() == 0) {
        struct stat owner = dir;
        if (secret && !keystore_directory(owner)) owner = dir;
        if (owner.st_uid != 0 && sys().fchown(fd, owner.st_uid, owner.st_gid) != 0) return false;
    }
    return sys().fchmod(fd, mode & 07777) == 0;
}

}  // namespace

void set_keystore_directory_of(const char *primaryPath) {
    char dir[kPathSize] = {};
    const char *leaf = nullptr;
    if (primaryPath == nullptr || !split(primaryPath, dir, leaf)) dir[0] = '\0';
    std::lock_guard<std::mutex> guard(g_keystore_mutex);
    std::memcpy(g_keystore_directory, dir, sizeof dir);
}

bool keystore_lock_path(char *out, size_t size) {
    std::lock_guard<std::mutex> guard(g_keystore_mutex);
    if (g_keystore_directory[0] == '\0') return false;
    return sprintf_s(out, size, "%s/keystore.lock", g_keystore_directory) > 0;
}

int open_safely(const char *path, int flags, mode_t mode, struct stat *st, Refusal *why, int *createdIn) {
    *why = {};
    if (createdIn != nullptr) *createdIn = -1;
    SecretPath sp;
    const char *leaf = nullptr;
    const bool secret = std::strncmp(path, kSecretDirectory, sizeof kSecretDirectory - 1) == 0 &&
                        path[sizeof kSecretDirectory - 1] == '/';
    Descriptor dir;
    if (secret) {
        if (!secret_path(path, sp)) {
            errno = EINVAL;
            return -1;
        }
        leaf = sp.leaf;
        dir = Descriptor(open_secret_directory(sp, (flags & O_CREAT) != 0 && sys().geteuid() == 0, why));
    } else {
        char dirPath[kPathSize];
        if (!split(path, dirPath, leaf)) {
            errno = ENAMETOOLONG;
            return -1;
        }
        dir = Descriptor(sys().open(dirPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    }
    struct stat dirStatus {};
    if (dir.get() < 0 || sys().fstat(dir.get(), &dirStatus) != 0) return -1;

    bool made = false;
    Descriptor fd(open_at(dir.get(), leaf, flags, mode, made));
    if (fd.get() < 0) {
        if (errno == ELOOP) *why = {path, "a symbolic link"};
        return -1;
    }
    if (made && !settle_new_file(fd.get(), mode, dirStatus, secret)) {
        const int err = errno;
        sys().unlinkat(dir.get(), leaf, 0);
        errno = err;
        return -1;
    }
    if (sys().fstat(fd.get(), st) != 0) return -1;
    if (const char *reason = unsafe_file_reason(*st, dirStatus, secret)) {
        *why = {path, reason};
        errno = EPERM;
        return -1;
    }
    if (made && createdIn != nullptr) *createdIn = dir.release();
    return fd.release();
}

int open_log_file(const char *path, struct stat *st) {
    Refusal why;
    return open_safely(path, O_RDWR | O_CREAT | O_APPEND | O_NONBLOCK, 0640, st, &why);
}

const char *unsafe_directory_reason(const char *path, const struct stat &st) {
    if (!S_ISDIR(st.st_mode)) return "not a directory";
    if (std::strcmp(path, kSecretDirectory) == 0) return untrusted_directory_reason(st, true);
    if (std::strcmp(path, kSecretParentDirectory) == 0) return untrusted_directory_reason(st, false);
    SecretPath sp;
    if (secret_path(path, sp) && sp.keystoreDir[0] == '\0') return untrusted_directory_reason(st, true);
    if ((st.st_mode & 022) != 0) return "writable by group or others";
    const uid_t me = sys().geteuid();
    if (st.st_uid != me && st.st_uid != 0 && me != 0) return "owned by another user";
    return nullptr;
}

}  // namespace tv
