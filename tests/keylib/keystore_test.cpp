// Loading, provisioning and the master-key operations of libhxbVaq.so.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <set>

#include "keylib_fixture.h"

using namespace kltest;

namespace {

class Keystore : public ::testing::Test {
protected:
    void SetUp() override {
        reset_faults();
        reset_counters();
        clear_log();
    }
    void TearDown() override { unload(); }
    KeystoreFiles ks;
};

TEST_F(Keystore, FreshNodeGetsOneActiveKeyPerDomainAndReloadWritesNothing) {
    ASSERT_EQ(load(ks), 0u);
    auto keys = list_keys();
    ASSERT_EQ(keys.size(), 12u);
    std::set<uint32_t> domains;
    for (const auto &k : keys) {
        EXPECT_TRUE(k.active);
        EXPECT_NE(k.id, 0u);
        EXPECT_EQ(k.material.size(), 32u);
        domains.insert(k.domain);
    }
    EXPECT_EQ(domains.size(), 12u);
    for (const std::string &path : {ks.primary, ks.standby}) {
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
        EXPECT_EQ(st.st_mode & 0777, 0600u) << path;
    }
    EXPECT_EQ(read_bytes(ks.primary), read_bytes(ks.standby));

    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(unload(), 0u);
        reset_counters();
        ASSERT_EQ(load(ks), 0u);
        EXPECT_EQ(write_calls(), 0u) << "a load of a provisioned keystore wrote";
        EXPECT_EQ(list_keys(), keys);
    }
    EXPECT_TRUE(error_lines().empty());
}

}  // namespace
