// SPDX-License-Identifier: Apache-2.0
// Thread locks and the node-wide process lock, with real processes.
#include <fcntl.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/syscall.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <pthread.h>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "host/file_safety.h"
#include "host/sys.h"
#include "log_reader.h"
#include "node_layout.h"
#include "telmor_vaq_api.h"
#include "vaq/vaq_host_services.h"

namespace {

constexpr int kKey = node_layout::kProcessLockKey;

int existing_set() { return semget(kKey, 1, 0); }
int sem_value(int id) { return semctl(id, 0, GETVAL); }

// Waits (without a deadline worth asserting on) until n processes wait on
// the semaphore.
bool until_waiters(int id, int n) {
    for (int i = 0; i < 60000; ++i) {
        if (semctl(id, 0, GETNCNT) == n) return true;
        usleep(1000);
    }
    return false;
}

void log_as_this_process() {
    g_node_type = 1;
    g_vaq_pid = getpid();
    logInitFlag = 0;
}

std::vector<std::string> messages() { return tvtest::api_messages(tvtest::read_log(1)); }

class ProcessLock : public testing::Test {
protected:
    void SetUp() override {
        log_as_this_process();
        tvtest::clear_log(1);
    }
};

TEST_F(ProcessLock, CreatorCreatesAndLaterProcessesFind) {
    if (existing_set() != -1) {
        ASSERT_EQ(semctl(existing_set(), 0, IPC_RMID), 0);
    }
    auto create_in_child = [] {
        return tvtest::run_in_child([] {
            log_as_this_process();
            void *handle = nullptr;
            return Telmor_Create_Pro_Lock(&handle) == 1 && handle != nullptr ? 0 : 1;
        });
    };
    ASSERT_EQ(create_in_child(), 0);
    const int id = existing_set();
    ASSERT_NE(id, -1);
    EXPECT_EQ(sem_value(id), 1);
    const auto creator = tvtest::read_log(1);
    ASSERT_EQ(creator.size(), 2u);
    EXPECT_TRUE(tvtest::matches(creator[0], tvtest::api_line_pattern("INFO", "create process lock for  538513968")))
        << creator[0];
    EXPECT_TRUE(tvtest::matches(creator[1], tvtest::api_line_pattern("INFO", "create sem  " + std::to_string(id))))
        << creator[1];

    tvtest::clear_log(1);
    ASSERT_EQ(create_in_child(), 0);
    EXPECT_EQ(messages(), (std::vector<std::string>{"INFO|create process lock for  538513968",
                                                    "INFO|get sem  " + std::to_string(id)}));
    EXPECT_EQ(sem_value(id), 1);
}

TEST_F(ProcessLock, HandlesShareOneSetThatOutlivesThem) {
    void *first = nullptr;
    void *second = nullptr;
    ASSERT_EQ(Telmor_Create_Pro_Lock(&first), 1);
    ASSERT_EQ(Telmor_Create_Pro_Lock(&second), 1);
    const int id = *static_cast<int32_t *>(first);
    EXPECT_EQ(*static_cast<int32_t *>(second), id);
    EXPECT_EQ(existing_set(), id);

    Telmor_Add_Pro_Lock(first);
    EXPECT_EQ(sem_value(id), 0);
    tvtest::clear_log(1);
    Telmor_Destroy_Pro_Lock(second);
    EXPECT_EQ(messages(),
              std::vector<std::string>{"INFO|destroy sem  " + std::to_string(id) + ", not unlink,just free mem"});
    EXPECT_EQ(existing_set(), id);
    EXPECT_EQ(sem_value(id), 0);

    // Null handles are left alone: no wait, no line, no change.
    tvtest::clear_log(1);
    Telmor_Add_Pro_Lock(nullptr);
    Telmor_Release_Pro_Lock(nullptr);
    Telmor_Destroy_Pro_Lock(nullptr);
    EXPECT_EQ(sem_value(id), 0);
    EXPECT_TRUE(tvtest::read_log(1).empty());

    Telmor_Release_Pro_Lock(first);
    EXPECT_EQ(sem_value(id), 1);
    Telmor_Destroy_Pro_Lock(first);
    void *again = nullptr;
    ASSERT_EQ(Telmor_Create_Pro_Lock(&again), 1);
    EXPECT_EQ(*static_cast<int32_t *>(again), id);
    Telmor_Destroy_Pro_Lock(again);
}

TEST_F(ProcessLock, SecondProcessWaitsForTheFirst) {
    void *handle = nullptr;
    ASSERT_EQ(Telmor_Create_Pro_Lock(&handle), 1);
    const int id = *static_cast<int32_t *>(handle);
    Telmor_Add_Pro_Lock(handle);

    tvtest::Gate acquired;
    const pid_t child = tvtest::spawn([&] {
        void *mine = nullptr;
        if (Telmor_Create_Pro_Lock(&mine) != 1) return 1;
        Telmor_Add_Pro_Lock(mine);
        acquired.post();
        Telmor_Release_Pro_Lock(mine);
        return 0;
    });
    ASSERT_TRUE(until_waiters(id, 1));
    EXPECT_FALSE(acquired.wait(0));  // it is waiting in the semaphore, so not past it
    Telmor_Release_Pro_Lock(handle);
    EXPECT_TRUE(acquired.wait());
    EXPECT_EQ(tvtest::wait_child(child), 0);
    EXPECT_EQ(sem_value(id), 1);
    Telmor_Destroy_Pro_Lock(handle);
}

TEST_F(ProcessLock, KilledHolderDoesNotBlockOthers) {
    tvtest::Gate holding;
    const pid_t child = tvtest::spawn([&] {
        void *mine = nullptr;
        if (Telmor_Create_Pro_Lock(&mine) != 1) return 1;
        Telmor_Add_Pro_Lock(mine);
        holding.post();
        pause();
        return 2;
    });
    ASSERT_TRUE(holding.wait());
    const int id = existing_set();
    EXPECT_EQ(sem_value(id), 0);
    kill(child, SIGKILL);
    EXPECT_EQ(tvtest::wait_child(child), 128 + SIGKILL);
    EXPECT_EQ(sem_value(id), 1);

    void *handle = nullptr;
    ASSERT_EQ(Telmor_Create_Pro_Lock(&handle), 1);
    Telmor_Add_Pro_Lock(handle);
    EXPECT_EQ(sem_value(id), 0);
    Telmor_Release_Pro_Lock(handle);
    Telmor_Destroy_Pro_Lock(handle);
}

int g_signal_pipe = -1;
void note_signal(int) {
    const char c = 's';
    (void)!write(g_signal_pipe, &c, 1);
}

// A signal that interrupts the wait must not make the waiter believe it
// holds the lock: it keeps waiting and holds the lock only once given it.
TEST_F(ProcessLock, InterruptedWaitKeepsWaiting) {
#if defined(__SANITIZE_THREAD__)
    // The thread sanitizer runs a signal's handler only at the next call it
    // intercepts; the semaphore wait is not one, so the handler never runs
    // while the wait is under way.
    GTEST_SKIP() << "a signal's handler does not run during the wait under the thread sanitizer";
#endif
    void *handle = nullptr;
    ASSERT_EQ(Telmor_Create_Pro_Lock(&handle), 1);
    const int id = *static_cast<int32_t *>(handle);
    Telmor_Add_Pro_Lock(handle);

    int signalled[2];
    ASSERT_EQ(pipe(signalled), 0);
    tvtest::Gate acquired;
    tvtest::Gate finish;
    const pid_t child = tvtest::spawn([&] {
        g_signal_pipe = signalled[1];
        struct sigaction action {};
        action.sa_handler = note_signal;  // no SA_RESTART
        sigaction(SIGUSR1, &action, nullptr);
        void *mine = nullptr;
        if (Telmor_Create_Pro_Lock(&mine) != 1) return 1;
        Telmor_Add_Pro_Lock(mine);
        acquired.post();
        finish.wait();
        Telmor_Release_Pro_Lock(mine);
        return 0;
    });
    ASSERT_TRUE(until_waiters(id, 1));
    tvtest::clear_log(1);
    kill(child, SIGUSR1);
    char c = 0;
    ASSERT_EQ(read(signalled[0], &c, 1), 1);

    Telmor_Release_Pro_Lock(handle);
    ASSERT_TRUE(acquired.wait());
    EXPECT_EQ(sem_value(id), 0);  // the child holds it; it did not skip the wait
    finish.post();
    EXPECT_EQ(tvtest::wait_child(child), 0);
    EXPECT_EQ(sem_value(id), 1);
    EXPECT_EQ(tvtest::count_api(tvtest::read_log(1), "INFO", "add sem proc lock for " + std::to_string(id) + " fail"),
              0);
    close(signalled[0]);
    close(signalled[1]);
    Telmor_Destroy_Pro_Lock(handle);
}

// A set removed under a handle (an operator's ipcrm, or a never-ready set
// repaired) is looked up by key again: the lock is taken on the set that is
// there now, and only a give-back with nothing to give fails.
TEST_F(ProcessLock, ARemovedSetIsFoundAgainByKey) {
    void *handle = nullptr;
    ASSERT_EQ(Telmor_Create_Pro_Lock(&handle), 1);
    const int id = *static_cast<int32_t *>(handle);
    ASSERT_EQ(semctl(id, 0, IPC_RMID), 0);
    tvtest::clear_log(1);
    errno = EINTR;
    Telmor_Add_Pro_Lock(handle);
    EXPECT_EQ(errno, 0);
    const int fresh = *static_cast<int32_t *>(handle);
    EXPECT_EQ(existing_set(), fresh);
    EXPECT_EQ(sem_value(fresh), 0);
    EXPECT_EQ(messages(), (std::vector<std::string>{"INFO|create process lock for  538513968",
                                                    "INFO|create sem  " + std::to_string(fresh)}));
    Telmor_Release_Pro_Lock(handle);
    EXPECT_EQ(sem_value(fresh), 1);

    ASSERT_EQ(semctl(fresh, 0, IPC_RMID), 0);
    tvtest::clear_log(1);
    Telmor_Release_Pro_Lock(handle);
    EXPECT_EQ(messages(), (std::vector<std::string>{"INFO|release sem proc lock for " + std::to_string(fresh) +
                                                    " fail"}));
    Telmor_Destroy_Pro_Lock(handle);
}

// A set that this process may not use: the finder's failure is logged at
// level 0 and nothing is handed out. Root passes every permission check, so
// the child drops the capability that lets it.
TEST_F(ProcessLock, SetThatCannotBeOpenedIsReported) {
    constexpr int kOtherKey = 0x7e57;
    const int id = semget(kOtherKey, 1, IPC_CREAT | 0000);
    ASSERT_NE(id, -1);
    const int rc = tvtest::run_in_child([] {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2] = {};
        if (syscall(SYS_capget, &header, data) != 0) return 10;
        data[0].effective &= ~(1u << CAP_IPC_OWNER);
        if (syscall(SYS_capset, &header, data) != 0) return 11;
        log_as_this_process();
        int32_t found = 12345;
        if (telmor_create_proc_lock_inner(kOtherKey, &found) != 0) return 12;
        return found == -1 ? 0 : 13;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(messages(), (std::vector<std::string>{"INFO|create process lock for  32343",
                                                    "INFO|get sem error Permission denied"}));
    semctl(id, 0, IPC_RMID);
}

// What a process leaves behind when it dies at each system call between
// creating the set and stamping it: the next process on the node must get
// the lock and give it back, not wait for good. g_die_at counts the calls on
// the set after its creation (1: the first one); 0 dies right after the
// creation itself.
int g_die_at = -1;
int g_calls_since_creation = -1;

void maybe_die() {
    if (g_calls_since_creation >= 0 && ++g_calls_since_creation == g_die_at) raise(SIGKILL);
}
int dying_semget(key_t key, int count, int flags) {
    const int id = tv::real_sys().semget(key, count, flags);
    if (id != -1 && (flags & IPC_CREAT) != 0) {
        g_calls_since_creation = 0;
        if (g_die_at == 0) raise(SIGKILL);
    }
    return id;
}
int dying_semctl(int id, int num, int cmd, tv::SemArg arg) {
    maybe_die();
    return tv::real_sys().semctl(id, num, cmd, arg);
}
int dying_semop(int id, sembuf *ops, size_t count) {
    maybe_die();
    return tv::real_sys().semop(id, ops, count);
}

TEST_F(ProcessLock, ACreatorKilledAtAnyStepBeforeTheStampHoldsNobody) {
    bool survived = false;
    for (int step = 0; step < 10 && !survived; ++step) {
        SCOPED_TRACE("creator killed at call " + std::to_string(step) + " after creating the set");
        if (existing_set() != -1) {
            ASSERT_EQ(semctl(existing_set(), 0, IPC_RMID), 0);
        }
        const int creator = tvtest::run_in_child([step] {
            log_as_this_process();
            g_die_at = step;
            tv::override_sys(&tv::SysCalls::semget, dying_semget);
            tv::override_sys(&tv::SysCalls::semctl, dying_semctl);
            tv::override_sys(&tv::SysCalls::semop, dying_semop);
            void *handle = nullptr;
            return Telmor_Create_Pro_Lock(&handle) == 1 ? 0 : 1;
        });
        survived = creator == 0;
        if (!survived) {
            EXPECT_EQ(creator, 128 + SIGKILL);
        }
        // The next process takes the lock (after the ready bound when the
        // creator died before its stamp) and gives it back; the one after
        // that finds it free. A hang here is what a broken protocol leaves.
        for (int next = 0; next < 2; ++next) {
            const int rc = tvtest::run_bounded(
                [] {
                    log_as_this_process();
                    void *handle = nullptr;
                    if (Telmor_Create_Pro_Lock(&handle) != 1) return 1;
                    errno = 0;
                    Telmor_Add_Pro_Lock(handle);
                    if (errno != 0) return 2;
                    const int id = *static_cast<int32_t *>(handle);
                    if (semctl(id, 0, GETVAL) != 0) return 3;
                    Telmor_Release_Pro_Lock(handle);
                    return semctl(id, 0, GETVAL) == 1 ? 0 : 4;
                },
                30);
            EXPECT_EQ(rc, 0) << (rc == -1 ? "a later process waits for good" : "a later process failed");
        }
        const int id = existing_set();
        ASSERT_NE(id, -1);
        EXPECT_EQ(sem_value(id), 1);
    }
    EXPECT_TRUE(survived) << "the creator never got past its last step";
}

// A creator whose set is removed before its stamp (a waiter took it for
// abandoned while the creator was stopped, or an operator's ipcrm) gets the
// lock again by key instead of failing; as does one told its set was removed
// when it stands.
int g_removed_set = -1;
int remove_before_stamp(int id, sembuf *ops, size_t count) {
    if (g_removed_set == -1 && count == 1 && ops[0].sem_op == 1 && ops[0].sem_flg == 0) {
        g_removed_set = id;
        tv::real_sys().semctl(id, 0, IPC_RMID, tv::SemArg{});
    }
    return tv::real_sys().semop(id, ops, count);
}
int said_removed_at_stamp(int id, sembuf *ops, size_t count) {
    if (g_removed_set == -1 && count == 1 && ops[0].sem_op == 1 && ops[0].sem_flg == 0) {
        g_removed_set = id;
        errno = EIDRM;
        return -1;
    }
    return tv::real_sys().semop(id, ops, count);
}

TEST_F(ProcessLock, ACreatorWhoseSetWasRemovedBeforeItsStampGetsTheLockByKey) {
    using Semop = int (*)(int, sembuf *, size_t);
    for (Semop fault : {remove_before_stamp, said_removed_at_stamp}) {
        if (existing_set() != -1) {
            ASSERT_EQ(semctl(existing_set(), 0, IPC_RMID), 0);
        }
        tvtest::clear_log(1);
        g_removed_set = -1;
        tv::override_sys(&tv::SysCalls::semop, fault);
        void *handle = nullptr;
        const int32_t made = Telmor_Create_Pro_Lock(&handle);
        tv::restore_sys();
        ASSERT_EQ(made, 1) << testing::PrintToString(messages());
        const int id = *static_cast<int32_t *>(handle);
        EXPECT_NE(g_removed_set, -1);
        EXPECT_NE(id, g_removed_set);
        EXPECT_EQ(existing_set(), id);
        EXPECT_EQ(sem_value(id), 1);
        const auto logged = messages();
        ASSERT_GE(logged.size(), 3u) << testing::PrintToString(logged);
        EXPECT_EQ(logged[2], "WARN|process lock 0x20191230 (id " + std::to_string(g_removed_set) +
                                 ") was removed before its creator made it ready; looking for it again");
        Telmor_Add_Pro_Lock(handle);
        EXPECT_EQ(sem_value(id), 0);
        Telmor_Release_Pro_Lock(handle);
        Telmor_Destroy_Pro_Lock(handle);
    }
}

// A process that takes and gives back the lock and then ends leaves it free:
// the give-back cancels the take's undo, so the kernel adds nothing at exit.
TEST_F(ProcessLock, AProcessThatGaveTheLockBackLeavesItFreeWhenItEnds) {
    void *handle = nullptr;
    ASSERT_EQ(Telmor_Create_Pro_Lock(&handle), 1);
    const int id = *static_cast<int32_t *>(handle);
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(tvtest::run_in_child([] {
                      void *mine = nullptr;
                      if (Telmor_Create_Pro_Lock(&mine) != 1) return 1;
                      for (int i = 0; i < 3; ++i) {
                          Telmor_Add_Pro_Lock(mine);
                          Telmor_Release_Pro_Lock(mine);
                      }
                      return 0;
                  }),
                  0);
        EXPECT_EQ(sem_value(id), 1);
    }
    // Only one process can hold it afterwards.
    Telmor_Add_Pro_Lock(handle);
    EXPECT_EQ(sem_value(id), 0);
    Telmor_Release_Pro_Lock(handle);
    Telmor_Destroy_Pro_Lock(handle);
}

constexpr char kFenceDir[] = "/opt/telmor/fence_test";
constexpr char kFenceLockFile[] = "/opt/telmor/fence_test/keystore.lock";

// The keystore fence: with a keystore directory, the lock also holds the
// kernel's lock on keystore.lock there, made 0600, and gives it back first.
class KeystoreFence : public ProcessLock {
protected:
    void SetUp() override {
        ProcessLock::SetUp();
        std::filesystem::remove_all(kFenceDir);
        std::filesystem::create_directories(kFenceDir);
        tv::set_keystore_directory_of("/opt/telmor/fence_test/primary_ks.key");
    }
    void TearDown() override {
        tv::set_keystore_directory_of(nullptr);
        std::filesystem::remove_all(kFenceDir);
    }
};

// Whether another open file description could lock the file now.
bool lockable_by_another() {
    const int fd = open(kFenceLockFile, O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    const bool free = fcntl(fd, F_OFD_SETLK, &lock) == 0;
    close(fd);
    return free;
}

TEST_F(KeystoreFence, TheLockHoldsTheKeystoreLockFile) {
    void *handle = nullptr;
    ASSERT_EQ(Telmor_Create_Pro_Lock(&handle), 1);
    const int id = *static_cast<int32_t *>(handle);
    errno = EINTR;
    Telmor_Add_Pro_Lock(handle);
    EXPECT_EQ(errno, 0);
    struct stat st {};
    ASSERT_EQ(stat(kFenceLockFile, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_uid, geteuid());
    EXPECT_FALSE(lockable_by_another());
    Telmor_Release_Pro_Lock(handle);
    EXPECT_TRUE(lockable_by_another());
    EXPECT_EQ(sem_value(id), 1);
    Telmor_Destroy_Pro_Lock(handle);
}

// A lock file that cannot be used refuses the lock: the semaphore is given
// back, the refusal logged, and the answer is the fence's own errno.
TEST_F(KeystoreFence, AnUnusableLockFileRefusesTheLock) {
    struct Case {
        const char *name;
        std::function<void()> prepare;
        const char *reason;
    };
    const std::vector<Case> cases = {
        {"a symbolic link", [] { ASSERT_EQ(symlink("/opt/telmor/elsewhere", kFenceLockFile), 0); }, "a symbolic link"},
        {"a directory", [] { ASSERT_EQ(mkdir(kFenceLockFile, 0700), 0); }, nullptr},
        {"a hard-linked file",
         [] {
             ASSERT_EQ(close(open("/opt/telmor/fence_test/other", O_CREAT | O_WRONLY, 0600)), 0);
             ASSERT_EQ(link("/opt/telmor/fence_test/other", kFenceLockFile), 0);
         },
         nullptr},
    };
    void *handle = nullptr;
    ASSERT_EQ(Telmor_Create_Pro_Lock(&handle), 1);
    const int id = *static_cast<int32_t *>(handle);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(kFenceDir);
        std::filesystem::create_directories(kFenceDir);
        c.prepare();
        tvtest::clear_log(1);
        errno = 0;
        Telmor_Add_Pro_Lock(handle);
        EXPECT_EQ(errno, VAQ_HOST_KEYSTORE_NOT_FENCED);
        EXPECT_EQ(sem_value(id), 1) << "the semaphore was not given back";
        const auto logged = messages();
        ASSERT_EQ(logged.size(), 1u) << testing::PrintToString(logged);
        EXPECT_EQ(logged[0].rfind(std::string("ERROR|keystore lock file ") + kFenceLockFile + " cannot be used: ", 0), 0u)
            << logged[0];
        if (c.reason != nullptr) {
            EXPECT_NE(logged[0].find(c.reason), std::string::npos) << logged[0];
        }
    }
    Telmor_Destroy_Pro_Lock(handle);
}

TEST(ThreadLock, ExcludesOtherThreads) {
    void *handle = nullptr;
    ASSERT_EQ(Telmor_Create_Lock(&handle), 1);
    ASSERT_NE(handle, nullptr);
    auto *mutex = static_cast<pthread_mutex_t *>(handle);

    Telmor_Add_Lock(handle);
    EXPECT_EQ(pthread_mutex_trylock(mutex), EBUSY);  // not recursive
    int other = 0;
    std::thread([&] { other = pthread_mutex_trylock(mutex); }).join();
    EXPECT_EQ(other, EBUSY);
    Telmor_Release_Lock(handle);

    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                Telmor_Add_Lock(handle);
                ++counter;
                Telmor_Release_Lock(handle);
            }
        });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(counter, 80000);
    Telmor_Destroy_Lock(handle);
}

TEST(ThreadLock, NullHandlesAreRefused) {
    EXPECT_EQ(Telmor_Create_Lock(nullptr), 0);
    Telmor_Add_Lock(nullptr);
    Telmor_Release_Lock(nullptr);
    Telmor_Destroy_Lock(nullptr);
}

}  // namespace
