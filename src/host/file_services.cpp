// SPDX-License-Identifier: Apache-2.0
// File services of the host-service table: the key library's only way to its
// keystore files. A handle is a malloc'd Handle whose first member is the
// plain descriptor; the position is the descriptor's own.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "common/error_text.h"
#include "common/log.h"
#include "host/bounded.h"
#include "host/file_safety.h"
#include "host/host_services.h"
#include "host/last_failure.h"
#include "host/published_file.h"
#include "host/sys.h"

namespace tv {

namespace {

struct Handle {
    int32_t fd;
    // The directory of a file this handle created, or -1: a new file (an
    // export, a node secret, a first keystore copy) is found after a crash
    // only if the directory entry that names it reached the disk too, so
    // every write syncs it after the file.
    int32_t createdIn;
};

int descriptor(void *handle) { return static_cast<Handle *>(handle)->fd; }

// O_NONBLOCK: a FIFO put at a keystore path must not hang the open; on the
// regular files that pass the checks it changes nothing.
bool open_flags(int32_t mode, int &flags, mode_t &created) {
    created = 0600;
    switch (mode) {
        case VAQ_FILE_READ:
            flags = O_RDONLY;
            break;
        // Not truncated: the keystore's own header says how long it is.
        case VAQ_FILE_WRITE:
            flags = O_WRONLY | O_CREAT;
            break;
        case VAQ_FILE_READ_WRITE:
            flags = O_RDWR | O_CREAT;
            break;
        case VAQ_FILE_CREATE:
            flags = O_WRONLY | O_CREAT | O_EXCL;
            break;
        case VAQ_FILE_CREATE_SECRET:
            flags = O_WRONLY | O_CREAT | O_EXCL;
            created = 0400;
            break;
        default:
            return false;
    }
    flags |= O_NONBLOCK;
    return true;
}

// A file the key library writes holds key material: nobody but its owner may
// read it, whatever mode it was made with.
void tighten(int fd, const char *path, const struct stat &st) {
    if ((st.st_mode & 077) == 0) return;
    if (sys().fchmod(fd, st.st_mode & 0700) != 0) {
        VAQ_LOG(kError, "file %s has mode %04o and could not be tightened: %s\n", path,
                static_cast<unsigned>(st.st_mode & 07777), error_text(errno));
        return;
    }
    VAQ_LOG(kWarn, "file %s had mode %04o; others' access removed\n", path, static_cast<unsigned>(st.st_mode & 07777));
}

// The path a descriptor was opened at, for a log line about a failure.
const char *path_of(int fd, char (&buffer)[512]) {
    if (unpublished_path(fd, buffer, sizeof buffer)) return buffer;
    char link[64];
    if (sprintf_s(link, sizeof link, "/proc/self/fd/%d", fd) < 0) return "?";
    const ssize_t n = sys().readlink(link, buffer, sizeof buffer - 1);
    if (n <= 0) return "?";
    buffer[n] = '\0';
    return buffer;
}

}  // namespace

void *APP_Fopen(const char *path, int32_t mode) {
    int flags = 0;
    mode_t created = 0;
    if (path == nullptr || !open_flags(mode, flags, created)) return nullptr;
    struct stat st {};
    Refusal why;
    int createdIn = -1;
    // An export is published whole by its close, or not at all; never made
    // the ordinary way, which would give it to the directory's owner.
    int fd = mode == VAQ_FILE_CREATE ? open_unpublished(path) : -1;
    if (fd < 0 && mode != VAQ_FILE_CREATE) fd = open_safely(path, flags, created, &st, &why, &createdIn);
    if (fd < 0) record_file_failure(why.path != nullptr ? why.path : path, why.reason, errno);
    if (why.reason != nullptr) {
        const int err = errno;
        if (why.path == path) {
            VAQ_LOG(kError, "file %s not used: %s\n", path, why.reason);
        } else {
            VAQ_LOG(kError, "directory %s not trusted for %s: %s\n", why.path, path, why.reason);
        }
        errno = err;
    }
    const bool published = fd >= 0 && unpublished(fd);
    if (fd >= 0 && !published && (flags & O_ACCMODE) != O_RDONLY) tighten(fd, path, st);
    Handle *holder = nullptr;
    if (fd >= 0) {
        holder = static_cast<Handle *>(sys().malloc(sizeof(Handle)));
        if (holder == nullptr) {
            // Nobody could ever close it otherwise; an export not yet
            // published is dropped with its slot.
            if (published) {
                spoil_unpublished(fd);
                close_unpublished(fd);
            } else {
                sys().close(fd);
            }
            if (createdIn >= 0) sys().close(createdIn);
            fd = -1;
            errno = ENOMEM;
        } else {
            *holder = {fd, createdIn};
        }
    }
    VAQ_LOG(kInfo, "TELMOR VAQ fopen ret=%d.\n", fd);
    return holder;
}

int32_t APP_Fclose(void *handle) {
    if (handle == nullptr) {
        errno = EBADF;
        return -1;
    }
    const int fd = descriptor(handle);
    if (fd <= STDERR_FILENO) {
        VAQ_LOG(kError, "fd[%d] is invalid\n", fd);
    }
    const int createdIn = static_cast<Handle *>(handle)->createdIn;
    if (createdIn >= 0) sys().close(createdIn);
    const int rc = unpublished(fd) ? close_unpublished(fd) : sys().close(fd);
    sys().free(handle);
    return rc;
}

int32_t APP_Fread(void *buf, uint64_t count, void *handle) {
    if (handle == nullptr) return 0;
    const ssize_t n = sys().read(descriptor(handle), buf, count);
    return n >= 0 && static_cast<uint64_t>(n) == count ? 1 : 0;
}

int32_t APP_Fwrite(const void *data, uint64_t count, void *handle) {
    if (handle == nullptr) return 0;
    const int fd = descriptor(handle);
    // A signal or a short write does not end the write: the rest follows, so
    // that a key change is not failed for what the next call would finish.
    const auto *next = static_cast<const unsigned char *>(data);
    uint64_t left = count;
    int writeError = 0;
    while (left > 0) {
        const ssize_t n = sys().write(fd, next, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            writeError = n < 0 ? errno : EIO;
            break;
        }
        next += n;
        left -= static_cast<uint64_t>(n);
    }
    char where[512];
    if (writeError != 0) {
        VAQ_LOG(kError, "write of %s failed after %llu of %llu bytes: %s\n", path_of(fd, where),
                static_cast<unsigned long long>(count - left), static_cast<unsigned long long>(count),
                error_text(writeError));
    }
    // Synced whatever the write did, so the result 1 means on disk.
    if (sys().fsync(fd) != 0) {
        const int syncError = errno;
        VAQ_LOG(kError, "sync of %s failed: %s\n", path_of(fd, where), error_text(syncError));
        if (writeError == 0) writeError = syncError;
    }
    const int createdIn = static_cast<Handle *>(handle)->createdIn;
    if (writeError == 0 && createdIn >= 0 && sys().fsync(createdIn) != 0) {
        writeError = errno;
        VAQ_LOG(kError, "sync of the directory of %s failed: %s\n", path_of(fd, where), error_text(writeError));
    }
    // Half a file is never published under its name.
    if (writeError != 0) spoil_unpublished(fd);
    errno = writeError;
    return writeError == 0 ? 1 : 0;
}

int32_t APP_Fflush(void *handle) {
    if (handle == nullptr) {
        errno = EBADF;
        return -1;
    }
    return sys().fsync(descriptor(handle));
}

int32_t APP_Fremove(const char *path) { return std::remove(path); }

int64_t APP_Ftell(void *handle) {
    if (handle == nullptr) {
        errno = EBADF;
        return -1;
    }
    return sys().lseek(descriptor(handle), 0, SEEK_CUR);
}

int64_t APP_Fseek(void *handle, int64_t offset, int32_t origin) {
    int whence = 0;
    switch (origin) {
        case VAQ_SEEK_SET:
            whence = SEEK_SET;
            break;
        case VAQ_SEEK_CUR:
            whence = SEEK_CUR;
            break;
        case VAQ_SEEK_END:
            whence = SEEK_END;
            break;
        default:
            errno = EINVAL;
            return -1;
    }
    if (handle == nullptr) {
        errno = EBADF;
        return -1;
    }
    return sys().lseek(descriptor(handle), offset, whence);
}

int32_t APP_Feof(void *handle, int32_t *atEnd) {
    if (atEnd == nullptr || handle == nullptr) return -1;
    const int fd = descriptor(handle);
    const off_t here = sys().lseek(fd, 0, SEEK_CUR);
    if (here < 0) return -1;
    const off_t end = sys().lseek(fd, 0, SEEK_END);
    if (end < 0) return -1;
    if (sys().lseek(fd, here, SEEK_SET) != here) return -1;
    *atEnd = end == here ? 1 : 0;
    return 0;
}

int32_t APP_Ferrno(void *) { return errno; }

int32_t APP_Fexist(const char *path) {
    if (path == nullptr) return 0;
    // A link exists as a path even when it dangles: reported missing, it
    // would be "repaired" by creating whatever it points to.
    struct stat st {};
    return sys().lstat(path, &st) == 0 ? 1 : 0;
}

}  // namespace tv
