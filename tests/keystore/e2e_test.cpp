// SPDX-License-Identifier: Apache-2.0
// Keystore state end to end: the main library over our own key libraries, in
// several real processes sharing one node (the sandbox).
#include <sys/prctl.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "child.h"
#include "keystore_files.h"
#include "ks_test_util.h"
#include "log_reader.h"
#include "node_layout.h"
#include "telmor_vaq_api.h"

namespace {

using kstest::in_child;

const std::set<uint32_t> kDomainIds = [] {
    std::set<uint32_t> ids;
    for (const auto &d : node_layout::kDomains) ids.insert(d.id);
    return ids;
}();

std::set<uint32_t> domain_ids() {
    HX_VAQ_DOMAIN_LIST *list = nullptr;
    std::set<uint32_t> ids;
    EXPECT_EQ(TELMOR_VAQ_Query_Domain_Info(&list), 0u);
    if (list == nullptr) return ids;
    for (int32_t i = 0; i < list->count; ++i) ids.insert(list->items[i]->domainId);
    EXPECT_EQ(ids.size(), static_cast<size_t>(list->count));
    HX_VAQ_DOMAIN_FREE_ARRAY(list->items, list->count);
    HX_VAQ_MemFree(__LINE__, __FILE__, list);
    return ids;
}

// Domain id -> ids of its active master keys.
std::map<uint32_t, std::vector<uint32_t>> active_keys() {
    HX_VAQ_MK_LIST *list = nullptr;
    std::map<uint32_t, std::vector<uint32_t>> active;
    EXPECT_EQ(TELMOR_VAQ_Query_Mk_Info(&list), 0u);
    if (list == nullptr) return active;
    for (int32_t i = 0; i < list->count; ++i) {
        if (list->items[i]->mkAttrA == 1) active[list->items[i]->domainId].push_back(list->items[i]->keyId);
    }
    HX_VAQ_MK_FREE_ARRAY(list->items, list->count);
    HX_VAQ_MemFree(__LINE__, __FILE__, list);
    return active;
}

// Gives a child process a name of its own, so that it writes a log file of
// its own (the file is named after the process).
void name_process(const std::string &name) { prctl(PR_SET_NAME, name.c_str(), 0, 0, 0); }

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        for (const auto &r : kstest::kRoles) {
            kstest::remove_file(r.primary);
            kstest::remove_file(r.standby);
        }
        kstest::remove_version_segment();
    }
};

TEST_F(EndToEnd, FreshNodeProvisionsTwelveDomainsWithAnActiveKeyInEachRole) {
    for (const auto &r : kstest::kRoles) {
        SCOPED_TRACE(r.role);
        // A fresh node: empty keystore directories and an empty primary file.
        kstest::write_file(r.primary, "");
        EXPECT_EQ(in_child([&] {
                      ASSERT_EQ(TELMOR_VAQ_Initialize(r.role), 0u);
                      EXPECT_EQ(domain_ids(), kDomainIds);
                      const auto active = active_keys();
                      EXPECT_EQ(active.size(), kDomainIds.size());
                      for (const auto &[domain, keys] : active) {
                          EXPECT_EQ(keys.size(), 1u) << "domain " << domain;
                      }
                      EXPECT_EQ(TELMOR_VAQ_Finalize(), 0u);
                  }),
                  0);
        EXPECT_EQ(is_file_error(r.primary), 0);
        EXPECT_EQ(is_file_error(r.standby), 0);
    }
}

TEST_F(EndToEnd, InitializeFinalizeInitializeKeepsTheKeystore) {
    kstest::write_file(kstest::kAgent.primary, "");
    EXPECT_EQ(in_child([&] {
                  ASSERT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);
                  const auto first = active_keys();
                  ASSERT_EQ(TELMOR_VAQ_Finalize(), 0u);
                  ASSERT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);
                  EXPECT_EQ(domain_ids(), kDomainIds);
                  EXPECT_EQ(active_keys(), first);
                  EXPECT_EQ(TELMOR_VAQ_Finalize(), 0u);
              }),
              0);
}

struct Announcement {
    const char *name;
    uint32_t start;  // the shared version before any process starts
};

// Several processes in step; one announces a change; at their next checks
// each, the announcer included, reloads exactly once and is in step again.
TEST_F(EndToEnd, AnnouncedChangeMakesEveryProcessReloadOnce) {
    for (const Announcement &a : {Announcement{"from zero", 0}, Announcement{"wrapping", 0xFFFFFFFFu}}) {
        SCOPED_TRACE(a.name);
        SetUp();
        kstest::write_file(kstest::kAgent.primary, "");
        kstest::poke_shared_version(a.start);
        constexpr int kProcesses = 3;
        tvtest::Gate ready[kProcesses], go[kProcesses], announced;
        std::vector<pid_t> pids;
        for (int i = 0; i < kProcesses; ++i) {
            pids.push_back(tvtest::spawn([&, i] {
                name_process("ks_node" + std::to_string(i));
                tvtest::clear_log(1);
                if (TELMOR_VAQ_Initialize("HXA") != 0) return 2;
                if (g_self_keystore_version != a.start) return 3;
                ready[i].post();
                if (!go[i].wait()) return 4;
                if (i == 0) {
                    if (TELMOR_update_shm() != 0) return 5;
                    announced.post();
                    if (!go[i].wait()) return 4;
                }
                if (check_modified_and_load_key() != 0 || check_modified_and_load_key() != 0) return 6;
                const auto log = tvtest::read_log(1);
                const uint32_t next = a.start + 1;
                const std::string behind = "self version " + std::to_string(static_cast<int32_t>(a.start)) +
                                           ", node version " + std::to_string(static_cast<int32_t>(next));
                if (tvtest::count_api(log, "INFO", behind) != 1) return 7;
                // The first load at initialisation, and the reload.
                if (tvtest::count_api(log, "INFO", "TELMOR_VAQ_Loadkey end, ret  =0") != 2) return 8;
                if (g_self_keystore_version != next) return 9;
                return TELMOR_VAQ_Finalize() == 0 ? 0 : 10;
            }));
        }
        for (auto &gate : ready) ASSERT_TRUE(gate.wait());
        go[0].post();
        ASSERT_TRUE(announced.wait());
        for (auto &gate : go) gate.post();
        for (int i = 0; i < kProcesses; ++i) EXPECT_EQ(tvtest::wait_child(pids[i]), 0) << "process " << i;
        EXPECT_EQ(kstest::peek_shared_version(), a.start + 1);
    }
}

TEST_F(EndToEnd, LaterProcessStartsAtTheSharedVersion) {
    kstest::write_file(kstest::kAgent.primary, "");
    tvtest::Gate announced, joined;
    const pid_t first = tvtest::spawn([&] {
        if (TELMOR_VAQ_Initialize("HXA") != 0) return 2;
        for (int i = 0; i < 3; ++i) TELMOR_update_shm();
        announced.post();
        if (!joined.wait()) return 4;
        return TELMOR_VAQ_Finalize() == 0 ? 0 : 5;
    });
    ASSERT_TRUE(announced.wait());
    EXPECT_EQ(in_child([&] {
                  name_process("ks_later");
                  tvtest::clear_log(1);
                  ASSERT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);
                  EXPECT_EQ(g_self_keystore_version, 3u);
                  EXPECT_EQ(check_modified_and_load_key(), 0u);
                  EXPECT_EQ(tvtest::count_api(tvtest::read_log(1), "INFO", "TELMOR_VAQ_Loadkey end, ret  =0"), 1);
                  EXPECT_EQ(TELMOR_VAQ_Finalize(), 0u);
              }),
              0);
    joined.post();
    EXPECT_EQ(tvtest::wait_child(first), 0);
}

TEST_F(EndToEnd, ConcurrentAnnouncementsLoseNoIncrement) {
    kstest::write_file(kstest::kAgent.primary, "");
    constexpr int kProcesses = 4;
    constexpr int kEach = 500;
    tvtest::Gate ready[kProcesses], go[kProcesses];
    std::vector<pid_t> pids;
    for (int i = 0; i < kProcesses; ++i) {
        pids.push_back(tvtest::spawn([&, i] {
            if (TELMOR_VAQ_Initialize("HXA") != 0) return 2;
            ready[i].post();
            if (!go[i].wait()) return 4;
            for (int n = 0; n < kEach; ++n) {
                if (TELMOR_update_shm() != 0) return 5;
            }
            return TELMOR_VAQ_Finalize() == 0 ? 0 : 6;
        }));
    }
    for (auto &gate : ready) ASSERT_TRUE(gate.wait());
    const uint32_t start = kstest::peek_shared_version();
    for (auto &gate : go) gate.post();
    for (int i = 0; i < kProcesses; ++i) EXPECT_EQ(tvtest::wait_child(pids[i]), 0) << "process " << i;
    EXPECT_EQ(kstest::peek_shared_version(), start + kProcesses * kEach);
}

}  // namespace
