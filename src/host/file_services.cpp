// SPDX-License-Identifier: Apache-2.0
// File services of the host-service table: the key library's only way to its
// keystore files. A handle is a malloc'd int32_t holding a plain descriptor;
// the position is the descriptor's own.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "common/log.h"
#include "host/host_services.h"

namespace tv {

namespace {

int descriptor(void *handle) { return *static_cast<int32_t *>(handle); }

bool open_flags(int32_t mode, int &flags) {
    switch (mode) {
        case VAQ_FILE_READ: flags = O_RDONLY; break;
        // Not truncated: the keystore's own header says how long it is.
        case VAQ_FILE_WRITE: flags = O_WRONLY | O_CREAT; break;
        case VAQ_FILE_READ_WRITE: flags = O_RDWR | O_CREAT; break;
        default: return false;
    }
    flags |= O_CLOEXEC;
    return true;
}

}  // namespace

void *APP_Fopen(const char *path, int32_t mode) {
    int flags = 0;
    if (!open_flags(mode, flags)) return nullptr;
    int fd = ::open(path, flags, 0600);
    int32_t *holder = nullptr;
    if (fd >= 0) {
        holder = static_cast<int32_t *>(std::malloc(sizeof(int32_t)));
        if (holder == nullptr) {
            // Nobody could ever close it otherwise.
            ::close(fd);
            fd = -1;
            errno = ENOMEM;
        } else {
            *holder = fd;
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
    const int rc = ::close(fd);
    std::free(handle);
    return rc;
}

int32_t APP_Fread(void *buf, uint64_t count, void *handle) {
    if (handle == nullptr) return 0;
    const ssize_t n = ::read(descriptor(handle), buf, count);
    return n >= 0 && static_cast<uint64_t>(n) == count ? 1 : 0;
}

int32_t APP_Fwrite(const void *data, uint64_t count, void *handle) {
    if (handle == nullptr) return 0;
    const int fd = descriptor(handle);
    const ssize_t n = ::write(fd, data, count);
    // Synced whatever the write did, so the result 1 means on disk.
    const int synced = ::fsync(fd);
    return synced == 0 && n >= 0 && static_cast<uint64_t>(n) == count ? 1 : 0;
}

int32_t APP_Fflush(void *handle) {
    if (handle == nullptr) {
        errno = EBADF;
        return -1;
    }
    return ::fsync(descriptor(handle));
}

int32_t APP_Fremove(const char *path) { return std::remove(path); }

int64_t APP_Ftell(void *handle) {
    if (handle == nullptr) {
        errno = EBADF;
        return -1;
    }
    return ::lseek(descriptor(handle), 0, SEEK_CUR);
}

int64_t APP_Fseek(void *handle, int64_t offset, int32_t origin) {
    int whence = 0;
    switch (origin) {
        case VAQ_SEEK_SET: whence = SEEK_SET; break;
        case VAQ_SEEK_CUR: whence = SEEK_CUR; break;
        case VAQ_SEEK_END: whence = SEEK_END; break;
        default: errno = EINVAL; return -1;
    }
    if (handle == nullptr) {
        errno = EBADF;
        return -1;
    }
    return ::lseek(descriptor(handle), offset, whence);
}

int32_t APP_Feof(void *handle, int32_t *atEnd) {
    if (atEnd == nullptr || handle == nullptr) return -1;
    const int fd = descriptor(handle);
    const off_t here = ::lseek(fd, 0, SEEK_CUR);
    if (here < 0) return -1;
    const off_t end = ::lseek(fd, 0, SEEK_END);
    if (end < 0) return -1;
    if (::lseek(fd, here, SEEK_SET) != here) return -1;
    *atEnd = end == here ? 1 : 0;
    return 0;
}

int32_t APP_Ferrno(void *) { return errno; }

int32_t APP_Fexist(const char *path) {
    if (path == nullptr) return 0;
    return ::access(path, F_OK) == 0 ? 1 : 0;
}

}  // namespace tv
