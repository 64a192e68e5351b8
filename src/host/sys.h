/* SPDX-License-Identifier: Apache-2.0 */
// The main library's one way to the operating system, the C allocator and the
// few OpenSSL calls that act like them: a table of function pointers, as the
// key libraries have their host-service table. Nothing else in src/ calls
// these directly, so a test can fail or watch any of them by replacing one
// entry, with no linker tricks and without touching other code in its
// process (OpenSSL, the test framework, the key libraries).
//
// The entries start as the real calls. Only tests change them, through
// override_sys() and restore_sys(), while no other thread of theirs uses the
// library.
#ifndef TELMOR_VAQ_HOST_SYS_H
#define TELMOR_VAQ_HOST_SYS_H

#include <fcntl.h>
#include <pthread.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

namespace tv {

// The fourth argument of semctl, which the C library takes through "...".
union SemArg {
    int val;
    struct semid_ds *buf;
    unsigned short *array;
};

struct SysCalls {
    // Files. open takes its mode always; it is ignored without O_CREAT.
    int (*open)(const char *path, int flags, mode_t mode);
    int (*close)(int fd);
    ssize_t (*read)(int fd, void *buf, size_t count);
    ssize_t (*write)(int fd, const void *buf, size_t count);
    int (*fsync)(int fd);
    off_t (*lseek)(int fd, off_t offset, int whence);
    int (*fstat)(int fd, struct stat *st);
    int (*stat)(const char *path, struct stat *st);
    int (*lstat)(const char *path, struct stat *st);
    int (*fchmod)(int fd, mode_t mode);
    ssize_t (*readlink)(const char *path, char *buf, size_t size);
    int (*access)(const char *path, int mode);
    int (*dup3)(int oldfd, int newfd, int flags);
    // Work relative to a directory descriptor already checked, so that no
    // path is looked up twice.
    int (*openat)(int dirfd, const char *name, int flags, mode_t mode);
    int (*fstatat)(int dirfd, const char *name, struct stat *st, int flags);
    int (*mkdirat)(int dirfd, const char *name, mode_t mode);
    int (*fchown)(int fd, uid_t owner, gid_t group);
    int (*unlinkat)(int dirfd, const char *name, int flags);
    int (*linkat)(int fromdir, const char *from, int todir, const char *to, int flags);
    // fcntl with a lock record: F_OFD_SETLK, F_OFD_SETLKW, F_OFD_GETLK.
    int (*fcntl_lock)(int fd, int cmd, struct flock *lock);

    // System V shared memory and semaphores.
    int (*shmget)(key_t key, size_t size, int flags);
    void *(*shmat)(int id, const void *addr, int flags);
    int (*shmdt)(const void *addr);
    int (*shmctl)(int id, int cmd, struct shmid_ds *ds);
    int (*semget)(key_t key, int count, int flags);
    int (*semctl)(int id, int num, int cmd, SemArg arg);
    int (*semop)(int id, struct sembuf *ops, size_t count);
    int (*semtimedop)(int id, struct sembuf *ops, size_t count, const struct timespec *timeout);

    // Processes, time.
    pid_t (*getpid)();
    pid_t (*gettid)();
    uid_t (*geteuid)();
    int (*nanosleep)(const struct timespec *want, struct timespec *left);
    time_t (*time)(time_t *out);
    int (*clock_gettime)(clockid_t clock, struct timespec *out);
    struct tm *(*gmtime_r)(const time_t *t, struct tm *out);

    // Thread locks.
    int (*mutex_init)(pthread_mutex_t *mutex, const pthread_mutexattr_t *attr);
    int (*mutex_destroy)(pthread_mutex_t *mutex);
    int (*mutex_lock)(pthread_mutex_t *mutex);
    int (*mutex_unlock)(pthread_mutex_t *mutex);
    int (*rwlock_init)(pthread_rwlock_t *lock, const pthread_rwlockattr_t *attr);
    int (*rwlock_destroy)(pthread_rwlock_t *lock);
    int (*rwlock_rdlock)(pthread_rwlock_t *lock);
    int (*rwlock_wrlock)(pthread_rwlock_t *lock);
    int (*rwlock_unlock)(pthread_rwlock_t *lock);

    // The C allocator.
    void *(*malloc)(size_t size);
    void (*free)(void *block);
    size_t (*malloc_usable_size)(void *block);

    // The library's allocation pair (HX_VAQ_MemAlloc and HX_VAQ_MemFree):
    // zero-filled blocks handed to callers, wiped when they come back. The
    // defaults are built on malloc, free and malloc_usable_size above.
    void *(*mem_alloc)(int64_t line, const char *file, int32_t size);
    void (*mem_free)(int64_t line, const char *file, void *block);

    // OpenSSL: the private generator and the allocator of the crypto locks.
    int (*rand_priv_bytes)(unsigned char *buf, int count);
    void *(*crypto_malloc)(size_t size, const char *file, int line);
    void (*crypto_free)(void *block, const char *file, int line);
};

// The entries in use. Read through sys(); written only by the functions below.
extern SysCalls g_sys;

inline const SysCalls &sys() { return g_sys; }

// The real calls, whatever is overridden: what an override forwards to.
const SysCalls &real_sys();

// Test-only: replaces one entry, e.g. override_sys(&SysCalls::shmat, fail).
template <class Fn>
void override_sys(Fn SysCalls::*entry, Fn fn) {
    g_sys.*entry = fn;
}
// Test-only: every entry back to the real call.
void restore_sys();

}  // namespace tv

#endif  // TELMOR_VAQ_HOST_SYS_H
