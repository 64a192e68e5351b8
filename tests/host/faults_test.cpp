// SPDX-License-Identifier: Apache-2.0
// Failures the system cannot be made to produce on demand: each test can make
// the library's malloc, free, pthread_mutex_init, semctl, write or
// RAND_priv_bytes fail or watch it, through the library's system-call table.
#include <dirent.h>
#include <pthread.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "files.h"
#include "host/host_services.h"
#include "host/sys.h"
#include "log_reader.h"
#include "node_layout.h"
#include "telmor_vaq_api.h"

namespace {

int g_fail_mallocs = 0;
bool g_fail_mutex_init = false;
bool g_fail_ipc_set = false;
bool g_fail_semget = false;
int g_interrupt_writes = 0;
int g_short_writes = 0;
enum class RandMode { kReal, kFail, kRecord } g_rand_mode = RandMode::kReal;
std::vector<int> g_rand_counts;

// A block to watch: was it released, and was it all zero by then?
const void *g_watched = nullptr;
size_t g_watched_size = 0;
bool g_watched_freed = false;
bool g_watched_zero = false;

void *failing_malloc(size_t size) {
    if (g_fail_mallocs > 0) {
        --g_fail_mallocs;
        return nullptr;
    }
    return tv::real_sys().malloc(size);
}

void watching_free(void *block) {
    if (block != nullptr && block == g_watched) {
        g_watched_freed = true;
        g_watched_zero = true;
        for (size_t i = 0; i < g_watched_size; ++i) {
            g_watched_zero = g_watched_zero && static_cast<const unsigned char *>(block)[i] == 0;
        }
        g_watched = nullptr;
    }
    tv::real_sys().free(block);
}

int failing_mutex_init(pthread_mutex_t *mutex, const pthread_mutexattr_t *attr) {
    if (g_fail_mutex_init) {
        g_watched = mutex;
        g_watched_size = 0;
        return EAGAIN;
    }
    return tv::real_sys().mutex_init(mutex, attr);
}

int failing_semctl(int id, int num, int cmd, tv::SemArg arg) {
    if (cmd == IPC_SET && g_fail_ipc_set) {
        errno = EPERM;
        return -1;
    }
    return tv::real_sys().semctl(id, num, cmd, arg);
}

int failing_semget(key_t key, int count, int flags) {
    if (g_fail_semget) {
        errno = ENOSPC;
        return -1;
    }
    return tv::real_sys().semget(key, count, flags);
}

// Writes as a signal and a busy device shape them: interrupted before any
// byte, then cut to a few bytes a call.
ssize_t cut_write(int fd, const void *data, size_t count) {
    if (g_interrupt_writes > 0) {
        --g_interrupt_writes;
        errno = EINTR;
        return -1;
    }
    if (g_short_writes > 0) {
        --g_short_writes;
        return tv::real_sys().write(fd, data, count < 7 ? count : 7);
    }
    return tv::real_sys().write(fd, data, count);
}

int scripted_rand_bytes(unsigned char *buf, int count) {
    switch (g_rand_mode) {
        case RandMode::kFail:
            std::memset(buf, 0x5a, static_cast<size_t>(count));
            g_watched = buf;
            g_watched_size = static_cast<size_t>(count);
            return 0;
        case RandMode::kRecord:
            g_rand_counts.push_back(count);
            return 1;
        case RandMode::kReal:
            break;
    }
    return tv::real_sys().rand_priv_bytes(buf, count);
}

bool g_fail_directory_syncs = false;

// A directory's sync fails (a disk that lost its journal); a file's works.
int directory_failing_fsync(int fd) {
    struct stat st {};
    if (g_fail_directory_syncs && tv::real_sys().fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        errno = EIO;
        return -1;
    }
    return tv::real_sys().fsync(fd);
}

int open_descriptors() {
    int n = 0;
    DIR *dir = opendir("/proc/self/fd");
    while (readdir(dir) != nullptr) ++n;
    closedir(dir);
    return n;
}

class Faults : public testing::Test {
protected:
    void SetUp() override {
        tv::override_sys(&tv::SysCalls::malloc, failing_malloc);
        tv::override_sys(&tv::SysCalls::free, watching_free);
        tv::override_sys(&tv::SysCalls::mutex_init, failing_mutex_init);
        tv::override_sys(&tv::SysCalls::semctl, failing_semctl);
        tv::override_sys(&tv::SysCalls::semget, failing_semget);
        tv::override_sys(&tv::SysCalls::write, cut_write);
        tv::override_sys(&tv::SysCalls::rand_priv_bytes, scripted_rand_bytes);
        tv::override_sys(&tv::SysCalls::fsync, directory_failing_fsync);
        g_node_type = 1;
        g_vaq_pid = getpid();
        logInitFlag = 0;
        tvtest::clear_log(1);
        // Build the log path now, so the first failure injected is the one meant.
        HX_VAQ_Wrilog(1, "f.c", 0, "start\n");
        tvtest::clear_log(1);
    }

    void TearDown() override {
        tv::restore_sys();
        g_fail_mallocs = 0;
        g_fail_mutex_init = false;
        g_fail_ipc_set = false;
        g_fail_semget = false;
        g_fail_directory_syncs = false;
        g_rand_mode = RandMode::kReal;
        g_watched = nullptr;
    }

    static std::vector<std::string> messages() { return tvtest::api_messages(tvtest::read_log(1)); }
};

TEST_F(Faults, OpenWithoutAHolderClosesItsDescriptor) {
    const std::string path = "/opt/telmor/faults_open";
    std::ofstream(path) << "x";
    const int before = open_descriptors();
    g_fail_mallocs = 1;
    EXPECT_EQ(tv::APP_Fopen(path.c_str(), 0), nullptr);
    EXPECT_EQ(tv::APP_Ferrno(nullptr), ENOMEM);
    EXPECT_EQ(open_descriptors(), before);
    EXPECT_EQ(messages(), std::vector<std::string>{"INFO|TELMOR VAQ fopen ret=-1."});
}

TEST_F(Faults, MutexThatCannotBeInitialisedIsReleased) {
    void *handle = reinterpret_cast<void *>(0x1);
    g_fail_mutex_init = true;
    EXPECT_EQ(Telmor_Create_Lock(&handle), 0);
    EXPECT_EQ(handle, nullptr);
    EXPECT_TRUE(g_watched_freed);
    EXPECT_EQ(messages(),
              std::vector<std::string>{"ERROR|init vaq thread lock failure " + std::string(std::strerror(EAGAIN))});
}

TEST_F(Faults, LockBlocksThatCannotBeAllocated) {
    void *handle = reinterpret_cast<void *>(0x1);
    g_fail_mallocs = 1;
    EXPECT_EQ(Telmor_Create_Lock(&handle), 0);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(messages(), std::vector<std::string>{"ERROR|alloc vaq thread lock failure"});

    tvtest::clear_log(1);
    handle = reinterpret_cast<void *>(0x1);
    g_fail_mallocs = 1;
    EXPECT_EQ(Telmor_Create_Pro_Lock(&handle), 0);
    EXPECT_EQ(handle, reinterpret_cast<void *>(0x1));
    EXPECT_TRUE(tvtest::read_log(1).empty());
}

void remove_process_lock() {
    const int stale = semget(node_layout::kProcessLockKey, 1, 0);
    if (stale != -1) {
        ASSERT_EQ(semctl(stale, 0, IPC_RMID), 0);
    }
}

// A new set that cannot be given to its owner and made ready would hold
// every process of the node for the ready bound: it is removed, and the next
// process creates it afresh.
TEST_F(Faults, SetThatCannotBeMadeReadyIsRemoved) {
    remove_process_lock();
    void *handle = reinterpret_cast<void *>(0x1);
    g_fail_ipc_set = true;
    EXPECT_EQ(Telmor_Create_Pro_Lock(&handle), 0);
    EXPECT_EQ(handle, reinterpret_cast<void *>(0x1));
    ASSERT_EQ(semget(node_layout::kProcessLockKey, 1, 0), -1);
    const auto logged = messages();
    ASSERT_EQ(logged.size(), 3u);
    EXPECT_EQ(logged[0], "INFO|create process lock for  538513968");
    EXPECT_EQ(logged[1].rfind("INFO|create sem  ", 0), 0u) << logged[1];
    EXPECT_EQ(logged[2], "ERROR|set sem value error " + std::string(std::strerror(EPERM)));

    g_fail_ipc_set = false;
    ASSERT_EQ(Telmor_Create_Pro_Lock(&handle), 1);
    const int id = *static_cast<int32_t *>(handle);
    EXPECT_EQ(semctl(id, 0, GETVAL), 1);
    Telmor_Add_Pro_Lock(handle);
    Telmor_Release_Pro_Lock(handle);
    Telmor_Destroy_Pro_Lock(handle);
}

// A lock that cannot be taken is answered as not taken (errno ENOLCK, which
// the key library reads through its host table), never as taken: here the
// set was removed and none can be made in its place.
TEST_F(Faults, ALockThatCannotBeTakenIsAnsweredAsNotTaken) {
    remove_process_lock();
    void *handle = nullptr;
    ASSERT_EQ(Telmor_Create_Pro_Lock(&handle), 1);
    const int id = *static_cast<int32_t *>(handle);
    ASSERT_EQ(semctl(id, 0, IPC_RMID), 0);
    tvtest::clear_log(1);
    g_fail_semget = true;
    errno = 0;
    Telmor_Add_Pro_Lock(handle);
    EXPECT_EQ(errno, ENOLCK);
    const auto logged = messages();
    ASSERT_EQ(logged.size(), 3u) << testing::PrintToString(logged);
    EXPECT_EQ(logged[0], "ERROR|create sem error " + std::string(std::strerror(ENOSPC)));
    EXPECT_EQ(logged[1], "INFO|add sem proc lock for " + std::to_string(id) + " fail");
    EXPECT_EQ(logged[2],
              "ERROR|process lock 0x20191230 not taken: its set was removed and none could be had under the key; "
              "the key library's operation stops");
    g_fail_semget = false;

    // Found again by key once a set can be made: the handle follows it.
    Telmor_Add_Pro_Lock(handle);
    EXPECT_EQ(errno, 0);
    const int fresh = *static_cast<int32_t *>(handle);
    EXPECT_NE(fresh, id);
    EXPECT_EQ(semctl(fresh, 0, GETVAL), 0);
    Telmor_Release_Pro_Lock(handle);
    EXPECT_EQ(semctl(fresh, 0, GETVAL), 1);
    Telmor_Destroy_Pro_Lock(handle);
}

// A write is finished whatever signals and short writes come between.
TEST_F(Faults, AWriteContinuesAfterSignalsAndShortWrites) {
    const std::string path = "/opt/telmor/faults_write";
    std::remove(path.c_str());
    void *handle = tv::APP_Fopen(path.c_str(), VAQ_FILE_WRITE);
    ASSERT_NE(handle, nullptr);
    const std::string image(100, 'k');
    g_interrupt_writes = 2;
    g_short_writes = 5;
    EXPECT_EQ(tv::APP_Fwrite(image.data(), image.size(), handle), 1);
    EXPECT_EQ(g_interrupt_writes + g_short_writes, 0);
    EXPECT_EQ(tv::APP_Fclose(handle), 0);
    std::ifstream in(path);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), image);
}

TEST_F(Faults, EntropyThatCannotBeGeneratedIsWipedAndWithheld) {
    unsigned char *buf = reinterpret_cast<unsigned char *>(0x1);
    g_rand_mode = RandMode::kFail;
    EXPECT_EQ(tv::APP_GetEntropy(&buf, 64), 0);
    EXPECT_EQ(buf, nullptr);
    EXPECT_TRUE(g_watched_freed);
    EXPECT_TRUE(g_watched_zero);
    // The message has no line end of its own.
    const auto lines = tvtest::read_log(1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(
        tvtest::matches(lines[0], tvtest::api_line_pattern("ERROR", "generate random data by openssl failed 0")))
        << lines[0];

    unsigned char raw[8];
    EXPECT_EQ(tv::gen_random_bytes(raw, sizeof raw), -1);
}

TEST_F(Faults, EntropyBufferThatCannotBeAllocated) {
    unsigned char *buf = reinterpret_cast<unsigned char *>(0x1);
    g_fail_mallocs = 1;
    EXPECT_EQ(tv::APP_GetEntropy(&buf, 64), 0);
    EXPECT_EQ(buf, nullptr);
    const auto lines = tvtest::read_log(1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(tvtest::matches(lines[0], tvtest::api_line_pattern("ERROR", "malloc memory failed.")));
}

// The generator takes a signed 32-bit count. Handed on as it is, a request
// of 4 GiB + 16 bytes would ask for 16 and report the rest as random.
TEST_F(Faults, EntropyBeyondTheGeneratorsCountIsFilledInParts) {
    const uint64_t size = (uint64_t{1} << 32) + 16;
    unsigned char *buf = nullptr;
    g_rand_mode = RandMode::kRecord;
    ASSERT_EQ(tv::APP_GetEntropy(&buf, size), 1);
    ASSERT_NE(buf, nullptr);
    free(buf);  // not wiped: the pages were never touched
    EXPECT_EQ(g_rand_counts, (std::vector<int>{INT32_MAX, INT32_MAX, 18}));
}

}  // namespace

namespace {

// A file made new is there after a crash only if its directory's entry
// reached the disk: when that sync fails, the write that would confirm the
// file fails too, whole but unconfirmed (the position is at its end), and the
// line names the file. A file that was there already needs no directory sync.
// An export gets its name at its close: there the failed sync fails the close
// and leaves nothing under the name.
TEST_F(Faults, AFailedDirectorySyncAfterCreatingAFileFailsItsWrite) {
    g_fail_directory_syncs = true;
    const std::string path = "/opt/telmor/faults_sync";
    const struct {
        const char *name;
        bool existsBefore;
        int32_t mode;
        int32_t written;
        int32_t closed;
    } cases[] = {{"a secret, made new", false, VAQ_FILE_CREATE_SECRET, 0, 0},
                 {"a first keystore copy", false, VAQ_FILE_WRITE, 0, 0},
                 {"a keystore copy that was there", true, VAQ_FILE_WRITE, 1, 0},
                 {"an export, published at its close", false, VAQ_FILE_CREATE, 1, -1}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        unlink(path.c_str());
        if (c.existsBefore) std::ofstream(path).close();
        tvtest::clear_log(1);
        void *h = tv::APP_Fopen(path.c_str(), c.mode);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(tv::APP_Fwrite("12345", 5, h), c.written);
        if (c.written == 0) {
            EXPECT_EQ(errno, EIO);
            EXPECT_EQ(tv::APP_Ftell(h), 5);
            bool named = false;
            for (const auto &m : messages())
                named = named || m == "ERROR|sync of the directory of " + path + " failed: Input/output error";
            EXPECT_TRUE(named);
        }
        EXPECT_EQ(tv::APP_Fclose(h), c.closed);
        if (c.closed != 0) {
            EXPECT_EQ(errno, EIO);
            EXPECT_NE(access(path.c_str(), F_OK), 0) << "an unconfirmed export left under its name";
            bool named = false;
            for (const auto &m : messages())
                named = named || m == "ERROR|sync of the directory of " + path + " failed: Input/output error";
            EXPECT_TRUE(named);
        }
    }
    unlink(path.c_str());
}

// An entry added to the table without its real call would be a null pointer
// that the library calls; a restore that missed one would leave a test's
// failure in force for the next test.
TEST(SysCalls, EveryEntryStartsRealAndComesBackAfterAnOverride) {
    using Slot = void (*)();
    static_assert(sizeof(tv::SysCalls) % sizeof(Slot) == 0);
    constexpr size_t kSlots = sizeof(tv::SysCalls) / sizeof(Slot);
    Slot real[kSlots];
    std::memcpy(real, &tv::real_sys(), sizeof real);
    for (size_t i = 0; i < kSlots; ++i) EXPECT_NE(real[i], nullptr) << "entry " << i;
    EXPECT_EQ(std::memcmp(&tv::sys(), &tv::real_sys(), sizeof(tv::SysCalls)), 0);

    tv::override_sys(
        &tv::SysCalls::shmat, +[](int, const void *, int) -> void * {
            errno = EACCES;
            return reinterpret_cast<void *>(-1);
        });
    tv::override_sys(&tv::SysCalls::malloc, failing_malloc);
    EXPECT_EQ(tv::sys().shmat(0, nullptr, 0), reinterpret_cast<void *>(-1));
    EXPECT_EQ(errno, EACCES);
    EXPECT_NE(std::memcmp(&tv::sys(), &tv::real_sys(), sizeof(tv::SysCalls)), 0);

    tv::restore_sys();
    EXPECT_EQ(std::memcmp(&tv::sys(), &tv::real_sys(), sizeof(tv::SysCalls)), 0);
}

}  // namespace
