// SPDX-License-Identifier: Apache-2.0
// The library's own account of a refusal, for its tool: after a failed
// initialisation the thread's last failure names the object refused and why
// (or the key library's code), and the judge gives the same reason for the
// same object, by the same rule.
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>

#include "api_state.h"
#include "child.h"
#include "files.h"
#include "node_state.h"
#include "private/telmor_vaq_private.h"
#include "telmor_vaq_api.h"

using namespace reltest;

namespace {

namespace fs = std::filesystem;

constexpr uid_t kOther = 65534;

void remove_ipc() {
    const int sem = semget(node_layout::kProcessLockKey, 1, 0);
    if (sem != -1) semctl(sem, 0, IPC_RMID);
    const int shm = shmget(node_layout::kVersionSegmentKey, 0, 0);
    if (shm != -1) shmctl(shm, IPC_RMID, nullptr);
}

telmor_vaq_failure last_failure() {
    telmor_vaq_failure f{};
    EXPECT_EQ(telmor_vaq_last_failure(&f), 0u);
    return f;
}

struct Judged {
    uint32_t verdict;
    std::string reason;
};

Judged judge(uint32_t kind, const std::string &path, int32_t key = 0) {
    char reason[256] = "untouched";
    const uint32_t v = telmor_vaq_judge(kind, path.c_str(), key, reason, sizeof reason);
    return {v, reason};
}

class RefusalReport : public testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
        TELMOR_VAQ_Finalize();
        remove_ipc();
        fresh_node(kAgentRole);
    }
    void TearDown() override {
        TELMOR_VAQ_Finalize();
        remove_ipc();
    }
};

TEST_F(RefusalReport, ARefusedIpcObjectIsNamedWithItsReason) {
    const struct {
        const char *name;
        uint32_t kind;
        int32_t key;
    } cases[] = {
        {"version segment", TELMOR_VAQ_OBJECT_IPC_SEGMENT, node_layout::kVersionSegmentKey},
        {"process lock", TELMOR_VAQ_OBJECT_IPC_LOCK, node_layout::kProcessLockKey},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        remove_ipc();
        // Made first by another account, writable by all.
        ASSERT_EQ(tvtest::run_in_child([&c] {
                      if (setresgid(kOther, kOther, kOther) != 0 || setresuid(kOther, kOther, kOther) != 0) return 99;
                      const int id = c.kind == TELMOR_VAQ_OBJECT_IPC_SEGMENT
                                         ? shmget(c.key, 4096, IPC_CREAT | IPC_EXCL | 0666)
                                         : semget(c.key, 1, IPC_CREAT | IPC_EXCL | 0666);
                      return id == -1 ? 1 : 0;
                  }),
                  0);
        if (c.kind == TELMOR_VAQ_OBJECT_IPC_LOCK) {
            // The set is made ready, as its maker would, so that nobody waits on it.
            const int id = semget(c.key, 1, 0);
            sembuf ops[2] = {{0, 1, 0}, {0, -1, 0}};
            ASSERT_EQ(semop(id, ops, 2), 0);
        }
        EXPECT_NE(TELMOR_VAQ_Initialize("HXA"), 0u);
        const telmor_vaq_failure f = last_failure();
        EXPECT_EQ(f.kind, c.kind);
        EXPECT_EQ(f.ipc_key, c.key);
        EXPECT_EQ(f.error, 0);
        EXPECT_STREQ(f.reason, "owned or created by another user");
        const Judged j = judge(c.kind, "", c.key);
        EXPECT_EQ(j.verdict, TELMOR_VAQ_REFUSED);
        EXPECT_EQ(j.reason, "owned or created by another user (owner uid 65534, creator uid 65534, mode 0666)");
    }
    // Gone, the object is absent; made by the library, it is usable.
    remove_ipc();
    EXPECT_EQ(judge(TELMOR_VAQ_OBJECT_IPC_SEGMENT, "", node_layout::kVersionSegmentKey).verdict, TELMOR_VAQ_ABSENT);
    ASSERT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);
    EXPECT_EQ(last_failure().kind, uint32_t{TELMOR_VAQ_OBJECT_NONE});
    for (const auto &c : cases) EXPECT_EQ(judge(c.kind, "", c.key).verdict, TELMOR_VAQ_USABLE) << c.name;
}

TEST_F(RefusalReport, ARefusedFileIsNamedWithItsReasonAndTheKeyLibrarysCode) {
    ASSERT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);
    TELMOR_VAQ_Finalize();
    const std::string primary = kAgentRole.primary, standby = kAgentRole.standby;
    EXPECT_EQ(judge(TELMOR_VAQ_OBJECT_FILE, primary).verdict, TELMOR_VAQ_USABLE);
    // The primary given to another account in root's directory, the standby
    // replaced by a link.
    ASSERT_EQ(chown(primary.c_str(), kOther, kOther), 0);
    ASSERT_EQ(unlink(standby.c_str()), 0);
    ASSERT_EQ(symlink(primary.c_str(), standby.c_str()), 0);
    EXPECT_NE(TELMOR_VAQ_Initialize("HXA"), 0u);
    const telmor_vaq_failure f = last_failure();
    EXPECT_EQ(f.code, 2027u);
    EXPECT_EQ(f.kind, uint32_t{TELMOR_VAQ_OBJECT_FILE});
    const std::string object = f.object;
    ASSERT_TRUE(object == primary || object == standby) << object;
    const Judged j = judge(TELMOR_VAQ_OBJECT_FILE, object);
    EXPECT_EQ(j.verdict, TELMOR_VAQ_REFUSED);
    EXPECT_EQ(j.reason, f.reason);
    EXPECT_EQ(judge(TELMOR_VAQ_OBJECT_FILE, primary).reason, "owned by another user");
    EXPECT_EQ(judge(TELMOR_VAQ_OBJECT_FILE, standby).reason, "a symbolic link");
    // Root takes what the owner of the copy's directory owns.
    ASSERT_EQ(chown(fs::path(primary).parent_path().c_str(), kOther, kOther), 0);
    EXPECT_EQ(judge(TELMOR_VAQ_OBJECT_FILE, primary).verdict, TELMOR_VAQ_USABLE);
    EXPECT_EQ(judge(TELMOR_VAQ_OBJECT_DIRECTORY, fs::path(primary).parent_path()).verdict, TELMOR_VAQ_USABLE);
    ASSERT_EQ(chmod(fs::path(primary).parent_path().c_str(), 0770), 0);
    EXPECT_EQ(judge(TELMOR_VAQ_OBJECT_DIRECTORY, fs::path(primary).parent_path()).reason,
              "writable by group or others");
    EXPECT_EQ(judge(TELMOR_VAQ_OBJECT_FILE, primary + ".none").verdict, TELMOR_VAQ_ABSENT);
}

TEST_F(RefusalReport, AFailedLoadRecordsTheKeyLibrarysCodeAndASuccessClearsIt) {
    ASSERT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);
    TELMOR_VAQ_Finalize();
    for (const char *path : {kAgentRole.primary, kAgentRole.standby}) {
        std::string image = tvtest::read_file(path);
        image[image.size() - 40] ^= 0x44;
        tvtest::write_file(path, image);
    }
    EXPECT_NE(TELMOR_VAQ_Initialize("HXA"), 0u);
    EXPECT_EQ(last_failure().code, 2008u);
    // Another thread has its own record.
    telmor_vaq_failure other{};
    std::thread([&other] { telmor_vaq_last_failure(&other); }).join();
    EXPECT_EQ(other.code, 0u);
    fresh_node(kAgentRole);
    ASSERT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);
    EXPECT_EQ(last_failure().code, 0u);
}

}  // namespace
