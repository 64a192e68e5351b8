// SPDX-License-Identifier: Apache-2.0
// Crash safety of keystore changes: the writes of a change are cut at every
// byte offset in turn, as a power cut would cut them, and a fresh load must
// find either the state before the change or the state after it.
#include <gtest/gtest.h>

#include "keylib_fixture.h"

using namespace kltest;

namespace {

constexpr size_t kDomainCount = 3;
constexpr uint32_t kDomain = 151;

class Crash : public ::testing::Test {
protected:
    void SetUp() override {
        reset_faults();
        reset_counters();
    }
    void TearDown() override {
        reset_faults();
        unload();
    }
    KeystoreFiles ks;
};

// The state after a create: `before` with the domain's old active key made
// inactive, plus one new active key of 32 bytes in the domain.
bool is_after_create(const std::vector<KeyInfo> &before, const std::vector<KeyInfo> &now) {
    if (now.size() != before.size() + 1) return false;
    for (size_t i = 0; i < before.size(); ++i) {
        KeyInfo expected = before[i];
        if (expected.domain == kDomain) expected.active = false;
        if (!(now[i] == expected)) return false;
    }
    const KeyInfo &added = now.back();
    return added.domain == kDomain && added.active && added.material.size() == 32 &&
           before.end() == std::find_if(before.begin(), before.end(),
                                        [&](const KeyInfo &k) { return k.domain == added.domain && k.id == added.id; });
}

// Cuts every write of one create at each byte offset in turn. With
// `staleStandby`, the standby copy is put back to an older state behind the
// library's back before each create, so the change also has a repair to make.
void cut_every_byte_of_a_create(KeystoreFiles &ks, bool staleStandby) {
    ASSERT_EQ(load(ks, kDomainCount), 0u);
    Bytes older = read_bytes(ks.standby);
    // A change that answered 0 before any cut: it must survive all of them.
    uint32_t committed = 0;
    ASSERT_EQ(VaqCreateMkEx(kDomain, &committed), 0u);
    std::vector<KeyInfo> before = list_keys();
    ASSERT_EQ(unload(), 0u);
    const Bytes primary = read_bytes(ks.primary);
    const Bytes standby = read_bytes(ks.standby);
    auto prepare = [&] {
        write_bytes(ks.primary, primary);
        write_bytes(ks.standby, standby);
        ASSERT_EQ(load(ks, kDomainCount), 0u);
        if (staleStandby) write_bytes(ks.standby, older);
    };

    prepare();
    reset_counters();
    uint32_t id = 0;
    ASSERT_EQ(VaqCreateMkEx(kDomain, &id), 0u);
    const uint64_t total = bytes_written();
    ASSERT_EQ(write_calls(), staleStandby ? 3u : 2u) << "one image per copy, and the repair";
    ASSERT_EQ(unload(), 0u);

    int sawBefore = 0, sawAfter = 0;
    for (uint64_t cut = 0; cut <= total; ++cut) {
        SCOPED_TRACE(cut);
        prepare();
        faults().persistBudget = static_cast<int64_t>(cut);
        VaqCreateMkEx(kDomain, &id);
        unload();
        reset_faults();

        ASSERT_EQ(load(ks, kDomainCount), 0u);
        std::vector<KeyInfo> now = list_keys();
        if (now == before) {
            ++sawBefore;
        } else {
            ASSERT_TRUE(is_after_create(before, now)) << "neither before nor after";
            ++sawAfter;
        }
        ASSERT_NE(std::find_if(now.begin(), now.end(), [&](const KeyInfo &k) { return k.id == committed; }), now.end());
        // The load repaired whichever copy the cut had damaged.
        uint32_t good = 0;
        ASSERT_EQ(VaqCheckKeyStore(0, &good), 0u);
        EXPECT_EQ(good, 3u);
        ASSERT_EQ(unload(), 0u);
    }
    EXPECT_GT(sawBefore, 0);
    EXPECT_GT(sawAfter, 0);
}

TEST_F(Crash, CreateCutAtEveryByteLeavesBeforeOrAfterAndKeepsCommittedKeys) { cut_every_byte_of_a_create(ks, false); }

TEST_F(Crash, CreateOverAnOlderStandbyCutAtEveryByteKeepsCommittedKeys) { cut_every_byte_of_a_create(ks, true); }

// The repair a load makes is cut too: the copy it came from stays valid, so a
// later load still finds the keystore whole.
TEST_F(Crash, RepairCutAtEveryByteLosesNothing) {
    ASSERT_EQ(load(ks, kDomainCount), 0u);
    std::vector<KeyInfo> keys = list_keys();
    ASSERT_EQ(unload(), 0u);
    const Bytes standby = read_bytes(ks.standby);
    Bytes primary = standby;
    primary[primary.size() / 2] ^= 0x40;

    for (uint64_t cut = 0; cut <= standby.size(); ++cut) {
        SCOPED_TRACE(cut);
        write_bytes(ks.primary, primary);
        write_bytes(ks.standby, standby);
        faults().persistBudget = static_cast<int64_t>(cut);
        ASSERT_EQ(load(ks, kDomainCount), 0u);
        EXPECT_EQ(list_keys(), keys);
        unload();
        reset_faults();
        ASSERT_EQ(load(ks, kDomainCount), 0u);
        EXPECT_EQ(list_keys(), keys);
        ASSERT_EQ(unload(), 0u);
    }
}

}  // namespace
