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
#include <sys/ipc.h>
#include <sys/sem.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "child.h"
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

}  // namespace
