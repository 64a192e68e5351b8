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
        ASSERT_EQ(0u, TELMOR_VAQ_Initialize("HXA"));
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
    EXPECT_EQ(nullptr, t.unused1);
    EXPECT_EQ(nullptr, t.unused2);
    EXPECT_EQ(nullptr, t.unused3);
    EXPECT_EQ(nullptr, t.unused26);
    EXPECT_EQ(&tv::APP_Fopen, t.fopen_fn);
    EXPECT_EQ(&tv::APP_Fclose, t.fclose_fn);
    EXPECT_EQ(&tv::APP_Fread, t.fread_fn);
    EXPECT_EQ(&tv::APP_Fwrite, t.fwrite_fn);
    EXPECT_EQ(&tv::APP_Fflush, t.fflush_fn);
    EXPECT_EQ(&tv::APP_Fremove, t.fremove_fn);
    EXPECT_EQ(&tv::APP_Ftell, t.ftell_fn);
    EXPECT_EQ(&tv::APP_Fseek, t.fseek_fn);
    EXPECT_EQ(&tv::APP_Feof, t.feof_fn);
    EXPECT_EQ(&tv::APP_Ferrno, t.ferrno_fn);
    EXPECT_EQ(&tv::APP_Fexist, t.fexist_fn);
    EXPECT_EQ(&Telmor_Create_Lock, t.create_lock_fn);
    EXPECT_EQ(&Telmor_Destroy_Lock, t.destroy_lock_fn);
    EXPECT_EQ(&Telmor_Add_Lock, t.add_lock_fn);
    EXPECT_EQ(&Telmor_Release_Lock, t.release_lock_fn);
    EXPECT_EQ(&Telmor_Create_Pro_Lock, t.create_pro_lock_fn);
    EXPECT_EQ(&Telmor_Destroy_Pro_Lock, t.destroy_pro_lock_fn);
    EXPECT_EQ(&Telmor_Add_Pro_Lock, t.add_pro_lock_fn);
    EXPECT_EQ(&Telmor_Release_Pro_Lock, t.release_pro_lock_fn);
    EXPECT_EQ(&APP_WriLog, t.wrilog_fn);
    EXPECT_EQ(&APP_RecvNotify, t.recv_notify_fn);
    EXPECT_EQ(&APP_DoEvents, t.do_events_fn);
    EXPECT_EQ(&tv::APP_GetEntropy, t.get_entropy_fn);
    EXPECT_EQ(&tv::APP_CleanupEntropy, t.cleanup_entropy_fn);
    EXPECT_EQ(&tv::APP_GmTimeSafe, t.gmtime_fn);
}

TEST_F(ReloadTest, InStepCheckLogsNothingCallsNothingAndTakesNoLock) {
    // With the writer side held by this thread, any lock the check took
    // would fail or block.
    ASSERT_EQ(0, wrlock_vaq_mem());
    EXPECT_EQ(0u, check_modified_and_load_key());
    EXPECT_EQ(0, unlock_vaq_mem());
    EXPECT_TRUE(agent_log().empty());
    EXPECT_TRUE(fake::calls().empty());
}

TEST_F(ReloadTest, CheckRefusesOnlyWhenNotInitialised) {
    ASSERT_EQ(0u, TELMOR_VAQ_Finalize());
    tvtest::clear_log(1);
    EXPECT_EQ(1u, check_modified_and_load_key());
    EXPECT_EQ(Messages{"ERROR|TELMOR VAQ not Initialize"}, agent_log());
    EXPECT_TRUE(fake::calls("IvexInitializeEx").empty());
}

TEST_F(ReloadTest, ProcessBehindReloadsOnceAndIsInStepAgain) {
    shared_word() = 5;
    g_self_keystore_version = 5;
    other_process_announces();
    EXPECT_EQ(0u, check_modified_and_load_key());
    EXPECT_EQ(behind_then_reload(5, 6), agent_log());
    EXPECT_EQ(6u, g_self_keystore_version);
    const Names reload = fake::call_names();
    ASSERT_GE(reload.size(), 2u);
    EXPECT_EQ("IvexFinalizeEx", reload[0]);
    EXPECT_EQ("IvexInitializeEx", reload[1]);
    EXPECT_EQ(1u + 28u, reload.size());  // the unload, then a load that provisions 12 domains

    tvtest::clear_log(1);
    fake::reset();
    EXPECT_EQ(0u, check_modified_and_load_key());
    EXPECT_TRUE(agent_log().empty());
    EXPECT_TRUE(fake::calls().empty());
}

TEST_F(ReloadTest, UpdateShmMakesTheCallingProcessReloadToo) {
    const uint32_t before = shared_word();
    const uint32_t own = g_self_keystore_version;
    EXPECT_EQ(0u, TELMOR_update_shm());
    EXPECT_EQ(before + 1, shared_word());
    EXPECT_EQ(own, g_self_keystore_version);
    EXPECT_EQ(0u, check_modified_and_load_key());
    EXPECT_EQ(0u, check_modified_and_load_key());
    Messages expected = {"INFO| update shm version over , " + std::to_string(before + 1)};
    const Messages reload = behind_then_reload(own, before + 1);
    expected.insert(expected.end(), reload.begin(), reload.end());
    EXPECT_EQ(expected, agent_log());
    EXPECT_EQ(1u, fake::calls("IvexInitializeEx").size());
}

TEST_F(ReloadTest, VersionWrapsFromAllOnesToZeroAndCountsAsAChange) {
    shared_word() = 0xFFFFFFFFu;
    g_self_keystore_version = 0xFFFFFFFFu;
    EXPECT_EQ(0u, TELMOR_update_shm());
    EXPECT_EQ(0u, shared_word());
    EXPECT_EQ(0u, check_modified_and_load_key());
    Messages expected = {"INFO| update shm version over , 0"};
    const Messages reload = behind_then_reload(0xFFFFFFFFu, 0);
    expected.insert(expected.end(), reload.begin(), reload.end());
    EXPECT_EQ(expected, agent_log());
    EXPECT_EQ(0u, g_self_keystore_version);
}

TEST_F(ReloadTest, UpdateShmAfterFinalisationIsRefused) {
    const uint32_t before = shared_word();
    ASSERT_EQ(0u, TELMOR_VAQ_Finalize());
    tvtest::clear_log(1);
    EXPECT_EQ(1u, TELMOR_update_shm());
    EXPECT_EQ(Messages{"ERROR|TELMOR VAQ not Initialize"}, agent_log());
    EXPECT_EQ(before, kstest::peek_shared_version());
}

TEST_F(ReloadTest, AnnounceAdoptsOnlyWhenTheProcessWasInStep) {
    shared_word() = 10;
    g_self_keystore_version = 10;
    EXPECT_EQ(11u, tv::announce_keystore_change(true));
    EXPECT_EQ(11u, g_self_keystore_version);

    // Another process's change is not loaded yet: the count covers it too, so
    // this process stays behind and reloads at its next check.
    other_process_announces();
    EXPECT_EQ(13u, tv::announce_keystore_change(true));
    EXPECT_EQ(11u, g_self_keystore_version);

    EXPECT_EQ(14u, tv::announce_keystore_change(false));
    EXPECT_EQ(11u, g_self_keystore_version);
    EXPECT_EQ(14u, tv::shared_keystore_version());

    shared_word() = 0xFFFFFFFFu;
    g_self_keystore_version = 0xFFFFFFFFu;
    EXPECT_EQ(0u, tv::announce_keystore_change(true));
    EXPECT_EQ(0u, g_self_keystore_version);
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
    EXPECT_EQ(0u, check_modified_and_load_key());
    EXPECT_EQ(21u, g_self_keystore_version);
    EXPECT_EQ(0u, check_modified_and_load_key());
    EXPECT_EQ(22u, g_self_keystore_version);
    EXPECT_EQ(0u, check_modified_and_load_key());
    EXPECT_EQ(2u, fake::calls("IvexInitializeEx").size());
    EXPECT_EQ(2, tvtest::count_api(tvtest::read_log(1), "INFO", "TELMOR_VAQ_Loadkey end, ret  =0"));
}

TEST_F(ReloadTest, FailedLoadStillCompletesTheReload) {
    other_process_announces();
    fake::answer("IvexInitializeEx", 8);
    EXPECT_EQ(0u, check_modified_and_load_key());
    EXPECT_EQ(shared_word(), g_self_keystore_version);
    const Messages log = agent_log();
    ASSERT_EQ(5u, log.size());
    EXPECT_EQ("INFO|IvexFinalizeEx success, ret=0", log[1]);
    EXPECT_EQ("ERROR|IvexInitializeEx failed, ret=8", log[2]);
    EXPECT_EQ("INFO|TELMOR_VAQ_Loadkey end, ret  =1", log[4]);
}

// That failed load left no keystore in memory, so the next check loads again
// although the versions agree, and stops once a load has worked.
TEST_F(ReloadTest, AfterAFailedLoadTheNextCheckLoadsAgain) {
    other_process_announces();
    fake::answer("IvexInitializeEx", 8);
    EXPECT_EQ(0u, check_modified_and_load_key());
    EXPECT_EQ(1u, fake::calls("IvexInitializeEx").size());
    fake::answer("IvexInitializeEx", 0);
    EXPECT_EQ(0u, check_modified_and_load_key());
    EXPECT_EQ(2u, fake::calls("IvexInitializeEx").size());
    EXPECT_EQ(0u, check_modified_and_load_key());
    EXPECT_EQ(2u, fake::calls("IvexInitializeEx").size());
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
        {"both missing", nullptr, nullptr, false,
         {"ERROR|stat " + p + missing, "ERROR|stat " + s + missing, "ERROR|two keystore not exist, will not reload"}},
        {"both empty", "", "", false,
         {"ERROR|stat " + p + " empty", "ERROR|stat " + s + " empty",
          "ERROR|two keystore not exist, will not reload"}},
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
            EXPECT_EQ(0u, check_modified_and_load_key());
            Messages expected = {behind_then_reload(own, node).front()};
            expected.insert(expected.end(), c.lines.begin(), c.lines.end());
            if (c.reloads) expected.insert(expected.end(), kReloadLines.begin(), kReloadLines.end());
            EXPECT_EQ(expected, agent_log());
            EXPECT_EQ(c.reloads ? node : own, g_self_keystore_version);
            EXPECT_EQ(c.reloads, !fake::calls().empty());
        }
    }
}

TEST_F(ReloadTest, ReloadWithoutAPairIsRefusedBeforeTheLock) {
    ASSERT_EQ(0u, TELMOR_VAQ_Finalize());
    tvtest::clear_log(1);
    fake::reset();
    EXPECT_EQ(1u, reload_keystore_mem());
    EXPECT_EQ(Messages{"ERROR|two keystore not exist, will not reload"}, agent_log());
    EXPECT_TRUE(fake::calls().empty());
}

TEST_F(ReloadTest, ReloadThatCannotTakeTheWriterLockLeavesTheProcessBehind) {
    other_process_announces();
    const uint32_t own = g_self_keystore_version;
    // The writer side is refused to the thread that already holds it.
    ASSERT_EQ(0, wrlock_vaq_mem());
    EXPECT_EQ(1u, reload_keystore_mem());
    EXPECT_EQ(0, unlock_vaq_mem());
    EXPECT_EQ(Messages{"ERROR|wrlock g_vaq_reload_rwlock error, ret=35, error Resource deadlock avoided"},
              agent_log());
    EXPECT_EQ(own, g_self_keystore_version);
    EXPECT_TRUE(fake::calls().empty());
}

TEST(IsFileError, AnswersZeroOnlyForAnExistingNonEmptyFile) {
    const std::string dir = "/opt/telmor/agent/conf/vaq/conf/";
    kstest::write_file(dir + "full", "x");
    kstest::write_file(dir + "empty", "");
    kstest::remove_file(dir + "link");
    ASSERT_EQ(0, symlink((dir + "full").c_str(), (dir + "link").c_str()));
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
    ASSERT_EQ(0u, TELMOR_VAQ_Initialize("HXA"));
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path ? c.path : "null");
        tvtest::clear_log(1);
        EXPECT_EQ(c.result, is_file_error(c.path));
        EXPECT_EQ(c.log, agent_log());
    }
    TELMOR_VAQ_Finalize();
}

}  // namespace
