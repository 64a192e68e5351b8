// SPDX-License-Identifier: Apache-2.0
// Keystore load and domain provisioning against the scripted key-library
// fake: the exact calls, records and log lines, and every way a load fails.
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_keylib.h"
#include "keystore_files.h"
#include "ks_test_util.h"
#include "log_reader.h"
#include "node_layout.h"
#include "telmor_vaq_api.h"

namespace {

using Messages = std::vector<std::string>;
using Names = std::vector<std::string>;

using Domain = node_layout::DomainLayout;
using node_layout::kDomains;

void put32(std::vector<uint8_t> &bytes, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// The 141-byte domain record as the key library reads it (little-endian host).
std::vector<uint8_t> domain_record(const Domain &d) {
    std::vector<uint8_t> bytes(141, 0);
    put32(bytes, 0, d.id);
    bytes[4] = 1;
    std::memcpy(&bytes[5], d.name, std::strlen(d.name));
    return bytes;
}

// The 18-byte key-type record: 3, 112 and 3650 at offsets 0, 2 and 6.
std::vector<uint8_t> key_type_record() {
    std::vector<uint8_t> bytes(18, 0);
    bytes[0] = 3;
    put32(bytes, 2, 112);
    put32(bytes, 6, 3650);
    return bytes;
}

Messages agent_log() { return tvtest::api_messages(tvtest::read_log(1)); }

// The library is initialised against the fake (so log lines reach the agent's
// file), then the fake and the log are cleared for the load under test.
class LoadTest : public ::testing::Test {
protected:
    void SetUp() override {
        kstest::write_file(kstest::kAgent.primary, "");
        fake::reset();
        ASSERT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);
        fake::reset();
        tvtest::clear_log(1);
    }
    void TearDown() override {
        fake::reset();
        TELMOR_VAQ_Finalize();
    }
};

TEST_F(LoadTest, EveryLoadRemovesDomainsZeroAndOneAndProvisionsTheTwelveInOrder) {
    // A second load on the keystore the first provisioned does exactly the same.
    for (int load = 1; load <= 2; ++load) {
        SCOPED_TRACE("load " + std::to_string(load));
        fake::reset();
        tvtest::clear_log(1);
        ASSERT_EQ(TELMOR_VAQ_Loadkeystore(), 0u);
        const auto calls = fake::calls();
        ASSERT_EQ(calls.size(), 2u + 2u + 24u);
        EXPECT_EQ(calls[0].fn, "IvexInitializeEx");
        EXPECT_EQ(calls[0].args, (std::vector<uint64_t>{0, reinterpret_cast<uintptr_t>(&g_pstFileName), 0, 0}));
        EXPECT_EQ(calls[1].fn, "IvexSetRole");
        EXPECT_EQ(calls[1].args, std::vector<uint64_t>{1});
        EXPECT_EQ(calls[2].fn, "VaqRmvDomainEx");
        EXPECT_EQ(calls[2].args, std::vector<uint64_t>{0});
        EXPECT_EQ(calls[3].fn, "VaqRmvDomainEx");
        EXPECT_EQ(calls[3].args, std::vector<uint64_t>{1});
        for (size_t i = 0; i < 12; ++i) {
            SCOPED_TRACE(kDomains[i].name);
            const auto &add = calls[4 + 2 * i];
            const auto &type = calls[5 + 2 * i];
            EXPECT_EQ(add.fn, "VaqAddDomainEx");
            EXPECT_EQ(add.bytes, domain_record(kDomains[i]));
            EXPECT_EQ(type.fn, "VaqAddDomainKeyTypeEx");
            EXPECT_EQ(type.args[0], kDomains[i].id);
            EXPECT_EQ(type.bytes, key_type_record());
        }
        EXPECT_EQ(agent_log(),
                  (Messages{"INFO|IvexInitializeEx success, ret=0", "INFO|TELMOR_VAQ_Loadkey end, ret  =0"}));
    }
}

struct LoadFailure {
    const char *name;
    std::function<void()> script;
    Names calls;   // the key-library calls, in order
    Messages log;  // the load's log lines, in order
};

Names provisioning_up_to(size_t domains, bool lastKeyType) {
    Names names = {"IvexInitializeEx", "IvexSetRole", "VaqRmvDomainEx", "VaqRmvDomainEx"};
    for (size_t i = 0; i < domains; ++i) {
        names.push_back("VaqAddDomainEx");
        if (i + 1 < domains || lastKeyType) names.push_back("VaqAddDomainKeyTypeEx");
    }
    names.push_back("IvexFinalizeEx");
    return names;
}

// Each failure is logged where it is met, the key library is finalised, and
// the load answers 1 whatever the key library's code was.
TEST_F(LoadTest, EachFailureUnloadsAndAnswersOne) {
    const std::vector<LoadFailure> cases = {
        {"IvexInitializeEx refused",
         [] { fake::answer("IvexInitializeEx", 9); },
         {"IvexInitializeEx", "IvexFinalizeEx"},
         {"ERROR|IvexInitializeEx failed, ret=9", "INFO|IvexFinalizeEx success, ret=0",
          "INFO|TELMOR_VAQ_Loadkey end, ret  =1"}},
        {"domain 0 not removed",
         [] { fake::queue("VaqRmvDomainEx", {4}); },
         {"IvexInitializeEx", "IvexSetRole", "VaqRmvDomainEx", "IvexFinalizeEx"},
         {"INFO|IvexInitializeEx success, ret=0", "ERROR|VaqRmvDomainEx failed, ret=4",
          "ERROR|TELMOR_VAQ_delete_domain failed, ret=4", "INFO|IvexFinalizeEx success, ret=0",
          "INFO|TELMOR_VAQ_Loadkey end, ret  =1"}},
        {"domain 1 not removed",
         [] {
             fake::queue("VaqRmvDomainEx", {0, 6});
         },
         {"IvexInitializeEx", "IvexSetRole", "VaqRmvDomainEx", "VaqRmvDomainEx", "IvexFinalizeEx"},
         {"INFO|IvexInitializeEx success, ret=0", "ERROR|VaqRmvDomainEx failed, ret=6",
          "ERROR|TELMOR_VAQ_delete_domain failed, ret=6", "INFO|IvexFinalizeEx success, ret=0",
          "INFO|TELMOR_VAQ_Loadkey end, ret  =1"}},
        {"third domain refused",
         [] {
             fake::queue("VaqAddDomainEx", {0, 0, 77});
         },
         provisioning_up_to(3, false),
         {"INFO|IvexInitializeEx success, ret=0", "ERROR|TELMOR_VAQ_add_domain failed, ret=77",
          "INFO|IvexFinalizeEx success, ret=0", "INFO|TELMOR_VAQ_Loadkey end, ret  =1"}},
        {"key type of GAL_TRANSFER refused",
         [] {
             fake::on("VaqAddDomainKeyTypeEx",
                      [](const fake::Call &c) -> unsigned long { return c.args[0] == 102 ? 21 : 0; });
         },
         provisioning_up_to(9, true),
         {"INFO|IvexInitializeEx success, ret=0", "ERROR|TELMOR_VAQ_add_domain failed, ret=21",
          "INFO|IvexFinalizeEx success, ret=0", "INFO|TELMOR_VAQ_Loadkey end, ret  =1"}},
        // An add's code is taken as a signed 32-bit value.
        {"domain refused with a negative code",
         [] { fake::answer("VaqAddDomainEx", 0xFFFFFFFFul); },
         provisioning_up_to(1, false),
         {"INFO|IvexInitializeEx success, ret=0",
          "ERROR|TELMOR_VAQ_add_domain failed, ret=" + std::to_string(ULONG_MAX), "INFO|IvexFinalizeEx success, ret=0",
          "INFO|TELMOR_VAQ_Loadkey end, ret  =1"}},
        // A code whose low 32 bits are zero must not pass for success.
        {"key type refused with a code above 32 bits",
         [] { fake::answer("VaqAddDomainKeyTypeEx", 1ul << 32); },
         provisioning_up_to(1, true),
         {"INFO|IvexInitializeEx success, ret=0", "ERROR|TELMOR_VAQ_add_domain failed, ret=1",
          "INFO|IvexFinalizeEx success, ret=0", "INFO|TELMOR_VAQ_Loadkey end, ret  =1"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        fake::reset();
        tvtest::clear_log(1);
        c.script();
        EXPECT_EQ(TELMOR_VAQ_Loadkeystore(), 1u);
        EXPECT_EQ(fake::call_names(), c.calls);
        EXPECT_EQ(agent_log(), c.log);
    }
}

TEST_F(LoadTest, KeyTypeFailureKeepsTheDomainsAddedBeforeIt) {
    fake::on("VaqAddDomainKeyTypeEx", [](const fake::Call &c) -> unsigned long { return c.args[0] == 102 ? 21 : 0; });
    EXPECT_EQ(TELMOR_VAQ_add_domain(), 21u);
    std::vector<uint32_t> added, typed;
    for (const auto &c : fake::calls("VaqAddDomainEx")) {
        uint32_t id;
        std::memcpy(&id, c.bytes.data(), 4);
        added.push_back(id);
    }
    for (const auto &c : fake::calls("VaqAddDomainKeyTypeEx")) typed.push_back(static_cast<uint32_t>(c.args[0]));
    // Every domain up to and including the one whose key type failed.
    std::vector<uint32_t> upToFailed;
    for (const Domain &d : kDomains) {
        upToFailed.push_back(d.id);
        if (d.id == 102) break;
    }
    ASSERT_LT(upToFailed.size(), kDomains.size());
    EXPECT_EQ(added, upToFailed);
    EXPECT_EQ(typed, upToFailed);
    EXPECT_TRUE(agent_log().empty());
}

TEST_F(LoadTest, RemovalAndUnloadPassTheKeyLibraryCodeOnUnchanged) {
    fake::answer("IvexFinalizeEx", 13);
    EXPECT_EQ(TELMOR_VAQ_Unloadkeystore(), 13u);
    EXPECT_EQ(agent_log(), Messages{"INFO|IvexFinalizeEx success, ret=13"});

    fake::queue("VaqRmvDomainEx", {1ul << 32});
    EXPECT_EQ(TELMOR_VAQ_delete_domain(), 1ul << 32);
    EXPECT_EQ(TELMOR_VAQ_delete_domain(), 0u);
    EXPECT_EQ(fake::call_names(), (Names{"IvexFinalizeEx", "VaqRmvDomainEx", "VaqRmvDomainEx", "VaqRmvDomainEx"}));
}

}  // namespace
