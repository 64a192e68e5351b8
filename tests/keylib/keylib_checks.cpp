// SPDX-License-Identifier: Apache-2.0
#include "keylib_checks.h"

namespace kltest {

std::string refused_load_line(KeystoreFiles &ks, unsigned long code) {
    const Bytes primary = read_bytes(ks.primary), standby = read_bytes(ks.standby);
    const FreshLoad fresh = load_in_new_process(ks);
    EXPECT_EQ(fresh.code, code);
    EXPECT_EQ(fresh.writes, 0u);
    EXPECT_EQ(read_bytes(ks.primary), primary);
    EXPECT_EQ(read_bytes(ks.standby), standby);
    EXPECT_EQ(fresh.errors.size(), 1u);
    return fresh.errors.size() == 1 ? fresh.errors[0] : std::string();
}

void KeylibTest::SetUp() {
    host_table();
    reset_faults();
    reset_counters();
    clear_log();
}

void KeylibTest::TearDown() {
    reset_faults();
    unload();
}

Bytes sealed_text(KeystoreFiles &files, const Bytes &plain, const std::function<unsigned long()> &protect) {
    unsigned long code = load(files);
    EXPECT_EQ(code, 0u) << "load";
    Bytes cipher = code == 0 ? encrypt(50, plain) : Bytes{};
    EXPECT_FALSE(cipher.empty()) << "encrypt";
    if (!cipher.empty() && protect) {
        code = protect();
        EXPECT_EQ(code, 0u) << "protect";
        if (code != 0) cipher.clear();
    }
    EXPECT_EQ(unload(), 0u);
    return cipher;
}

void expect_decrypts(const Bytes &cipher, const Bytes &plain) {
    Bytes opened;
    EXPECT_EQ(decrypt(50, cipher, &opened), 0u);
    EXPECT_EQ(opened, plain);
}

}  // namespace kltest
