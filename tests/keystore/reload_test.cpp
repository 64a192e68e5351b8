// SPDX-License-Identifier: Apache-2.0
// The version check and the reload, the shared-version helpers and the host-
// service table, against the scripted key-library fake with the library's
// internals linked in.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_keylib.h"
#include "host/host_services.h"
#include "keystore/keystore_version.h"
#include "keystore_files.h"
#include "ks_test_util.h"
#include "log_reader.h"
#include "telmor_vaq_api.h"
#include "vaq/vaq_host_services.h"

namespace {

using kstest::kAgent;
using Messages = std::vector<std::string>;
using Names = std::vector<std::string>;

Messages agent_log() { return tvtest::api_messages(tvtest::read_log(1)); }

uint32_t &shared_word() { return *static_cast<uint32_t *>(g_shm_addr); }

const Messages kReloadLines = {"INFO|IvexFinalizeEx success, ret=0", "INFO|IvexInitializeEx success, ret=0",
                               "INFO|TELMOR_VAQ_Loadkey end, ret  =0"};

Messages behind_then_reload(uint32_t own, uint32_t node) {
    Messages m = {"INFO|self version " + std::to_string(static_cast<int32_t>(own)) + ", node version " +
                  std::to_string(static_cast<int32_t>(node))};
    m.insert(m.end(), kReloadLines.begin(), kReloadLines.end());
    return m;
}

class ReloadTest : public ::testing::Test {
protected:
    void SetUp() override {
        kstest::write_file(kAgent.primary, "keystore");
        kstest::remove_file(kAgent.standby);
        fake::reset();
        ASSERT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);
        fake::reset();
        tvtest::clear_log(1);
    }
    void TearDown() override {
        TELMOR_VAQ_Finalize();
        fake::reset();
    }
    // Another process announces a change.
    void other_process_announces() { ++shared_word(); }
};

TEST_F(ReloadTest, HostServiceTableIsFilledSlotBySlot) {
    const VaqHostServices &t = g_pstCallBack;
    EXPECT_EQ(t.unused1, nullptr);
    EXPECT_EQ(t.unused2, nullptr);
    EXPECT_EQ(t.unused3, nullptr);
    EXPECT_EQ(t.unused26, nullptr);
    EXPECT_EQ(t.fopen_fn, &tv::APP_Fopen);
    EXPECT_EQ(t.fclose_fn, &tv::APP_Fclose);
    EXPECT_EQ(t.fread_fn, &tv::APP_Fread);
    EXPECT_EQ(t.fwrite_fn, &tv::APP_Fwrite);
    EXPECT_EQ(t.fflush_fn, &tv::APP_Fflush);
    EXPECT_EQ(t.fremove_fn, &tv::APP_Fremove);
    EXPECT_EQ(t.ftell_fn, &tv::APP_Ftell);
    EXPECT_EQ(t.fseek_fn, &tv::APP_Fseek);
    EXPECT_EQ(t.feof_fn, &tv::APP_Feof);
    EXPECT_EQ(t.ferrno_fn, &tv::APP_Ferrno);
    EXPECT_EQ(t.fexist_fn, &tv::APP_Fexist);
    EXPECT_EQ(t.create_lock_fn, &Telmor_Create_Lock);
    EXPECT_EQ(t.destroy_lock_fn, &Telmor_Destroy_Lock);
    EXPECT_EQ(t.add_lock_fn, &Telmor_Add_Lock);
    EXPECT_EQ(t.release_lock_fn, &Telmor_Release_Lock);
    EXPECT_EQ(t.create_pro_lock_fn, &Telmor_Create_Pro_Lock);
    EXPECT_EQ(t.destroy_pro_lock_fn, &Telmor_Destroy_Pro_Lock);
    EXPECT_EQ(t.add_pro_lock_fn, &Telmor_Add_Pro_Lock);
    EXPECT_EQ(t.release_pro_lock_fn, &Telmor_Release_Pro_Lock);
    EXPECT_EQ(t.wrilog_fn, &APP_WriLog);
    EXPECT_EQ(t.recv_notify_fn, &APP_RecvNotify);
    EXPECT_EQ(t.do_events_fn, &APP_DoEvents);
    EXPECT_EQ(t.get_entropy_fn, &tv::APP_GetEntropy);
    EXPECT_EQ(t.cleanup_entropy_fn, &tv::APP_CleanupEntropy);
    EXPECT_EQ(t.gmtime_fn, &tv::APP_GmTimeSafe);
}

TEST_F(ReloadTest, InStepCheckLogsNothingCallsNothingAndTakesNoLock) {
    // With the writer side held by this thread, any lock the check took
    // would fail or block.
    ASSERT_EQ(wrlock_vaq_mem(), 0);
    EXPECT_EQ(check_modified_and_load_key(), 0u);
    EXPECT_EQ(unlock_vaq_mem(), 0);
    EXPECT_TRUE(agent_log().empty());
    EXPECT_TRUE(fake::calls().empty());
}

TEST_F(ReloadTest, CheckRefusesOnlyWhenNotInitialised) {
    ASSERT_EQ(TELMOR_VAQ_Finalize(), 0u);
    tvtest::clear_log(1);
    EXPECT_EQ(check_modified_and_load_key(), 1u);
    EXPECT_EQ(agent_log(), Messages{"ERROR|TELMOR VAQ not Initialize"});
    EXPECT_TRUE(fake::calls("IvexInitializeEx").empty());
}

TEST_F(ReloadTest, ProcessBehindReloadsOnceAndIsInStepAgain) {
    shared_word() = 5;
    g_self_keystore_version = 5;
    other_process_announces();
    EXPECT_EQ(check_modified_and_load_key(), 0u);
    EXPECT_EQ(agent_log(), behind_then_reload(5, 6));
    EXPECT_EQ(g_self_keystore_version, 6u);
    const Names reload = fake::call_names();
    ASSERT_GE(reload.size(), 2u);
    EXPECT_EQ(reload[0], "IvexFinalizeEx");
    EXPECT_EQ(reload[1], "IvexInitializeEx");
    EXPECT_EQ(reload.size(), 1u + 28u);  // the unload, then a load that provisions 12 domains

    tvtest::clear_log(1);
    fake::reset();
    EXPECT_EQ(check_modified_and_load_key(), 0u);
    EXPECT_TRUE(agent_log().empty());
    EXPECT_TRUE(fake::calls().empty());
}

TEST_F(ReloadTest, UpdateShmMakesTheCallingProcessReloadToo) {
    const uint32_t before = shared_word();
    const uint32_t own = g_self_keystore_version;
    EXPECT_EQ(TELMOR_update_shm(), 0u);
    EXPECT_EQ(shared_word(), before + 1);
    EXPECT_EQ(g_self_keystore_version, own);
    EXPECT_EQ(check_modified_and_load_key(), 0u);
    EXPECT_EQ(check_modified_and_load_key(), 0u);
    Messages expected = {"INFO| update shm version over , " + std::to_string(before + 1)};
    const Messages reload = behind_then_reload(own, before + 1);
    expected.insert(expected.end(), reload.begin(), reload.end());
    EXPECT_EQ(agent_log(), expected);
    EXPECT_EQ(fake::calls("IvexInitializeEx").size(), 1u);
}

TEST_F(ReloadTest, VersionWrapsFromAllOnesToZeroAndCountsAsAChange) {
    shared_word() = 0xFFFFFFFFu;
    g_self_keystore_version = 0xFFFFFFFFu;
    EXPECT_EQ(TELMOR_update_shm(), 0u);
    EXPECT_EQ(shared_word(), 0u);
    EXPECT_EQ(check_modified_and_load_key(), 0u);
    Messages expected = {"INFO| update shm version over , 0"};
    const Messages reload = behind_then_reload(0xFFFFFFFFu, 0);
    expected.insert(expected.end(), reload.begin(), reload.end());
    EXPECT_EQ(agent_log(), expected);
    EXPECT_EQ(g_self_keystore_version, 0u);
}

TEST_F(ReloadTest, UpdateShmAfterFinalisationIsRefused) {
    const uint32_t before = shared_word();
    ASSERT_EQ(TELMOR_VAQ_Finalize(), 0u);
    tvtest::clear_log(1);
    EXPECT_EQ(TELMOR_update_shm(), 1u);
    EXPECT_EQ(agent_log(), Messages{"ERROR|TELMOR VAQ not Initialize"});
    EXPECT_EQ(kstest::peek_shared_version(), before);
}

TEST_F(ReloadTest, AnnounceAdoptsOnlyWhenTheProcessWasInStep) {
    shared_word() = 10;
    g_self_keystore_version = 10;
    EXPECT_EQ(tv::announce_keystore_change(true), 11u);
    EXPECT_EQ(g_self_keystore_version, 11u);

    // Another process's change is not loaded yet: the count covers it too, so
    // this process stays behind and reloads at its next check.
    other_process_announces();
    EXPECT_EQ(tv::announce_keystore_change(true), 13u);
    EXPECT_EQ(g_self_keystore_version, 11u);

    EXPECT_EQ(tv::announce_keystore_change(false), 14u);
    EXPECT_EQ(g_self_keystore_version, 11u);
    EXPECT_EQ(tv::shared_keystore_version(), 14u);

    shared_word() = 0xFFFFFFFFu;
    g_self_keystore_version = 0xFFFFFFFFu;
    EXPECT_EQ(tv::announce_keystore_change(true), 0u);
    EXPECT_EQ(g_self_keystore_version, 0u);
}

TEST_F(ReloadTest, ChangeAnnouncedDuringTheReloadLeadsToOneMoreReload) {
    shared_word() = 20;
    g_self_keystore_version = 20;
    other_process_announces();
    // Another process announces while this one is loading.
    fake::on("IvexSetRole", [this](const fake::Call &) -> unsigned long {
        if (fake::calls("IvexSetRole").size() == 1) other_process_announces();
        return 0;
    });
    EXPECT_EQ(check_modified_and_load_key(), 0u);
    EXPECT_EQ(g_self_keystore_version, 21u);
    EXPECT_EQ(check_modified_and_load_key(), 0u);
    EXPECT_EQ(g_self_keystore_version, 22u);
    EXPECT_EQ(check_modified_and_load_key(), 0u);
    EXPECT_EQ(fake::calls("IvexInitializeEx").size(), 2u);
    EXPECT_EQ(tvtest::count_api(tvtest::read_log(1), "INFO", "TELMOR_VAQ_Loadkey end, ret  =0"), 2);
}

TEST_F(ReloadTest, FailedLoadStillCompletesTheReload) {
    other_process_announces();
    fake::answer("IvexInitializeEx", 8);
    EXPECT_EQ(check_modified_and_load_key(), 0u);
    EXPECT_EQ(g_self_keystore_version, shared_word());
    const Messages log = agent_log();
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[1], "INFO|IvexFinalizeEx success, ret=0");
    EXPECT_EQ(log[2], "ERROR|IvexInitializeEx failed, ret=8");
    EXPECT_EQ(log[4], "INFO|TELMOR_VAQ_Loadkey end, ret  =1");
}

// That failed load left no keystore in memory, so the next check loads again
// although the versions agree, and stops once a load has worked.
TEST_F(ReloadTest, AfterAFailedLoadTheNextCheckLoadsAgain) {
    other_process_announces();
    fake::answer("IvexInitializeEx", 8);
    EXPECT_EQ(check_modified_and_load_key(), 0u);
    EXPECT_EQ(fake::calls("IvexInitializeEx").size(), 1u);
    fake::answer("IvexInitializeEx", 0);
    EXPECT_EQ(check_modified_and_load_key(), 0u);
    EXPECT_EQ(fake::calls("IvexInitializeEx").size(), 2u);
    EXPECT_EQ(check_modified_and_load_key(), 0u);
    EXPECT_EQ(fake::calls("IvexInitializeEx").size(), 2u);
}

struct FileCase {
    const char *name;
    const char *primary;  // content, or null for no file
    const char *standby;
    bool reloads;
    Messages lines;  // between the "self version" line and the reload's own lines
};

TEST_F(ReloadTest, ReloadTestsTheStandbyOnlyWhenThePrimaryIsUnusable) {
    const std::string p = kAgent.primary, s = kAgent.standby;
    const std::string missing = " error No such file or directory";
    const std::vector<FileCase> cases = {
        {"primary good, standby missing", "ks", nullptr, true, {}},
        {"primary missing, standby good", nullptr, "ks", true, {"ERROR|stat " + p + missing}},
        {"primary empty, standby good", "", "ks", true, {"ERROR|stat " + p + " empty"}},
        {"both missing",
         nullptr,
         nullptr,
         false,
         {"ERROR|stat " + p + missing, "ERROR|stat " + s + missing, "ERROR|two keystore not exist, will not reload"}},
        {"both empty",
         "",
         "",
         false,
         {"ERROR|stat " + p + " empty", "ERROR|stat " + s + " empty", "ERROR|two keystore not exist, will not reload"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        kstest::remove_file(p);
        kstest::remove_file(s);
        if (c.primary) kstest::write_file(p, c.primary);
        if (c.standby) kstest::write_file(s, c.standby);
        g_self_keystore_version = shared_word();
        other_process_announces();
        const uint32_t own = g_self_keystore_version, node = shared_word();
        // A refused reload leaves the process behind: the next check tries again.
        for (int attempt = 0; attempt < (c.reloads ? 1 : 2); ++attempt) {
            fake::reset();
            tvtest::clear_log(1);
            EXPECT_EQ(check_modified_and_load_key(), 0u);
            Messages expected = {behind_then_reload(own, node).front()};
            expected.insert(expected.end(), c.lines.begin(), c.lines.end());
            if (c.reloads) expected.insert(expected.end(), kReloadLines.begin(), kReloadLines.end());
            EXPECT_EQ(agent_log(), expected);
            EXPECT_EQ(g_self_keystore_version, c.reloads ? node : own);
            EXPECT_EQ(!fake::calls().empty(), c.reloads);
        }
    }
}

TEST_F(ReloadTest, ReloadWithoutAPairIsRefusedBeforeTheLock) {
    ASSERT_EQ(TELMOR_VAQ_Finalize(), 0u);
    tvtest::clear_log(1);
    fake::reset();
    EXPECT_EQ(reload_keystore_mem(), 1u);
    EXPECT_EQ(agent_log(), Messages{"ERROR|two keystore not exist, will not reload"});
    EXPECT_TRUE(fake::calls().empty());
}

TEST_F(ReloadTest, ReloadThatCannotTakeTheWriterLockLeavesTheProcessBehind) {
    other_process_announces();
    const uint32_t own = g_self_keystore_version;
    // The writer side is refused to the thread that already holds it.
    ASSERT_EQ(wrlock_vaq_mem(), 0);
    EXPECT_EQ(reload_keystore_mem(), 1u);
    EXPECT_EQ(unlock_vaq_mem(), 0);
    EXPECT_EQ(agent_log(), Messages{"ERROR|wrlock g_vaq_reload_rwlock error, ret=35, error Resource deadlock avoided"});
    EXPECT_EQ(g_self_keystore_version, own);
    EXPECT_TRUE(fake::calls().empty());
}

TEST(IsFileError, AnswersZeroOnlyForAnExistingNonEmptyFile) {
    const std::string dir = "/opt/telmor/agent/conf/vaq/conf/";
    kstest::write_file(dir + "full", "x");
    kstest::write_file(dir + "empty", "");
    kstest::remove_file(dir + "link");
    ASSERT_EQ(symlink((dir + "full").c_str(), (dir + "link").c_str()), 0);
    struct Case {
        const char *path;
        int32_t result;
        Messages log;
    };
    const std::string full = dir + "full", empty = dir + "empty", none = dir + "none", link = dir + "link";
    const std::vector<Case> cases = {
        {nullptr, 1, {}},
        {full.c_str(), 0, {}},
        {link.c_str(), 0, {}},
        {empty.c_str(), 1, {"ERROR|stat " + empty + " empty"}},
        {none.c_str(), 1, {"ERROR|stat " + none + " error No such file or directory"}},
    };
    // The log lines need a recorded pid; the keystore itself is not needed.
    kstest::write_file(kAgent.primary, "");
    ASSERT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path ? c.path : "null");
        tvtest::clear_log(1);
        EXPECT_EQ(is_file_error(c.path), c.result);
        EXPECT_EQ(agent_log(), c.log);
    }
    TELMOR_VAQ_Finalize();
}

}  // namespace
