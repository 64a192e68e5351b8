// SPDX-License-Identifier: Apache-2.0
// Initialisation and finalisation against the scripted key-library fake, with
// failures injected at each step. Every case runs in a child process, since
// the library's per-process state (the recorded pid above all) is the subject.
#include <pthread.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fake_keylib.h"
#include "fault_points.h"
#include "keystore_files.h"
#include "ks_test_util.h"
#include "log_reader.h"
#include "telmor_vaq_api.h"
#include "vaq/vaq_host_services.h"

namespace {

using kstest::in_child;
using kstest::kAgent;
using Messages = std::vector<std::string>;

Messages agent_log() { return tvtest::api_messages(tvtest::read_log(1)); }

bool table_is_zero() {
    static const unsigned char zero[sizeof(VaqHostServices)] = {};
    return std::memcmp(&g_pstCallBack, zero, sizeof zero) == 0;
}

class InitTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const auto &r : kstest::kRoles) {
            kstest::remove_file(r.primary);
            kstest::remove_file(r.standby);
            tvtest::clear_log(r.nodeType);
        }
        kstest::remove_version_segment();
        fake::reset();
        fault::clear();
    }
};

TEST_F(InitTest, EachRoleTakesItsNodeTypeAndKeystorePair) {
    for (const auto &r : kstest::kRoles) {
        SCOPED_TRACE(r.role);
        kstest::write_file(r.primary, "");
        EXPECT_EQ(
            in_child([&] {
                ASSERT_EQ(TELMOR_VAQ_Initialize(r.role), 0u);
                EXPECT_EQ(g_init_flag, 1);
                EXPECT_EQ(g_node_type, r.nodeType);
                EXPECT_STREQ(g_pstFileName.primary, r.primary);
                EXPECT_STREQ(g_pstFileName.standby, r.standby);
                // The main library's key-library calls reach the fake, with the
                // library's own table and pair.
                auto reg = fake::calls("IvexRegFuncEx");
                ASSERT_EQ(reg.size(), 1u);
                EXPECT_EQ(reg[0].args[0], reinterpret_cast<uintptr_t>(&g_pstCallBack));
                auto init = fake::calls("IvexInitializeEx");
                ASSERT_EQ(init.size(), 1u);
                EXPECT_EQ(init[0].args, (std::vector<uint64_t>{0, reinterpret_cast<uintptr_t>(&g_pstFileName), 0, 0}));
                EXPECT_EQ(init[0].texts, (std::vector<std::string>{r.primary, r.standby}));
                EXPECT_EQ(tvtest::count_api(tvtest::read_log(r.nodeType), "INFO", "TELMOR VAQ Initialize success"), 1);
                EXPECT_EQ(TELMOR_VAQ_Finalize(), 0u);
                EXPECT_EQ(g_pstFileName.primary, nullptr);
                EXPECT_EQ(g_pstFileName.standby, nullptr);
                EXPECT_TRUE(fault::live_blocks().empty());
            }),
            0);
        kstest::remove_file(r.primary);
    }
}

TEST_F(InitTest, RoleStringsOutsideTheTableGive151) {
    kstest::write_file(kAgent.primary, "");
    for (const char *role : {"hxa", "HXA ", "HX", "HXM_CLIENTS", ""}) {
        SCOPED_TRACE(std::string("role \"") + role + "\"");
        EXPECT_EQ(in_child([&] {
                      EXPECT_EQ(TELMOR_VAQ_Initialize(role), 151u);
                      EXPECT_EQ(g_node_type, 0);
                      EXPECT_EQ(g_pstFileName.primary, nullptr);
                      EXPECT_EQ(g_pstFileName.standby, nullptr);
                      EXPECT_EQ(fault::allocations(), 2);
                      EXPECT_TRUE(fault::live_blocks().empty());
                      EXPECT_TRUE(fake::calls().empty());
                  }),
                  0);
    }
}

TEST_F(InitTest, NullRoleClearsTheTableAndAllocatesNothing) {
    kstest::write_file(kAgent.primary, "");
    EXPECT_EQ(in_child([&] {
                  ASSERT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);
                  ASSERT_EQ(TELMOR_VAQ_Finalize(), 0u);
                  // Finalisation leaves the table as it was filled.
                  ASSERT_FALSE(table_is_zero());
                  const int before = fault::allocations();
                  EXPECT_EQ(TELMOR_VAQ_Initialize(nullptr), 1u);
                  EXPECT_EQ(fault::allocations(), before);
                  EXPECT_TRUE(table_is_zero());
                  EXPECT_EQ(g_pstFileName.primary, nullptr);
                  EXPECT_EQ(g_init_flag, 0);
              }),
              0);
}

TEST_F(InitTest, OneKeystoreFileIsEnoughAndNeitherGives11) {
    EXPECT_EQ(in_child([&] {
                  EXPECT_EQ(TELMOR_VAQ_Initialize("HXM"), 11u);
                  EXPECT_EQ(g_node_type, 2);
                  EXPECT_EQ(g_pstFileName.primary, nullptr);
                  EXPECT_EQ(g_pstFileName.standby, nullptr);
                  EXPECT_TRUE(fault::live_blocks().empty());
                  EXPECT_TRUE(fake::calls().empty());

                  kstest::write_file(kstest::kRoles[1].standby, "");
                  EXPECT_EQ(TELMOR_VAQ_Initialize("HXM"), 0u);
                  EXPECT_EQ(TELMOR_VAQ_Finalize(), 0u);
              }),
              0);
}

TEST_F(InitTest, InitializeTwiceChangesNothing) {
    kstest::write_file(kAgent.primary, "");
    kstest::write_file(kstest::kRoles[1].primary, "");
    EXPECT_EQ(in_child([&] {
                  ASSERT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);
                  EXPECT_EQ(TELMOR_VAQ_Initialize("HXM"), 0u);
                  EXPECT_EQ(TELMOR_VAQ_Initialize(nullptr), 0u);
                  EXPECT_EQ(g_node_type, 1);
                  EXPECT_STREQ(g_pstFileName.primary, kAgent.primary);
                  EXPECT_EQ(fake::calls("IvexRegFuncEx").size(), 1u);
                  EXPECT_EQ(tvtest::count_api(tvtest::read_log(1), "INFO", "TELMOR VAQ Initialize twice"), 2);
                  EXPECT_EQ(TELMOR_VAQ_Finalize(), 0u);
              }),
              0);
}

struct FailureCase {
    const char *name;
    std::function<void()> arm;
    unsigned long result;
    int nodeType;   // 0 when the role was not reached
    bool pidKnown;  // the failure comes after the pid was recorded
    Messages log;   // the agent's log afterwards, in order
};

// Every failure leaves the library uninitialised with nothing of its own set up
// (pair, reload lock, segment attachment, loaded keystore), so that finalising
// does nothing and a later initialisation starts clean.
TEST_F(InitTest, EachFailingStepUndoesWhatWasSetUp) {
    const std::vector<FailureCase> cases = {
        {"primary path buffer", [] { fault::fail(fault::Point::kMemAlloc, 1); }, 51, 0, false, {}},
        {"standby path buffer", [] { fault::fail(fault::Point::kMemAlloc, 2); }, 51, 0, false, {}},
        {"reload lock", [] { fault::fail(fault::Point::kRwlockInit); }, 1, 1, false, {}},
        {"registration", [] { fake::answer("IvexRegFuncEx", 7); }, 1, 1, false, {}},
        // A segment of the wrong size under the key makes shmget refuse. The
        // process id is recorded first, so the refusal reaches the log.
        {"segment get",
         [] { shmget(kstest::kVersionKey, 16, IPC_CREAT | 0600); },
         1,
         1,
         true,
         {"ERROR|shmget failed with Invalid argument",
          "ERROR|shared segment " + tvtest::ipc_key_text(kstest::kVersionKey) +
              " is 16 bytes, smaller than the 4096 this library needs; not used"}},
        {"segment attach",
         [] { fault::fail(fault::Point::kShmat, 1, ENOMEM); },
         1,
         1,
         true,
         {"ERROR|shmat failed with Cannot allocate memory"}},
        {"keystore load",
         [] { fake::answer("IvexInitializeEx", 5); },
         1,
         1,
         true,
         {"ERROR|IvexInitializeEx failed, ret=5", "INFO|IvexFinalizeEx success, ret=0",
          "INFO|TELMOR_VAQ_Loadkey end, ret  =1", "ERROR|init keystore mem failed"}},
        {"crypto lock array",
         [] { fault::fail(fault::Point::kCryptoMalloc); },
         1,
         1,
         true,
         {"INFO|IvexInitializeEx success, ret=0", "INFO|TELMOR_VAQ_Loadkey end, ret  =0",
          "ERROR|alloc mutex failure for openssl multithread", "INFO|IvexFinalizeEx success, ret=0"}},
        {"crypto mutex",
         [] { fault::fail(fault::Point::kMutexInit, 1, EAGAIN); },
         1,
         1,
         true,
         {"INFO|IvexInitializeEx success, ret=0", "INFO|TELMOR_VAQ_Loadkey end, ret  =0",
          "ERROR|init mutex failure for openssl multithread Resource temporarily unavailable",
          "INFO|IvexFinalizeEx success, ret=0"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        kstest::write_file(kAgent.primary, "");
        EXPECT_EQ(in_child([&] {
                      c.arm();
                      EXPECT_EQ(TELMOR_VAQ_Initialize("HXA"), c.result);
                      EXPECT_EQ(g_init_flag, 0);
                      EXPECT_EQ(g_node_type, c.nodeType);
                      EXPECT_EQ(g_vaq_pid, c.pidKnown ? getpid() : 0);
                      EXPECT_EQ(g_pstFileName.primary, nullptr);
                      EXPECT_EQ(g_pstFileName.standby, nullptr);
                      EXPECT_TRUE(fault::live_blocks().empty());
                      EXPECT_FALSE(fault::reload_lock_log().live);
                      EXPECT_EQ(g_shm_addr, nullptr);
                      EXPECT_EQ(lock_cs, nullptr);
                      EXPECT_EQ(fake::calls("IvexFinalizeEx").size(), fake::calls("IvexInitializeEx").size());
                      EXPECT_EQ(agent_log(), c.log);

                      // Nothing is left for finalisation to take down.
                      const auto calls = fake::calls().size();
                      const int destroys = fault::reload_lock_log().destroys;
                      EXPECT_EQ(TELMOR_VAQ_Finalize(), 0u);
                      EXPECT_EQ(fake::calls().size(), calls);
                      EXPECT_EQ(fault::reload_lock_log().destroys, destroys);

                      fault::clear();
                      fake::reset();
                      kstest::remove_version_segment();
                      EXPECT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);
                      EXPECT_EQ(fault::reload_lock_log().initsWhileLive, 0);
                      EXPECT_EQ(TELMOR_VAQ_Finalize(), 0u);
                  }),
                  0);
    }
}

TEST_F(InitTest, RefusedRegistrationIsLoggedOnceThePidIsKnown) {
    kstest::write_file(kAgent.primary, "");
    EXPECT_EQ(in_child([&] {
                  ASSERT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);
                  ASSERT_EQ(TELMOR_VAQ_Finalize(), 0u);
                  tvtest::clear_log(1);
                  fake::answer("IvexRegFuncEx", 7);
                  EXPECT_EQ(TELMOR_VAQ_Initialize("HXA"), 1u);
                  EXPECT_EQ(agent_log(), Messages{"ERROR|IvexRegFuncEx failed"});
              }),
              0);
}

TEST_F(InitTest, SegmentIsMadeByTheFirstProcessAndLaterOnesStartAtItsVersion) {
    kstest::write_file(kAgent.primary, "");
    EXPECT_EQ(in_child([&] {
                  ASSERT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);
                  EXPECT_EQ(g_self_keystore_version, 0u);
                  shmid_ds ds{};
                  ASSERT_EQ(shmctl(shmget(kstest::kVersionKey, 0, 0), IPC_STAT, &ds), 0);
                  EXPECT_EQ(ds.shm_segsz, 4096u);
                  EXPECT_EQ(ds.shm_perm.mode & 0777, 0600u);
                  *static_cast<uint32_t *>(g_shm_addr) = 41;
                  EXPECT_EQ(TELMOR_VAQ_Finalize(), 0u);
              }),
              0);
    EXPECT_EQ(in_child([&] {
                  ASSERT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);
                  EXPECT_EQ(g_self_keystore_version, 41u);
                  EXPECT_EQ(TELMOR_VAQ_Finalize(), 0u);
              }),
              0);
}

TEST_F(InitTest, FinalizeTakesEverythingDownAndLogsTheLow32BitsOfTheSegment) {
    kstest::write_file(kAgent.primary, "");
    EXPECT_EQ(in_child([&] {
                  ASSERT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);
                  const auto addr = reinterpret_cast<uintptr_t>(g_shm_addr);
                  const int shmid = shmget(kstest::kVersionKey, 0, 0);
                  tvtest::clear_log(1);
                  fake::reset();
                  EXPECT_EQ(TELMOR_VAQ_Finalize(), 0u);
                  EXPECT_EQ(agent_log(),
                            (Messages{"INFO|IvexFinalizeEx success, ret=0", "INFO|destory g_vaq_reload_rwlock success",
                                      "INFO|detach shm_addr " + kstest::hex32(static_cast<uint32_t>(addr)) + " success",
                                      "INFO|TELMOR_VAQ_Finalize ok"}));
                  EXPECT_EQ(fake::call_names(), (std::vector<std::string>{"IvexFinalizeEx"}));
                  EXPECT_EQ(g_init_flag, 0);
                  EXPECT_EQ(g_shm_addr, nullptr);
                  EXPECT_EQ(lock_cs, nullptr);
                  EXPECT_EQ(g_pstFileName.primary, nullptr);
                  EXPECT_TRUE(fault::live_blocks().empty());
                  EXPECT_FALSE(fault::reload_lock_log().live);
                  shmid_ds ds{};
                  ASSERT_EQ(shmctl(shmid, IPC_STAT, &ds), 0);
                  EXPECT_EQ(ds.shm_nattch, 0u);
                  // Kept for the log writer of a later initialisation.
                  EXPECT_EQ(g_node_type, 1);
                  EXPECT_EQ(g_vaq_pid, getpid());
              }),
              0);
}

TEST_F(InitTest, FinalizeWithoutInitializeHasNothingToTakeDown) {
    EXPECT_EQ(in_child([&] {
                  EXPECT_EQ(TELMOR_VAQ_Finalize(), 0u);
                  EXPECT_EQ(fault::reload_lock_log().destroys, 0);
                  EXPECT_TRUE(fake::calls().empty());
              }),
              0);
}

TEST_F(InitTest, FinalizeStopsWhenTheReloadLockCannotBeDestroyed) {
    kstest::write_file(kAgent.primary, "");
    EXPECT_EQ(in_child([&] {
                  ASSERT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);
                  tvtest::clear_log(1);
                  fake::reset();
                  fault::fail(fault::Point::kRwlockDestroy, 1, EBUSY);
                  EXPECT_EQ(TELMOR_VAQ_Finalize(), 1u);
                  EXPECT_EQ(agent_log(), Messages{"ERROR|destory g_vaq_reload_rwlock failure Device or resource busy"});
                  EXPECT_EQ(g_init_flag, 0);
                  EXPECT_EQ(lock_cs, nullptr);
                  EXPECT_EQ(g_pstFileName.primary, nullptr);
                  EXPECT_NE(nullptr, g_shm_addr);
                  EXPECT_TRUE(fake::calls().empty());
                  // The lock is still live: the next initialisation uses it as it is.
                  EXPECT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);
                  EXPECT_EQ(fault::reload_lock_log().initsWhileLive, 0);
                  EXPECT_EQ(TELMOR_VAQ_Finalize(), 0u);
              }),
              0);
}

TEST_F(InitTest, InitializeAfterFinalizeRunsTheWholeInitialisationAgain) {
    kstest::write_file(kAgent.primary, "");
    EXPECT_EQ(in_child([&] {
                  ASSERT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);
                  ASSERT_EQ(TELMOR_VAQ_Finalize(), 0u);
                  ASSERT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);
                  EXPECT_EQ(g_init_flag, 1);
                  EXPECT_EQ(fake::calls("IvexRegFuncEx").size(), 2u);
                  EXPECT_EQ(fake::calls("IvexInitializeEx").size(), 2u);
                  EXPECT_EQ(fault::reload_lock_log().inits, 2);
                  EXPECT_EQ(fault::reload_lock_log().initsWhileLive, 0);
                  ASSERT_NE(nullptr, g_shm_addr);
                  shmid_ds ds{};
                  ASSERT_EQ(shmctl(shmget(kstest::kVersionKey, 0, 0), IPC_STAT, &ds), 0);
                  EXPECT_EQ(ds.shm_nattch, 1u);
                  EXPECT_EQ(tvtest::count_api(tvtest::read_log(1), "INFO", "TELMOR VAQ Initialize success"), 2);
                  EXPECT_EQ(TELMOR_VAQ_Finalize(), 0u);
              }),
              0);
}

TEST_F(InitTest, CryptoLockCallbackLocksAndUnlocksMutexZero) {
    kstest::write_file(kAgent.primary, "");
    EXPECT_EQ(in_child([&] {
                  ASSERT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);
                  ASSERT_NE(nullptr, lock_cs);
                  auto try_from_other_thread = [] {
                      int ret = -1;
                      std::thread([&] {
                          ret = pthread_mutex_trylock(&lock_cs[0]);
                          if (ret == 0) pthread_mutex_unlock(&lock_cs[0]);
                      }).join();
                      return ret;
                  };
                  pthreads_locking_callback(9, 0, "ignored", 1);
                  EXPECT_EQ(try_from_other_thread(), EBUSY);
                  pthreads_locking_callback(10, 0, "ignored", 1);
                  EXPECT_EQ(try_from_other_thread(), 0);
                  pthreads_thread_id(nullptr);
                  EXPECT_EQ(TELMOR_VAQ_Finalize(), 0u);
                  EXPECT_EQ(lock_cs, nullptr);

                  // Without the array the callback reports a bad mutex instead of
                  // touching freed memory; the message keeps its missing line end.
                  tvtest::clear_log(1);
                  pthreads_locking_callback(1, 0, "ignored", 1);
                  pthreads_locking_callback(0, 0, "ignored", 1);
                  std::ifstream in(tvtest::log_path(1));
                  std::stringstream text;
                  text << in.rdbuf();
                  EXPECT_NE(std::string::npos, text.str().find("thread lock call back failure Invalid argument["));
                  EXPECT_NE(std::string::npos, text.str().find("thread unlock callback failure Invalid argument"));
              }),
              0);
}

}  // namespace
