// SPDX-License-Identifier: Apache-2.0
#include "test_host.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

namespace kltest {

namespace {

FileFaults g_faults;
std::atomic<uint64_t> g_bytes{0};
std::atomic<uint64_t> g_writes{0};
std::atomic<uint64_t> g_ops{0};
bool g_tornUsed = false;
std::mutex g_log_mutex;
std::vector<LogLine> g_log;
int g_semid = -1;
std::vector<std::string> g_opened;
// Off unless a test asks: the allocation-failure tests count every block.
std::atomic<bool> g_recordOpens{false};

struct Handle {
    int fd;
};

// Numbers one file operation and tells what the faults make of it.
enum class OpFate { kNormal, kFail, kAfterCut };

OpFate next_op() {
    uint64_t op = g_ops.fetch_add(1) + 1;
    if (g_faults.failOp != 0 && op == g_faults.failOp) return OpFate::kFail;
    if (g_faults.cutAfterOp != 0 && op > g_faults.cutAfterOp) return OpFate::kAfterCut;
    return OpFate::kNormal;
}

// Services answer a failure, as a C host would, when memory runs out: no
// exception leaves the table.
void *wrap_fd(int fd) {
    auto *h = new (std::nothrow) Handle{fd};
    if (h == nullptr) close(fd);
    return h;
}

// The directory of a file just created is synced, as the host's exclusive
// modes do, so that the new name survives a power cut.
void sync_parent(const char *path) {
    std::string dir(path);
    size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

void *t_fopen(const char *path, int32_t mode) {
    OpFate fate = next_op();
    int flags;
    mode_t perms = 0600;
    switch (mode) {
        case VAQ_FILE_READ:
            flags = O_RDONLY;
            break;
        case VAQ_FILE_WRITE:
            flags = O_WRONLY | O_CREAT;
            break;
        case VAQ_FILE_READ_WRITE:
            flags = O_RDWR | O_CREAT;
            break;
        case VAQ_FILE_CREATE:
            flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW;
            break;
        case VAQ_FILE_CREATE_SECRET:
            flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW;
            perms = 0400;
            break;
        default:
            errno = EINVAL;
            return nullptr;
    }
    if (g_recordOpens.load()) {
        std::lock_guard<std::mutex> g(g_log_mutex);
        g_opened.emplace_back(path);
    }
    if (fate == OpFate::kFail) {
        errno = EIO;
        return nullptr;
    }
    if (mode != VAQ_FILE_READ && g_faults.failWriteOpens) {
        errno = EIO;
        return nullptr;
    }
    const bool exclusive = mode == VAQ_FILE_CREATE || mode == VAQ_FILE_CREATE_SECRET;
    // After the cut a file that the open would create never reaches the disk.
    if (fate == OpFate::kAfterCut && mode != VAQ_FILE_READ && access(path, F_OK) != 0) {
        int fd = open("/dev/null", O_RDWR);
        return fd < 0 ? nullptr : wrap_fd(fd);
    }
    // As the host does for root: a keystore's own secret directory is made
    // with its first secret.
    if (mode == VAQ_FILE_CREATE_SECRET) {
        const std::string dir = std::string(path).substr(0, std::string(path).rfind('/'));
        mkdir(dir.c_str(), 0700);
    }
    int fd = open(path, flags, perms);
    if (fd < 0) return nullptr;
    if (exclusive) sync_parent(path);
    return wrap_fd(fd);
}

int32_t t_fclose(void *h) {
    OpFate fate = next_op();
    auto *handle = static_cast<Handle *>(h);
    int rc = close(handle->fd);
    delete handle;
    if (fate == OpFate::kFail) {
        errno = EIO;
        return -1;
    }
    return rc;
}

int32_t t_fread(void *buf, uint64_t count, void *h) {
    if (next_op() == OpFate::kFail) {
        // A short read: half the bytes arrive, and the reader is told.
        if (count / 2 > 0 && read(static_cast<Handle *>(h)->fd, buf, count / 2) < 0) return 0;
        errno = EIO;
        return 0;
    }
    ssize_t n = read(static_cast<Handle *>(h)->fd, buf, count);
    return n >= 0 && static_cast<uint64_t>(n) == count ? 1 : 0;
}

int32_t t_fwrite(const void *data, uint64_t count, void *h) {
    OpFate fate = next_op();
    int fd = static_cast<Handle *>(h)->fd;
    g_writes.fetch_add(1);
    g_bytes.fetch_add(count);
    if (fate == OpFate::kFail) {
        // A disk that fills or fails part-way: half the bytes land, and the
        // writer is told.
        if (count / 2 > 0 && write(fd, data, count / 2) < 0) return 0;
        fsync(fd);
        errno = EIO;
        return 0;
    }
    if (g_faults.failWrites) return 0;
    uint64_t keep = count;
    if (fate == OpFate::kAfterCut) {
        keep = g_faults.tornAtCut && !g_tornUsed ? count / 2 : 0;
        g_tornUsed = true;
    }
    if (g_faults.persistBudget >= 0) {
        keep = std::min<uint64_t>(keep, static_cast<uint64_t>(g_faults.persistBudget));
        g_faults.persistBudget -= static_cast<int64_t>(keep);
    }
    if (keep > 0 && write(fd, data, keep) != static_cast<ssize_t>(keep)) return 0;
    // What the cut lost is never seen by the writer: it was told all went well.
    if (keep < count && lseek(fd, static_cast<off_t>(count - keep), SEEK_CUR) < 0) return 0;
    return fsync(fd) == 0 ? 1 : 0;
}

int32_t t_fflush(void *h) {
    if (next_op() == OpFate::kFail) {
        errno = EIO;
        return -1;
    }
    return fsync(static_cast<Handle *>(h)->fd);
}

int32_t t_fremove(const char *path) {
    switch (next_op()) {
        case OpFate::kFail:
            errno = EIO;
            return -1;
        case OpFate::kAfterCut:
            return 0;
        case OpFate::kNormal:
            break;
    }
    return remove(path);
}

int64_t t_ftell(void *h) {
    if (next_op() == OpFate::kFail) {
        errno = EIO;
        return -1;
    }
    return lseek(static_cast<Handle *>(h)->fd, 0, SEEK_CUR);
}

int64_t t_fseek(void *h, int64_t offset, int32_t origin) {
    if (next_op() == OpFate::kFail) {
        errno = EIO;
        return -1;
    }
    int whence = origin == 0 ? SEEK_SET : origin == 1 ? SEEK_CUR : origin == 2 ? SEEK_END : -1;
    if (whence < 0) return -1;
    return lseek(static_cast<Handle *>(h)->fd, offset, whence);
}

int32_t t_feof(void *h, int32_t *atEnd) {
    if (next_op() == OpFate::kFail) return -1;
    int fd = static_cast<Handle *>(h)->fd;
    off_t pos = lseek(fd, 0, SEEK_CUR);
    off_t end = lseek(fd, 0, SEEK_END);
    if (pos < 0 || end < 0 || lseek(fd, pos, SEEK_SET) != pos) return -1;
    *atEnd = pos == end ? 1 : 0;
    return 0;
}

int32_t t_ferrno(void *) { return errno; }
int32_t t_fexist(const char *path) {
    if (next_op() == OpFate::kFail) return 0;
    return access(path, F_OK) == 0 ? 1 : 0;
}

int32_t t_create_lock(void **out) {
    auto *m = new (std::nothrow) pthread_mutex_t;
    if (m == nullptr) return 0;
    pthread_mutex_init(m, nullptr);
    *out = m;
    return 1;
}
void t_destroy_lock(void *h) {
    pthread_mutex_destroy(static_cast<pthread_mutex_t *>(h));
    delete static_cast<pthread_mutex_t *>(h);
}
void t_add_lock(void *h) { pthread_mutex_lock(static_cast<pthread_mutex_t *>(h)); }
void t_release_lock(void *h) { pthread_mutex_unlock(static_cast<pthread_mutex_t *>(h)); }

int32_t t_create_pro_lock(void **out) {
    *out = new (std::nothrow) int(g_semid);
    return *out != nullptr ? 1 : 0;
}
void t_destroy_pro_lock(void *h) { delete static_cast<int *>(h); }

void sem_step(void *h, short delta) {
    sembuf op{0, delta, SEM_UNDO};
    while (semop(*static_cast<int *>(h), &op, 1) != 0 && errno == EINTR) {}
}
void t_add_pro_lock(void *h) { sem_step(h, -1); }
void t_release_pro_lock(void *h) { sem_step(h, 1); }

void t_wrilog(int32_t level, const char *module, const char *, int32_t, const char *message) {
    std::lock_guard<std::mutex> g(g_log_mutex);
    try {
        g_log.push_back({level, module ? module : "", message ? message : ""});
    } catch (const std::bad_alloc &) {}
}

int32_t t_get_entropy(unsigned char **out, uint64_t size) {
    *out = nullptr;
    if (g_faults.failEntropy) return 0;
    auto *buf = static_cast<unsigned char *>(std::malloc(size));
    if (!buf || RAND_bytes(buf, static_cast<int>(size)) != 1) {
        std::free(buf);
        return 0;
    }
    *out = buf;
    return 1;
}

void t_cleanup_entropy(unsigned char *buf, uint64_t size) {
    OPENSSL_cleanse(buf, size);
    std::free(buf);
}

int32_t t_gmtime(const time_t *t, struct tm *out) { return gmtime_r(t, out) ? 1 : 0; }

VaqHostServices make_table() {
    VaqHostServices t{};
    t.fopen_fn = t_fopen;
    t.fclose_fn = t_fclose;
    t.fread_fn = t_fread;
    t.fwrite_fn = t_fwrite;
    t.fflush_fn = t_fflush;
    t.fremove_fn = t_fremove;
    t.ftell_fn = t_ftell;
    t.fseek_fn = t_fseek;
    t.feof_fn = t_feof;
    t.ferrno_fn = t_ferrno;
    t.fexist_fn = t_fexist;
    t.create_lock_fn = t_create_lock;
    t.destroy_lock_fn = t_destroy_lock;
    t.add_lock_fn = t_add_lock;
    t.release_lock_fn = t_release_lock;
    t.create_pro_lock_fn = t_create_pro_lock;
    t.destroy_pro_lock_fn = t_destroy_pro_lock;
    t.add_pro_lock_fn = t_add_pro_lock;
    t.release_pro_lock_fn = t_release_pro_lock;
    t.wrilog_fn = t_wrilog;
    t.get_entropy_fn = t_get_entropy;
    t.cleanup_entropy_fn = t_cleanup_entropy;
    t.gmtime_fn = t_gmtime;
    return t;
}

}  // namespace

const VaqHostServices *host_table() {
    static VaqHostServices table = [] {
        // Private to this test program and its children (and, inside the
        // sandbox, to its IPC namespace).
        g_semid = semget(IPC_PRIVATE, 1, IPC_CREAT | 0600);
        if (g_semid < 0 || semctl(g_semid, 0, SETVAL, 1) != 0) std::abort();
        return make_table();
    }();
    return &table;
}

VaqHostServices table_without_slot(int slot) {
    VaqHostServices t = *host_table();
    void **slots = reinterpret_cast<void **>(&t);
    slots[slot - 1] = nullptr;
    return t;
}

void arm_fault(uint64_t n, bool fail, bool torn) {
    if (fail) {
        g_faults.failOp = n;
    } else {
        g_faults.cutAfterOp = n;
        g_faults.tornAtCut = torn;
    }
}

FileFaults &faults() { return g_faults; }
void reset_faults() {
    g_faults = FileFaults{};
    g_tornUsed = false;
}
uint64_t bytes_written() { return g_bytes.load(); }
uint64_t write_calls() { return g_writes.load(); }
uint64_t file_ops() { return g_ops.load(); }
void record_opened_paths(bool on) { g_recordOpens = on; }

std::vector<std::string> opened_paths() {
    std::lock_guard<std::mutex> g(g_log_mutex);
    return g_opened;
}

void reset_counters() {
    {
        std::lock_guard<std::mutex> g(g_log_mutex);
        std::vector<std::string>().swap(g_opened);
    }
    g_bytes = 0;
    g_writes = 0;
    g_ops = 0;
    g_tornUsed = false;
}

std::vector<LogLine> log_lines() {
    std::lock_guard<std::mutex> g(g_log_mutex);
    return g_log;
}

void clear_log() {
    std::lock_guard<std::mutex> g(g_log_mutex);
    std::vector<LogLine>().swap(g_log);
}

std::vector<LogLine> error_lines() {
    std::vector<LogLine> out;
    for (auto &l : log_lines())
        if (l.level == 2) out.push_back(l);
    return out;
}

}  // namespace kltest
