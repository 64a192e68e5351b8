// SPDX-License-Identifier: Apache-2.0
// The node lock when its creator died: a set made under the lock's key and
// never made ready, as a creator killed between creating and stamping it
// leaves it. Then many processes start at once, each loads the keystore and
// creates a master key under the lock, with every log write slowed (the log
// write is what once stood between a waiter's last look and its repair). Round
// after round: afterwards the lock must be free (value 1) and every key a
// process was told it created must be in the keystore. A broken repair lets
// several processes hold the lock at once, and their keystore writes lose
// each other's keys.
#include <fcntl.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <functional>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "child.h"
#include "files.h"
#include "host/sys.h"
#include "node_layout.h"
#include "node_state.h"
#include "telmor_vaq_api.h"

namespace {

constexpr key_t kLockKey = node_layout::kProcessLockKey;
constexpr int kProcesses = 16;
constexpr int kRounds = 4;
constexpr uint32_t kDomain = 50;

// Each log write waits 0.2 to 20 ms first: a slow disk, widening every
// window that a log line sits in.
std::minstd_rand g_rng;
ssize_t slow_log_write(int fd, const void *buf, size_t count) {
    char link[64];
    char target[256] = {};
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, target, sizeof target - 1);
    if (n > 0 && std::strncmp(target, "/var/log/oam/", 13) == 0) {
        timespec pause{0, static_cast<long>(std::uniform_int_distribution<int>(200, 20000)(g_rng)) * 1000L};
        while (nanosleep(&pause, &pause) == -1 && errno == EINTR) {}
    }
    return tv::real_sys().write(fd, buf, count);
}

// A set under the lock's key that its creator never made ready.
void orphan_the_lock() {
    const int old = semget(kLockKey, 1, 0);
    if (old != -1) {
        ASSERT_EQ(semctl(old, 0, IPC_RMID), 0);
    }
    ASSERT_NE(semget(kLockKey, 1, IPC_CREAT | IPC_EXCL | 0600), -1);
}

struct Created {
    uint32_t keyId;
    unsigned long rc;
};

// One process: waits for the start, loads, creates a key, tells the parent
// the key id and the answer.
int one_process(int start, int report) {
    g_rng.seed(static_cast<unsigned>(getpid()));
    tv::override_sys(&tv::SysCalls::write, slow_log_write);
    char go = 0;
    if (read(start, &go, 1) != 0) return 10;  // end of file: everyone starts
    Created c{0, TELMOR_VAQ_Initialize("HXA")};
    if (c.rc == 0) c.rc = TELMOR_VAQ_CreateMK(kDomain, &c.keyId);
    if (write(report, &c, sizeof c) != static_cast<ssize_t>(sizeof c)) return 11;
    TELMOR_VAQ_Finalize();
    return 0;
}

// The key ids of the domain, as a fresh process loads them.
std::set<uint32_t> keys_on_disk() {
    int fds[2];
    if (pipe(fds) != 0) return {};
    const pid_t child = tvtest::spawn([&] {
        close(fds[0]);
        if (TELMOR_VAQ_Initialize("HXA") != 0) return 1;
        uint32_t *ids = nullptr;
        uint32_t count = 0;
        if (TELMOR_VAQ_GetKeyId_List(kDomain, &ids, &count) != 0) return 2;
        const ssize_t want = static_cast<ssize_t>(count * sizeof(uint32_t));
        if (write(fds[1], ids, static_cast<size_t>(want)) != want) return 3;
        return 0;
    });
    close(fds[1]);
    std::set<uint32_t> out;
    uint32_t id = 0;
    while (read(fds[0], &id, sizeof id) == static_cast<ssize_t>(sizeof id)) out.insert(id);
    close(fds[0]);
    EXPECT_EQ(tvtest::wait_child(child), 0);
    return out;
}

TEST(LockRace, AnOrphanedLockRepairedByManyAtOnceKeepsOneHolder) {
    // The first round also makes the keystore: a fresh node.
    tvtest::fresh_keystore(node_layout::kAgent);
    for (int round = 1; round <= kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        orphan_the_lock();
        int start[2];
        int report[2];
        ASSERT_EQ(pipe(start), 0);
        ASSERT_EQ(pipe(report), 0);
        std::vector<pid_t> children;
        for (int i = 0; i < kProcesses; ++i) {
            children.push_back(tvtest::spawn([&] {
                close(start[1]);
                close(report[0]);
                return one_process(start[0], report[1]);
            }));
        }
        close(start[0]);
        close(report[1]);
        close(start[1]);  // all start at once

        std::vector<uint32_t> created;
        Created c{};
        int answered = 0;
        while (read(report[0], &c, sizeof c) == static_cast<ssize_t>(sizeof c)) {
            ++answered;
            EXPECT_EQ(c.rc, 0u);
            if (c.rc == 0) created.push_back(c.keyId);
        }
        close(report[0]);
        for (pid_t pid : children) EXPECT_EQ(tvtest::wait_child(pid), 0);
        EXPECT_EQ(answered, kProcesses);

        const int id = semget(kLockKey, 1, 0);
        ASSERT_NE(id, -1);
        const int value = semctl(id, 0, GETVAL);
        std::printf("round %d: %d processes, %zu keys created, lock value %d\n", round, kProcesses, created.size(),
                    value);
        EXPECT_EQ(value, 1) << "the lock is not back to free";

        const std::set<uint32_t> present = keys_on_disk();
        int missing = 0;
        for (uint32_t key : created) missing += present.count(key) == 0 ? 1 : 0;
        std::printf("round %d: %d of %zu created keys missing\n", round, missing, created.size());
        EXPECT_EQ(missing, 0) << "keys reported as created are lost";
    }
}

int refused_take(int, sembuf *, size_t, const timespec *) {
    errno = ENOMEM;
    return -1;
}

// A lock that cannot be taken stops the key library's change: the call
// answers 2045 and the keystore keeps what it had.
TEST(LockRace, ALockThatCannotBeTakenStopsTheChange) {
    tvtest::fresh_keystore(node_layout::kAgent);
    const int rc = tvtest::run_in_child([] {
        if (TELMOR_VAQ_Initialize("HXA") != 0) return 1;
        tv::override_sys(&tv::SysCalls::semtimedop, refused_take);
        uint32_t keyId = 0;
        const unsigned long code = TELMOR_VAQ_CreateMK(kDomain, &keyId);
        tv::restore_sys();
        return code == 2045 ? 0 : 2;
    });
    EXPECT_EQ(rc, 0);
    // The domain has its first key only, the one the load made.
    EXPECT_EQ(keys_on_disk().size(), 1u);
}

// A keystore lock file that cannot be used stops the change as well: 2046,
// the keystore keeps what it had, and the change goes through once the file
// can be used again.
TEST(LockRace, AKeystoreLockFileThatCannotBeUsedStopsTheChange) {
    tvtest::fresh_keystore(node_layout::kAgent);
    const std::string primary = node_layout::kAgent.primary;
    const std::string lockFile = primary.substr(0, primary.rfind('/') + 1) + "keystore.lock";
    const int rc = tvtest::run_in_child([&] {
        if (TELMOR_VAQ_Initialize("HXA") != 0) return 1;
        std::remove(lockFile.c_str());
        if (mkdir(lockFile.c_str(), 0700) != 0) return 2;
        uint32_t keyId = 0;
        const unsigned long refused = TELMOR_VAQ_CreateMK(kDomain, &keyId);
        rmdir(lockFile.c_str());
        if (refused != 2046) return 3;
        return TELMOR_VAQ_CreateMK(kDomain, &keyId) == 0 ? 0 : 4;
    });
    EXPECT_EQ(rc, 0);
    // The load's first key and the one made once the file was back.
    EXPECT_EQ(keys_on_disk().size(), 2u);
}

// The same race on the bare lock, without a keystore (so without its fence):
// the semaphore itself must keep its holders to one when the repair is done
// by many at once, log writes slowed as above. Each holder counts itself in
// shared memory.
TEST(LockRace, AnOrphanedLockRepairedByManyAtOnceHasOneHolderAtATime) {
    auto *shared = static_cast<std::atomic<int> *>(
        mmap(nullptr, 2 * sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(shared, MAP_FAILED);
    std::atomic<int> &inside = shared[0];
    std::atomic<int> &most = shared[1];
    inside = 0;
    most = 0;
    orphan_the_lock();
    int start[2];
    ASSERT_EQ(pipe(start), 0);
    std::vector<pid_t> children;
    for (int i = 0; i < kProcesses; ++i) {
        children.push_back(tvtest::spawn([&] {
            close(start[1]);
            g_node_type = 1;
            g_vaq_pid = getpid();
            logInitFlag = 0;
            g_rng.seed(static_cast<unsigned>(getpid()));
            tv::override_sys(&tv::SysCalls::write, slow_log_write);
            char go = 0;
            if (read(start[0], &go, 1) != 0) return 10;
            void *handle = nullptr;
            if (Telmor_Create_Pro_Lock(&handle) != 1) return 1;
            for (int round = 0; round < 3; ++round) {
                errno = 0;
                Telmor_Add_Pro_Lock(handle);
                if (errno != 0) return 2;
                const int now = ++inside;
                int seen = most.load();
                while (now > seen && !most.compare_exchange_weak(seen, now)) {}
                usleep(5000);
                --inside;
                Telmor_Release_Pro_Lock(handle);
            }
            return 0;
        }));
    }
    close(start[0]);
    close(start[1]);
    for (pid_t pid : children) EXPECT_EQ(tvtest::wait_child(pid), 0);
    std::printf("%d processes, at most %d holding the lock at once\n", kProcesses, most.load());
    EXPECT_EQ(most.load(), 1) << "the semaphore was held by several processes at once";
    const int id = semget(kLockKey, 1, 0);
    ASSERT_NE(id, -1);
    EXPECT_EQ(semctl(id, 0, GETVAL), 1);
    munmap(shared, 2 * sizeof(std::atomic<int>));
}

// What the semaphore cannot prevent, and the keystore fence must: a waiter
// that took a set for abandoned is stopped (SIGSTOP) between its last look
// and its removal; meanwhile the set's creator stamps it and a second process
// takes it for a key change. The waiter, continued, removes the set that is
// held, makes a new one and takes it: two processes hold the semaphore. Their
// key changes must still follow each other, so that both keys stay.
int g_notify = -1;
std::atomic<bool> g_stop_at_removal{false};
int stopping_semctl(int id, int num, int cmd, tv::SemArg arg) {
    if (cmd == IPC_RMID && g_stop_at_removal.exchange(false)) raise(SIGSTOP);
    return tv::real_sys().semctl(id, num, cmd, arg);
}
// The first write to the keystore's directory says so, then takes its time.
ssize_t slow_first_keystore_write(int fd, const void *buf, size_t count) {
    char link[64];
    char target[512] = {};
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, target, sizeof target - 1);
    const std::string dir = std::string(node_layout::kAgent.primary).substr(
        0, std::string(node_layout::kAgent.primary).rfind('/') + 1);
    if (g_notify >= 0 && n > 0 && std::strncmp(target, dir.c_str(), dir.size()) == 0) {
        const char c = 'w';
        (void)!tv::real_sys().write(g_notify, &c, 1);
        g_notify = -1;
        timespec pause{1, 500000000};
        while (nanosleep(&pause, &pause) == -1 && errno == EINTR) {}
    }
    return tv::real_sys().write(fd, buf, count);
}

TEST(LockRace, TwoHoldersOfTheSemaphoreStillChangeTheKeystoreOneAfterTheOther) {
    tvtest::fresh_keystore(node_layout::kAgent);
    const std::set<uint32_t> before = keys_on_disk();  // makes the keystore
    // A set under the key whose creator (this process) has not stamped it yet.
    const int old = semget(kLockKey, 1, 0);
    if (old != -1) {
        ASSERT_EQ(semctl(old, 0, IPC_RMID), 0);
    }
    const int set = semget(kLockKey, 1, IPC_CREAT | IPC_EXCL | 0600);
    ASSERT_NE(set, -1);

    int report[2];
    int wrote[2];
    ASSERT_EQ(pipe(report), 0);
    ASSERT_EQ(pipe(wrote), 0);
    auto change = [&](const std::function<void()> &arrange) {
        return tvtest::spawn([&, arrange] {
            close(report[0]);
            close(wrote[0]);
            arrange();
            Created c{0, TELMOR_VAQ_Initialize("HXA")};
            if (c.rc == 0) c.rc = TELMOR_VAQ_CreateMK(kDomain, &c.keyId);
            if (write(report[1], &c, sizeof c) != static_cast<ssize_t>(sizeof c)) return 11;
            TELMOR_VAQ_Finalize();
            return 0;
        });
    };
    // The waiter: waits out the bound on the unstamped set, stops before removing it.
    const pid_t waiter = change([] {
        g_stop_at_removal = true;
        tv::override_sys(&tv::SysCalls::semctl, stopping_semctl);
    });
    int status = 0;
    ASSERT_EQ(waitpid(waiter, &status, WUNTRACED), waiter);
    ASSERT_TRUE(WIFSTOPPED(status)) << "the waiter did not reach its removal";

    // The creator stamps its set late; the holder takes it for its change.
    sembuf stamp{0, +1, 0};
    ASSERT_EQ(semop(set, &stamp, 1), 0);
    const pid_t holder = change([&] {
        g_notify = wrote[1];
        tv::override_sys(&tv::SysCalls::write, slow_first_keystore_write);
    });
    close(wrote[1]);
    char c = 0;
    ASSERT_EQ(read(wrote[0], &c, 1), 1) << "the holder never wrote the keystore";
    // The holder is inside its change: the waiter removes the set it holds.
    kill(waiter, SIGCONT);
    close(report[1]);

    std::vector<Created> answers;
    Created a{};
    while (read(report[0], &a, sizeof a) == static_cast<ssize_t>(sizeof a)) answers.push_back(a);
    close(report[0]);
    close(wrote[0]);
    EXPECT_EQ(tvtest::wait_child(waiter), 0);
    EXPECT_EQ(tvtest::wait_child(holder), 0);
    ASSERT_EQ(answers.size(), 2u);
    const std::set<uint32_t> after = keys_on_disk();
    int lost = 0;
    for (const Created &ans : answers) {
        EXPECT_EQ(ans.rc, 0u);
        if (ans.rc == 0 && after.count(ans.keyId) == 0) ++lost;
    }
    std::printf("two holders of the semaphore: %zu keys before, %zu after, %d of 2 created keys lost\n", before.size(),
                after.size(), lost);
    EXPECT_EQ(lost, 0) << "a key change was lost: the two holders changed the keystore at once";
    EXPECT_EQ(after.size(), before.size() + 2);
}

// One semop on the node lock answering EIDRM while its set stands (what a
// removal by another process's repair looks like to this one), at each call
// of each key-changing operation: every operation ends within a bound, and
// leaves the keystore as it was before or as the operation makes it; the
// process's next call under the lock ends too, and the lock is free after.
constexpr uint32_t kRegistered = 9001;
constexpr uint32_t kSpare = 9002;
int g_fault_at = 0;
int g_lock_calls = 0;
bool fault_now() {
    if (++g_lock_calls != g_fault_at) return false;
    errno = EIDRM;
    return true;
}
int removed_semop(int id, sembuf *ops, size_t count) {
    return fault_now() ? -1 : tv::real_sys().semop(id, ops, count);
}
int removed_semtimedop(int id, sembuf *ops, size_t count, const timespec *timeout) {
    return fault_now() ? -1 : tv::real_sys().semtimedop(id, ops, count, timeout);
}
void arm_removal(int at) {
    g_fault_at = at;
    g_lock_calls = 0;
    tv::override_sys(&tv::SysCalls::semop, removed_semop);
    tv::override_sys(&tv::SysCalls::semtimedop, removed_semtimedop);
}

// The keystore as a fresh process loads it: every key (domain, id, active)
// and the root key's version. Ids not in `known` are written as "new", since
// a generated key's id is random.
std::string keystore_state(const std::set<std::string> &known = {}) {
    int fds[2];
    if (pipe(fds) != 0) return "no pipe";
    const pid_t child = tvtest::spawn([&] {
        close(fds[0]);
        if (TELMOR_VAQ_Initialize("HXA") != 0) return 1;
        HX_VAQ_MK_LIST *list = nullptr;
        HX_VAQ_ROOT_KEY *root = nullptr;
        if (TELMOR_VAQ_Query_Mk_Info(&list) != 0 || TELMOR_VAQ_Query_Root_Key(&root) != 0) return 2;
        std::string out = "root " + std::to_string(root->rk->rkAttr16) + ";";
        for (int i = 0; i < list->count; ++i) {
            const HX_VAQ_MK *k = list->items[i];
            out += std::to_string(k->domainId) + ":" + std::to_string(k->keyId) + ":" + std::to_string(k->mkAttrA) + ",";
        }
        if (write(fds[1], out.data(), out.size()) != static_cast<ssize_t>(out.size())) return 3;
        return 0;
    });
    close(fds[1]);
    std::string raw;
    char buf[4096];
    ssize_t n = 0;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) raw.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    if (tvtest::wait_child(child) != 0) return "keystore does not load";
    // Sorted, with ids unknown before masked.
    std::vector<std::string> keys;
    const size_t semi = raw.find(';');
    std::string rest = raw.substr(semi + 1);
    for (size_t at = 0; at < rest.size();) {
        const size_t end = rest.find(',', at);
        std::string k = rest.substr(at, end - at);
        const size_t c1 = k.find(':');
        const size_t c2 = k.rfind(':');
        if (!known.empty() && known.count(k.substr(0, c2)) == 0) k = k.substr(0, c1) + ":new" + k.substr(c2);
        keys.push_back(k);
        at = end + 1;
    }
    std::sort(keys.begin(), keys.end());
    std::string out = raw.substr(0, semi + 1);
    for (const auto &k : keys) out += k + ",";
    return out;
}

// Domain:id of every key in a state.
std::set<std::string> key_names(const std::string &state) {
    std::set<std::string> out;
    const std::string rest = state.substr(state.find(';') + 1);
    for (size_t at = 0; at < rest.size();) {
        const size_t end = rest.find(',', at);
        const std::string k = rest.substr(at, end - at);
        out.insert(k.substr(0, k.rfind(':')));
        at = end + 1;
    }
    return out;
}

struct Operation {
    const char *name;
    std::function<unsigned long()> run;
};

struct Outcome {
    unsigned long rc = 0;
    int lockCalls = 0;
    unsigned long next = 0;  // the same process's next call under the lock
    int lockValue = -1;      // the lock's value right after, the process still running
};

TEST(LockRace, ALockCallAnsweredAsRemovedEndsEveryKeyChange) {
    static const unsigned char kMaterial[32] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                                                17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
    const std::vector<Operation> operations = {
        {"create-key", [] { uint32_t id = 0; return TELMOR_VAQ_CreateMK(kDomain, &id); }},
        {"register-key", [] { return TELMOR_VAQ_UpdateMK(kDomain, kRegistered, kMaterial, sizeof kMaterial); }},
        {"activate-key", [] { return TELMOR_VAQ_ActiveMK(kDomain, kSpare); }},
        {"delete-key", [] { return TELMOR_VAQ_Delete(kDomain, kSpare); }},
        {"rotate-root-key", [] { return TELMOR_VAQ_UpdateRootKey(); }},
    };
    // A keystore with a spare key, not active, to activate and delete.
    tvtest::fresh_keystore(node_layout::kAgent);
    ASSERT_EQ(tvtest::run_in_child([] {
                  if (TELMOR_VAQ_Initialize("HXA") != 0) return 1;
                  return TELMOR_VAQ_UpdateMK(kDomain, kSpare, kMaterial, sizeof kMaterial) == 0 ? 0 : 2;
              }),
              0);
    const auto primary = tvtest::read_bytes(node_layout::kAgent.primary);
    const auto standby = tvtest::read_bytes(node_layout::kAgent.standby);
    auto restore = [&] {
        tvtest::write_bytes(node_layout::kAgent.primary, primary);
        tvtest::write_bytes(node_layout::kAgent.standby, standby);
    };
    const std::string before = keystore_state();
    const std::set<std::string> known = key_names(before);

    int runs = 0;
    int hangs = 0;
    for (const Operation &op : operations) {
        restore();
        ASSERT_EQ(tvtest::run_in_child([&] {
                      if (TELMOR_VAQ_Initialize("HXA") != 0) return 1;
                      return op.run() == 0 ? 0 : 2;
                  }),
                  0);
        const std::string after = keystore_state(known);
        ASSERT_NE(after, before) << op.name << " changed nothing";
        for (int at = 1;; ++at) {
            SCOPED_TRACE(std::string(op.name) + ", lock call " + std::to_string(at) + " answered EIDRM");
            restore();
            int fds[2];
            ASSERT_EQ(pipe(fds), 0);
            const int rc = tvtest::run_bounded(
                [&] {
                    close(fds[0]);
                    if (TELMOR_VAQ_Initialize("HXA") != 0) return 1;
                    arm_removal(at);
                    Outcome o{op.run(), g_lock_calls};
                    tv::restore_sys();
                    const int set = semget(kLockKey, 1, 0);
                    o.lockValue = set == -1 ? 1 : semctl(set, 0, GETVAL);
                    // The process goes on: a lock it believes it gave back
                    // must not be one it still holds.
                    uint32_t result = 0;
                    o.next = TELMOR_VAQ_CheckKeyStore(0, &result);
                    return write(fds[1], &o, sizeof o) == static_cast<ssize_t>(sizeof o) ? 0 : 2;
                },
                30);
            close(fds[1]);
            Outcome o{};
            const bool answered = read(fds[0], &o, sizeof o) == static_cast<ssize_t>(sizeof o);
            close(fds[0]);
            ++runs;
            if (rc == -1) ++hangs;
            EXPECT_EQ(rc, 0) << (rc == -1 ? "the operation hung" : "the operation's process failed");
            if (!answered) break;
            EXPECT_EQ(o.next, 0u) << "the process's next call under the lock failed";
            EXPECT_EQ(o.lockValue, 1) << "the lock is not free right after the operation";
            const int set = semget(kLockKey, 1, 0);
            EXPECT_TRUE(set == -1 || semctl(set, 0, GETVAL) == 1) << "the lock is not free afterwards";
            const std::string now = keystore_state(known);
            if (o.rc == 0) {
                EXPECT_EQ(now, after) << "answered success, keystore not as the operation makes it";
            } else {
                EXPECT_TRUE(now == before || now == after)
                    << "answered " << o.rc << ", keystore neither before nor after: " << now;
            }
            if (o.lockCalls < at) break;  // the fault came after the operation's last lock call
        }
    }
    std::printf("one lock call answered EIDRM: %d runs, %d hangs\n", runs, hangs);
}

}  // namespace
