// SPDX-License-Identifier: Apache-2.0
// The node's IPC objects on a node with a service account (uid 4321 owns the
// agent's keystore directory) and root: in either order of first use, each
// uses what the other made, with no ipcrm between; a third uid's objects are
// still refused; accounts that cannot share the objects are named.
#include <grp.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <string>

#include "child.h"
#include "log_reader.h"
#include "node_layout.h"
#include "node_state.h"
#include "telmor_vaq_api.h"

namespace {

constexpr uid_t kService = 4321;
constexpr uid_t kThird = 4322;
constexpr key_t kLockKey = node_layout::kProcessLockKey;
constexpr key_t kSegmentKey = node_layout::kVersionSegmentKey;
const char kAgentDir[] = "/opt/telmor/agent/conf/vaq/conf";
const char kToolsDir[] = "/opt/telmor/tools/vaq/conf";

void remove_ipc() {
    const int sem = semget(kLockKey, 1, 0);
    if (sem != -1) semctl(sem, 0, IPC_RMID);
    const int shm = shmget(kSegmentKey, 0, 0);
    if (shm != -1) shmctl(shm, IPC_RMID, nullptr);
}

// As the given user (root: 0), in a process of its own: attaches the version
// segment, makes a lock handle, takes and gives back the lock. 0 when all
// of it worked.
int use_objects_as(uid_t uid, gid_t group = 0) {
    return tvtest::run_in_child([uid, group] {
        if (group != 0 && setgroups(1, &group) != 0) return 98;
        if (uid != 0 && (setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0)) return 99;
        g_node_type = 1;
        g_vaq_pid = getpid();
        logInitFlag = 0;
        if (load_keystore_version() != 0) return 1;
        void *lock = nullptr;
        if (Telmor_Create_Pro_Lock(&lock) != 1) return 2;
        errno = 0;
        Telmor_Add_Pro_Lock(lock);
        if (errno != 0) return 3;
        Telmor_Release_Pro_Lock(lock);
        Telmor_Destroy_Pro_Lock(lock);
        return 0;
    });
}

struct Perm {
    uid_t uid = static_cast<uid_t>(-1);
    uid_t cuid = static_cast<uid_t>(-1);
    unsigned mode = 0;
};

Perm lock_perm() {
    semid_ds ds{};
    Perm p;
    const int id = semget(kLockKey, 1, 0);
    union {
        int val;
        semid_ds *buf;
    } arg{};
    arg.buf = &ds;
    if (id == -1 || semctl(id, 0, IPC_STAT, arg) != 0) return p;
    return {ds.sem_perm.uid, ds.sem_perm.cuid, ds.sem_perm.mode & 0777u};
}

Perm segment_perm() {
    shmid_ds ds{};
    const int id = shmget(kSegmentKey, 0, 0);
    if (id == -1 || shmctl(id, IPC_STAT, &ds) != 0) return {};
    return {ds.shm_perm.uid, ds.shm_perm.cuid, ds.shm_perm.mode & 0777u};
}

int lock_value() { return semctl(semget(kLockKey, 1, 0), 0, GETVAL); }

bool logged_line_starting(const std::string &start) {
    for (const auto &m : tvtest::api_messages(tvtest::read_log(1)))
        if (m.rfind(start, 0) == 0) return true;
    return false;
}

class IpcOwner : public testing::Test {
protected:
    void SetUp() override {
        remove_ipc();
        ASSERT_EQ(chown(kAgentDir, kService, kService), 0);
        tvtest::clear_log(1);
    }
    void TearDown() override {
        remove_ipc();
        EXPECT_EQ(chown(kAgentDir, 0, 0), 0);
        EXPECT_EQ(chown(kToolsDir, 0, 0), 0);
    }
};

TEST_F(IpcOwner, RootFirstThenTheServiceUsesWhatRootMade) {
    ASSERT_EQ(use_objects_as(0), 0);
    for (const Perm &p : {lock_perm(), segment_perm()}) {
        EXPECT_EQ(p.uid, kService) << "given to the keystore owner";
        EXPECT_EQ(p.cuid, 0u);
        EXPECT_EQ(p.mode, 0600u);
    }
    EXPECT_EQ(use_objects_as(kService), 0);
    EXPECT_EQ(use_objects_as(0), 0);
    EXPECT_EQ(lock_value(), 1);
}

TEST_F(IpcOwner, ServiceFirstThenRootUsesWhatTheServiceMade) {
    ASSERT_EQ(use_objects_as(kService), 0);
    for (const Perm &p : {lock_perm(), segment_perm()}) {
        EXPECT_EQ(p.uid, kService);
        EXPECT_EQ(p.cuid, kService);
        EXPECT_EQ(p.mode, 0600u);
    }
    EXPECT_EQ(use_objects_as(0), 0);
    EXPECT_EQ(use_objects_as(kService), 0);
    EXPECT_EQ(lock_value(), 1);
}

// Objects that an earlier build made for root alone: root's next use gives
// them to the keystore owner, and the service can use them from then on.
TEST_F(IpcOwner, RootsOwnObjectsFromBeforeAreGivenToTheKeystoreOwner) {
    const int sem = semget(kLockKey, 1, IPC_CREAT | IPC_EXCL | 0600);
    ASSERT_NE(sem, -1);
    sembuf ready{0, +1, 0};
    ASSERT_EQ(semop(sem, &ready, 1), 0);
    ASSERT_NE(shmget(kSegmentKey, 4096, IPC_CREAT | IPC_EXCL | 0600), -1);
    EXPECT_NE(use_objects_as(kService), 0) << "root's 0600 objects are out of the service's reach";
    ASSERT_EQ(use_objects_as(0), 0);
    EXPECT_EQ(lock_perm().uid, kService);
    EXPECT_EQ(segment_perm().uid, kService);
    EXPECT_EQ(use_objects_as(kService), 0);
}

TEST_F(IpcOwner, AThirdUsersObjectsAreRefusedByRootAndTheService) {
    ASSERT_EQ(tvtest::run_in_child([] {
                  if (setresgid(kThird, kThird, kThird) != 0 || setresuid(kThird, kThird, kThird) != 0) return 99;
                  const int sem = semget(kLockKey, 1, IPC_CREAT | IPC_EXCL | 0600);
                  sembuf ready{0, +1, 0};
                  if (sem == -1 || semop(sem, &ready, 1) != 0) return 1;
                  return shmget(kSegmentKey, 4096, IPC_CREAT | IPC_EXCL | 0600) == -1 ? 2 : 0;
              }),
              0);
    EXPECT_EQ(use_objects_as(kService), 1);
    EXPECT_EQ(use_objects_as(0), 1);
    EXPECT_TRUE(logged_line_starting("ERROR|shared segment " + tvtest::ipc_key_text(kSegmentKey) +
                                     " not used: owned or created by another user (owner uid 4322, creator uid "
                                     "4322, mode 0600, this process uid 0)"));
    // Past the segment, the lock is refused the same way.
    const int shm = shmget(kSegmentKey, 0, 0);
    ASSERT_EQ(shmctl(shm, IPC_RMID, nullptr), 0);
    tvtest::clear_log(1);
    EXPECT_EQ(use_objects_as(0), 2);
    EXPECT_TRUE(logged_line_starting("ERROR|process lock " + tvtest::ipc_key_text(kLockKey) +
                                     " not used: owned or created by another user (owner uid 4322, creator uid "
                                     "4322, mode 0600, this process uid 0)"));
}

// Two roles whose keystore directories belong to two accounts: without a
// group named for them nothing is made that one of them could not use, and
// the line names both and the command that names one. With the group named,
// the objects are that group's, 0660; an object open to any other group (one
// a third account is also in) is refused.
TEST_F(IpcOwner, TwoAccountsShareTheObjectsOnlyThroughTheNamedGroup) {
    constexpr gid_t kNamed = 4400, kBroad = 100;
    ASSERT_EQ(chown(kToolsDir, kThird, kThird), 0);
    EXPECT_EQ(use_objects_as(0), 1);
    EXPECT_EQ(shmget(kSegmentKey, 0, 0), -1);
    EXPECT_TRUE(logged_line_starting("ERROR|shared segment " + tvtest::ipc_key_text(kSegmentKey) +
                                     " not created: the roles' keystore directories belong to uids 4321 (?), 4322 "
                                     "(?), and no group is named for them to share it through; as root, name one: "
                                     "telmor-vaq init --role ROLE --group GROUP"));

    ASSERT_EQ(std::system("chmod 0711 /etc/telmor/vaq && echo 4400 > /etc/telmor/vaq/ipc.group && chmod 0644 "
                            "/etc/telmor/vaq/ipc.group"),
              0);
    EXPECT_EQ(use_objects_as(kService, kNamed), 0);
    EXPECT_EQ(use_objects_as(kThird, kNamed), 0);
    EXPECT_EQ(lock_perm().mode, 0660u);
    semid_ds ds{};
    union {
        int val;
        semid_ds *buf;
    } arg{};
    arg.buf = &ds;
    const int sem = semget(kLockKey, 1, 0);
    ASSERT_EQ(semctl(sem, 0, IPC_STAT, arg), 0);
    EXPECT_EQ(ds.sem_perm.gid, kNamed);

    // The same set, handed to a broad group: no longer taken.
    ds.sem_perm.gid = kBroad;
    ASSERT_EQ(semctl(sem, 0, IPC_SET, arg), 0);
    tvtest::clear_log(1);
    EXPECT_EQ(use_objects_as(0), 2);
    EXPECT_TRUE(logged_line_starting("ERROR|process lock " + tvtest::ipc_key_text(kLockKey) +
                                     " not used: writable by its group"));
}

// An account of the named group is trusted as a creator even where its
// keystore directories cannot be seen by the others (an installer may make
// them 0700 all the way): the user and group databases say who is in the
// group. A creator that is not in it is still refused. The databases are
// this sandbox's own copies, bound over /etc/passwd and /etc/group.
TEST_F(IpcOwner, AnAccountOfTheNamedGroupIsTrustedWhereItsDirectoriesCannotBeSeen) {
    constexpr gid_t kNamed = 4400;
    auto databases = [](bool serviceInGroup) {
        return std::system((std::string("mkdir -p /tmp/ipc-db && cat /etc/passwd > /tmp/ipc-db/passwd.new && "
                                        "printf 'tvqa:x:4321:4321::/:/bin/sh\\ntvqc:x:4322:4322::/:/bin/sh\\n' >> "
                                        "/tmp/ipc-db/passwd.new && cat /etc/group > /tmp/ipc-db/group.new && "
                                        "printf 'vaqgrp:x:4400:") +
                            (serviceInGroup ? "tvqa," : "") +
                            "tvqc\\n' >> /tmp/ipc-db/group.new && "
                            "mount --bind /tmp/ipc-db/passwd.new /etc/passwd && mount --bind /tmp/ipc-db/group.new "
                            "/etc/group")
                               .c_str());
    };
    ASSERT_EQ(databases(true), 0);
    ASSERT_EQ(std::system("chmod 0711 /etc/telmor/vaq && echo 4400 > /etc/telmor/vaq/ipc.group && chmod 0644 "
                          "/etc/telmor/vaq/ipc.group && chown 4321 /opt/telmor/agent/conf/vaq && chmod 0700 "
                          "/opt/telmor/agent/conf/vaq"),
              0);
    ASSERT_EQ(chown(kToolsDir, kThird, kThird), 0);
    EXPECT_EQ(use_objects_as(kService, kNamed), 0);
    EXPECT_EQ(lock_perm().cuid, kService);
    EXPECT_EQ(use_objects_as(kThird, kNamed), 0) << "a creator of the named group was refused";

    ASSERT_EQ(std::system("umount /etc/group && umount /etc/passwd"), 0);
    ASSERT_EQ(databases(false), 0);
    EXPECT_EQ(use_objects_as(kThird, kNamed), 1) << "a creator outside the named group was trusted";
    ASSERT_EQ(std::system("umount /etc/group && umount /etc/passwd"), 0);
}

}  // namespace
