// SPDX-License-Identifier: Apache-2.0
#include "host/sys.h"

#include <fcntl.h>
#include <malloc.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>

#include "telmor_vaq_api.h"

namespace tv {

// Defined in memory.cpp.
void *zeroed_alloc(int64_t line, const char *file, int32_t size);
void wiped_free(int64_t line, const char *file, void *block);

namespace {

// The calls whose C declaration the table cannot take as it is: variadic,
// overloaded in C++, macros in OpenSSL, or missing from older C libraries.
int open_call(const char *path, int flags, mode_t mode) { return ::open(path, flags, mode); }
pid_t gettid_call() { return static_cast<pid_t>(::syscall(SYS_gettid)); }
int semctl_call(int id, int num, int cmd, SemArg arg) { return ::semctl(id, num, cmd, arg); }
int openat_call(int dirfd, const char *name, int flags, mode_t mode) { return ::openat(dirfd, name, flags, mode); }
int fstatat_call(int dirfd, const char *name, struct stat *st, int flags) { return ::fstatat(dirfd, name, st, flags); }
int fcntl_lock_call(int fd, int cmd, struct flock *lock) { return ::fcntl(fd, cmd, lock); }
int stat_call(const char *path, struct stat *st) { return ::stat(path, st); }
int lstat_call(const char *path, struct stat *st) { return ::lstat(path, st); }
int fstat_call(int fd, struct stat *st) { return ::fstat(fd, st); }
void *malloc_call(size_t size) { return std::malloc(size); }
void free_call(void *block) { std::free(block); }
void *crypto_malloc_call(size_t size, const char *file, int line) { return CRYPTO_malloc(size, file, line); }
void crypto_free_call(void *block, const char *file, int line) { CRYPTO_free(block, file, line); }

constexpr SysCalls kReal = {
    .open = open_call,
    .close = ::close,
    .read = ::read,
    .write = ::write,
    .fsync = ::fsync,
    .lseek = ::lseek,
    .fstat = fstat_call,
    .stat = stat_call,
    .lstat = lstat_call,
    .fchmod = ::fchmod,
    .readlink = ::readlink,
    .access = ::access,
    .dup3 = ::dup3,
    .openat = openat_call,
    .fstatat = fstatat_call,
    .mkdirat = ::mkdirat,
    .fchown = ::fchown,
    .unlinkat = ::unlinkat,
    .linkat = ::linkat,
    .fcntl_lock = fcntl_lock_call,
    .shmget = ::shmget,
    .shmat = ::shmat,
    .shmdt = ::shmdt,
    .shmctl = ::shmctl,
    .semget = ::semget,
    .semctl = semctl_call,
    .semop = ::semop,
    .semtimedop = ::semtimedop,
    .getpid = ::getpid,
    .gettid = gettid_call,
    .geteuid = ::geteuid,
    .nanosleep = ::nanosleep,
    .time = ::time,
    .clock_gettime = ::clock_gettime,
    .gmtime_r = ::gmtime_r,
    .mutex_init = ::pthread_mutex_init,
    .mutex_destroy = ::pthread_mutex_destroy,
    .mutex_lock = ::pthread_mutex_lock,
    .mutex_unlock = ::pthread_mutex_unlock,
    .rwlock_init = ::pthread_rwlock_init,
    .rwlock_destroy = ::pthread_rwlock_destroy,
    .rwlock_rdlock = ::pthread_rwlock_rdlock,
    .rwlock_wrlock = ::pthread_rwlock_wrlock,
    .rwlock_unlock = ::pthread_rwlock_unlock,
    .malloc = malloc_call,
    .free = free_call,
    .malloc_usable_size = ::malloc_usable_size,
    .mem_alloc = zeroed_alloc,
    .mem_free = wiped_free,
    .rand_priv_bytes = ::RAND_priv_bytes,
    .crypto_malloc = crypto_malloc_call,
    .crypto_free = crypto_free_call,
};

}  // namespace

// Constant-initialised: in force before any constructor of any program runs.
constinit SysCalls g_sys = kReal;

const SysCalls &real_sys() { return kReal; }

void restore_sys() { g_sys = kReal; }

}  // namespace tv
