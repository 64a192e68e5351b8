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
int stat_call(const char *path, struct stat *st) { return ::stat(path, st); }
int lstat_call(const char *path, struct stat *st) { return ::lstat(path, st); }
int fstat_call(int fd, struct stat *st) { return ::fstat(fd, st); }
void *malloc_call(size_t size) { return std::malloc(size); }
void free_call(void *block) { std::free(block); }
void *crypto_malloc_call(size_t size, const char *file, int line) { return CRYPTO_malloc(size, file, line); }
void crypto_free_call(void *block, const char *file, int line) { CRYPTO_free(block, file, line); }

constexpr SysCalls kReal = {
    open_call,
    ::close,
    ::read,
    ::write,
    ::fsync,
    ::lseek,
    fstat_call,
    stat_call,
    lstat_call,
    ::fchmod,
    ::readlink,
    ::access,
    ::shmget,
    ::shmat,
    ::shmdt,
    ::shmctl,
    ::semget,
    semctl_call,
    ::semop,
    ::semtimedop,
    ::getpid,
    gettid_call,
    ::geteuid,
    ::nanosleep,
    ::time,
    ::gmtime_r,
    ::pthread_mutex_init,
    ::pthread_mutex_destroy,
    ::pthread_mutex_lock,
    ::pthread_mutex_unlock,
    ::pthread_rwlock_init,
    ::pthread_rwlock_destroy,
    ::pthread_rwlock_rdlock,
    ::pthread_rwlock_wrlock,
    ::pthread_rwlock_unlock,
    malloc_call,
    free_call,
    ::malloc_usable_size,
    zeroed_alloc,
    wiped_free,
    ::RAND_priv_bytes,
    crypto_malloc_call,
    crypto_free_call,
};

}  // namespace

// Constant-initialised: in force before any constructor of any program runs.
constinit SysCalls g_sys = kReal;

const SysCalls &real_sys() { return kReal; }

void restore_sys() { g_sys = kReal; }

}  // namespace tv
