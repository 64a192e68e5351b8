// SPDX-License-Identifier: Apache-2.0
// Several processes on one keystore pair: changes made at once lose nothing,
// and a fresh node started by many processes at once gets one first key per
// domain.
#include <gtest/gtest.h>

#include <fstream>
#include <set>

#include "child.h"
#include "keylib_fixture.h"

using namespace kltest;

namespace {

constexpr int kChildren = 4;

class Processes : public ::testing::Test {
protected:
    void SetUp() override {
        host_table();  // the shared process lock exists before any fork
        reset_faults();
    }
    void TearDown() override { unload(); }
    KeystoreFiles ks;
};

// Starts kChildren children that wait at one gate, so they run `body` together.
std::vector<pid_t> start_together(const std::function<int(int)> &body) {
    tvtest::Gate gate;
    std::vector<tvtest::Gate> ready(kChildren);
    std::vector<pid_t> pids;
    for (int i = 0; i < kChildren; ++i) {
        pids.push_back(tvtest::spawn([&, i] {
            ready[i].post();
            if (!gate.wait()) return 90;
            return body(i);
        }));
    }
    for (auto &r : ready) r.wait();
    for (int i = 0; i < kChildren; ++i) gate.post();
    return pids;
}

TEST_F(Processes, AFreshNodeStartedByManyAtOnceGetsOneFirstKeyPerDomain) {
    auto pids = start_together([&](int) {
        unsigned long rc = load(ks);
        unload();
        return rc == 0 ? 0 : 1;
    });
    for (pid_t pid : pids) EXPECT_EQ(tvtest::wait_child(pid), 0);
    // One node secret, the one on disk, seals the keystore they made.
    ASSERT_EQ(load_in_new_process(ks).code, 0u);
    ASSERT_EQ(load(ks), 0u);
    auto keys = list_keys();
    EXPECT_EQ(keys.size(), 12u);
    for (const auto &d : kDomains) EXPECT_EQ(keys_of(keys, d.id).size(), 1u) << d.id;
}

TEST_F(Processes, KeysCreatedByManyProcessesAtOnceAreAllKept) {
    constexpr int kPerChild = 5;
    constexpr uint32_t kDomain = 101;
    ASSERT_EQ(load(ks), 0u);
    ASSERT_EQ(unload(), 0u);
    auto pids = start_together([&](int i) {
        if (load(ks) != 0) return 1;
        std::ofstream out(ks.dir + "/ids." + std::to_string(i));
        for (int k = 0; k < kPerChild; ++k) {
            uint32_t id = 0;
            if (VaqCreateMkEx(kDomain, &id) != 0) return 2;
            out << id << "\n";
        }
        out.close();
        return unload() == 0 ? 0 : 3;
    });
    for (pid_t pid : pids) EXPECT_EQ(tvtest::wait_child(pid), 0);

    ASSERT_EQ(load(ks), 0u);
    auto keys = keys_of(list_keys(), kDomain);
    std::set<uint32_t> held;
    for (const auto &k : keys) held.insert(k.id);
    EXPECT_EQ(held.size(), keys.size()) << "ids are distinct";
    EXPECT_EQ(keys.size(), 1u + kChildren * kPerChild);
    for (int i = 0; i < kChildren; ++i) {
        std::ifstream in(ks.dir + "/ids." + std::to_string(i));
        uint32_t id;
        int n = 0;
        while (in >> id) {
            EXPECT_TRUE(held.count(id)) << "key " << id << " of child " << i << " lost";
            ++n;
        }
        EXPECT_EQ(n, kPerChild);
    }
    int active = 0;
    for (const auto &k : keys) active += k.active;
    EXPECT_EQ(active, 1);
}

// This process loaded before another one created a key: its keystore in
// memory lacks that key (268) until it reloads, and its own next change takes
// the other key in rather than writing over it.
TEST_F(Processes, AKeyFromAnotherProcessIs268UntilReloadAndIsNeverWrittenOver) {
    constexpr uint32_t kDomain = 104;
    ASSERT_EQ(load(ks), 0u);
    const Bytes plain{9, 8, 7, 6, 5};
    std::string cipherFile = ks.dir + "/cipher";
    std::string idFile = ks.dir + "/id";
    ASSERT_EQ(tvtest::run_in_child([&] {
                  unload();  // the copy of the parent's state that fork gave us
                  if (load(ks) != 0) return 1;
                  uint32_t id = 0;
                  if (VaqCreateMkEx(kDomain, &id) != 0) return 2;
                  write_bytes(cipherFile, encrypt(kDomain, plain));
                  std::ofstream(idFile) << id;
                  return unload() == 0 ? 0 : 3;
              }),
              0);
    uint32_t theirs = 0;
    std::ifstream(idFile) >> theirs;
    Bytes cipher = read_bytes(cipherFile);
    Bytes out;
    EXPECT_EQ(decrypt(kDomain, cipher, &out), static_cast<unsigned long>(QOR_ERR_KEY_NOT_LOADED));

    uint32_t mine = 0;
    ASSERT_EQ(VaqCreateMkEx(kDomain, &mine), 0u);
    auto keys = keys_of(list_keys(), kDomain);
    ASSERT_EQ(keys.size(), 3u);
    EXPECT_EQ(keys[1].id, theirs);
    EXPECT_EQ(keys[2].id, mine);
    EXPECT_TRUE(keys[2].active);
    // Taking the other process's key in made it usable here too.
    ASSERT_EQ(decrypt(kDomain, cipher, &out), 0u);
    EXPECT_EQ(out, plain);

    ASSERT_EQ(unload(), 0u);
    ASSERT_EQ(load(ks), 0u);
    EXPECT_EQ(keys_of(list_keys(), kDomain), keys);
}

}  // namespace
