// SPDX-License-Identifier: Apache-2.0
// The tpm2 root protector against software TPMs (swtpm) started by the test:
// a keystore sealed on one machine opens only there, a PCR-bound seal opens
// only while the PCRs hold their values, an absent TPM answers its own code,
// and moves between the TPM and the node secret are crash-safe.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "keylib_fixture.h"
#include "legacy_keystore.h"
#include "swtpm.h"
#include "vaq/vaq_private.h"

using namespace kltest;

namespace {

const Bytes kText = {'t', 'p', 'm', ' ', 't', 'e', 'x', 't'};

uint32_t protector_kind(uint32_t *pcrMask = nullptr, std::string *location = nullptr) {
    uint32_t kind = 99, mask = 0;
    char where[256] = {};
    EXPECT_EQ(VaqPrivProtectorInfo(&kind, &mask, where, sizeof where), 0u);
    if (pcrMask) *pcrMask = mask;
    if (location) *location = where;
    return kind;
}

uint16_t protector_of(const std::string &path) {
    Bytes b = read_bytes(path);
    return b.size() < 36 ? 0xffff : static_cast<uint16_t>(b[34] | b[35] << 8);
}

class Tpm2 : public ::testing::Test {
protected:
    void SetUp() override {
        host_table();
        reset_faults();
        reset_counters();
        clear_log();
        ASSERT_TRUE(machineA.start()) << "swtpm could not be started (scripts/install-deps)";
        use_tcti(machineA.tcti());
    }
    void TearDown() override {
        reset_faults();
        unload();
    }
    // A keystore under the tpm2 protector of machine A with kText encrypted.
    void make_sealed_keystore(uint32_t pcrMask) {
        ASSERT_EQ(load(ks), 0u);
        cipher = encrypt(50, kText);
        ASSERT_FALSE(cipher.empty());
        ASSERT_EQ(VaqPrivProtect(VAQ_PRIV_PROTECTOR_TPM2, pcrMask), 0u);
        ASSERT_EQ(unload(), 0u);
    }
    void expect_text_decrypts() {
        Bytes plain;
        EXPECT_EQ(decrypt(50, cipher, &plain), 0u);
        EXPECT_EQ(plain, kText);
    }
    // Loads and expects `code`, no write, the files unchanged and one error
    // line naming the tpm2 protector and saying `says`.
    // The load is made by a new process: this one keeps the root it unsealed.
    void expect_refused(uint32_t code, const std::string &says) {
        const Bytes primary = read_bytes(ks.primary), standby = read_bytes(ks.standby);
        FreshLoad fresh = load_in_new_process(ks);
        EXPECT_EQ(fresh.code, code);
        EXPECT_EQ(fresh.writes, 0u);
        EXPECT_EQ(read_bytes(ks.primary), primary);
        EXPECT_EQ(read_bytes(ks.standby), standby);
        ASSERT_EQ(fresh.errors.size(), 1u);
        EXPECT_NE(fresh.errors[0].find("tpm2 protector: "), std::string::npos) << fresh.errors[0];
        EXPECT_NE(fresh.errors[0].find(says), std::string::npos) << fresh.errors[0];
    }
    Swtpm machineA;
    KeystoreFiles ks;
    Bytes cipher;
};

TEST_F(Tpm2, ASealOpensOnlyOnItsMachineAndEverywhereAgainAfterAMoveToTheNodeSecret) {
    make_sealed_keystore(0);
    EXPECT_EQ(protector_of(ks.primary), 2u);
    EXPECT_EQ(protector_of(ks.standby), 2u);
    ASSERT_EQ(load(ks), 0u);
    std::string location;
    EXPECT_EQ(protector_kind(nullptr, &location), uint32_t{VAQ_PRIV_PROTECTOR_TPM2});
    EXPECT_EQ(location, machineA.tcti());
    expect_text_decrypts();
    ASSERT_EQ(unload(), 0u);

    Swtpm machineB;
    ASSERT_TRUE(machineB.start());
    use_tcti(machineB.tcti());
    expect_refused(VAQ_ERR_ROOT_FOREIGN, "sealed to another TPM");

    // A rebooted machine A is still machine A.
    machineA.stop();
    ASSERT_TRUE(machineA.start());
    use_tcti(machineA.tcti());
    ASSERT_EQ(load(ks), 0u);
    expect_text_decrypts();
    ASSERT_EQ(VaqPrivProtect(VAQ_PRIV_PROTECTOR_FILE, 0), 0u);
    ASSERT_EQ(unload(), 0u);
    EXPECT_EQ(protector_of(ks.primary), 1u);

    // Before a motherboard change: the keystore moved back to the node
    // secret opens whatever the TPM.
    use_tcti(machineB.tcti());
    ASSERT_EQ(load(ks), 0u);
    expect_text_decrypts();
}

// A move from the node secret to the TPM renews the root and then removes the
// secret: a file-protected backup from before, even with the old secret kept
// somewhere, opens no key of the TPM-sealed keystore. With the secret gone,
// the protection mark still keeps unprotected copies out.
TEST_F(Tpm2, AMoveToTheTpmRemovesTheSecretAndRetiresTheRootItSealed) {
    ASSERT_EQ(load(ks), 0u);
    std::string secretPath;
    ASSERT_EQ(protector_kind(nullptr, &secretPath), uint32_t{VAQ_PRIV_PROTECTOR_FILE});
    const Bytes backup = read_bytes(ks.primary), oldSecret = read_bytes(secretPath);
    const std::optional<Root> oldRoot = unseal_with_secret(backup, oldSecret);
    ASSERT_TRUE(oldRoot.has_value());
    ASSERT_EQ(keys_opened(backup, *oldRoot), 12u);
    ASSERT_EQ(VaqPrivProtect(VAQ_PRIV_PROTECTOR_TPM2, 0), 0u);
    uint32_t madeAfter = 0;
    ASSERT_EQ(VaqCreateMkEx(50, &madeAfter), 0u);
    cipher = encrypt(50, kText);
    ASSERT_EQ(unload(), 0u);

    EXPECT_FALSE(exists(secretPath)) << "the node secret outlived the move";
    const Bytes sealed = read_bytes(ks.primary);
    EXPECT_EQ(protector_of(ks.standby), 2u);
    EXPECT_FALSE(trailer_opens(sealed, *oldRoot));
    EXPECT_EQ(keys_opened(sealed, *oldRoot), 0u);

    // Both copies replaced by unprotected ones: the mark refuses them.
    const Bytes planted = legacy_image(1000, random_root(), legacy_keys());
    write_bytes(ks.primary, planted);
    write_bytes(ks.standby, planted);
    FreshLoad fresh = load_in_new_process(ks);
    EXPECT_EQ(fresh.code, static_cast<unsigned long>(VAQ_ERR_ROOT_FOREIGN));
    EXPECT_EQ(fresh.writes, 0u);
    ASSERT_EQ(fresh.errors.size(), 1u);
    EXPECT_NE(fresh.errors[0].find("protection mark " + protection_mark(secretPath, ".protected")), std::string::npos)
        << fresh.errors[0];
    EXPECT_EQ(read_bytes(ks.primary), planted);

    write_bytes(ks.primary, sealed);
    write_bytes(ks.standby, sealed);
    ASSERT_EQ(load(ks), 0u);
    expect_text_decrypts();
}

TEST_F(Tpm2, APcrBoundSealOpensOnlyWhileThePcrsHoldTheirValues) {
    const uint32_t pcr16 = 1u << 16;
    make_sealed_keystore(pcr16 | 1u);
    ASSERT_EQ(load(ks), 0u);
    uint32_t mask = 0;
    EXPECT_EQ(protector_kind(&mask), uint32_t{VAQ_PRIV_PROTECTOR_TPM2});
    EXPECT_EQ(mask, pcr16 | 1u);
    expect_text_decrypts();
    ASSERT_EQ(unload(), 0u);

    ASSERT_TRUE(machineA.extend_pcr(16));
    expect_refused(VAQ_ERR_TPM_PCR_MISMATCH, "no longer hold the values");

    ASSERT_TRUE(machineA.reset_pcr(16));
    ASSERT_EQ(load(ks), 0u);
    expect_text_decrypts();
    // Root renewal seals the new root to the same PCRs.
    ASSERT_EQ(VaqUpdateRootKey(nullptr, 0), 0u);
    ASSERT_EQ(unload(), 0u);
    ASSERT_EQ(load(ks), 0u);
    EXPECT_EQ(protector_kind(&mask), uint32_t{VAQ_PRIV_PROTECTOR_TPM2});
    EXPECT_EQ(mask, pcr16 | 1u);
    expect_text_decrypts();
    ASSERT_EQ(unload(), 0u);
    ASSERT_TRUE(machineA.extend_pcr(16));
    expect_refused(VAQ_ERR_TPM_PCR_MISMATCH, "no longer hold the values");
}

TEST_F(Tpm2, AnAbsentTpmAnswersItsCodeAndWritesNothing) {
    make_sealed_keystore(0);
    const std::string tcti = machineA.tcti();
    machineA.stop();
    expect_refused(VAQ_ERR_TPM_ABSENT, "no TPM reached at " + tcti);
    use_tcti("device:/nonexistent/tpmrm0");
    expect_refused(VAQ_ERR_TPM_ABSENT, "device:/nonexistent/tpmrm0");

    // A move to the TPM needs one: without it the keystore stays as it was.
    KeystoreFiles fresh;
    ASSERT_EQ(load(fresh), 0u);
    const Bytes before = read_bytes(fresh.primary);
    EXPECT_EQ(VaqPrivProtect(VAQ_PRIV_PROTECTOR_TPM2, 0), static_cast<unsigned long>(VAQ_ERR_TPM_ABSENT));
    EXPECT_EQ(read_bytes(fresh.primary), before);
    EXPECT_EQ(VaqPrivProtect(VAQ_PRIV_PROTECTOR_TPM2, 1u << 24), static_cast<unsigned long>(VAQ_ERR_BAD_ARG));
}

// A move between the node secret and the TPM, cut (power lost) after every
// file operation in turn and failing at each one: the keystore always loads
// afterwards, with every key, under the old protector or the new one.
struct Move {
    const char *name;
    uint32_t from, to;
};

void PrintTo(const Move &m, std::ostream *os) { *os << m.name; }

class Tpm2Cut : public Tpm2, public ::testing::WithParamInterface<Move> {};

TEST_P(Tpm2Cut, EveryFileOperationOfAMoveLeavesTheOldOrTheNewProtector) {
    const Move move = GetParam();
    ASSERT_EQ(load(ks, 3), 0u);
    std::string secretPath;
    protector_kind(nullptr, &secretPath);
    ASSERT_EQ(VaqPrivProtect(move.from, 0), 0u);
    const auto before = list_keys();
    ASSERT_EQ(unload(), 0u);
    const Bytes primary = read_bytes(ks.primary), standby = read_bytes(ks.standby);
    // A move away from the node secret removes it: put back for the next cut.
    const Bytes secret = read_bytes(secretPath);
    auto prepare = [&] {
        write_bytes(ks.primary, primary);
        write_bytes(ks.standby, standby);
        std::remove(secretPath.c_str());
        if (move.from == VAQ_PRIV_PROTECTOR_FILE) write_bytes(secretPath, secret);
        ASSERT_EQ(load(ks, 3), 0u);
    };
    prepare();
    reset_counters();
    ASSERT_EQ(VaqPrivProtect(move.to, 0), 0u);
    const uint64_t ops = file_ops();
    ASSERT_EQ(unload(), 0u);

    int sawOld = 0, sawNew = 0;
    for (uint64_t n = 1; n <= ops + 1; ++n) {
        for (bool fail : {false, true}) {
            SCOPED_TRACE(testing::Message() << "operation " << n << (fail ? " fails" : " then cut"));
            prepare();
            reset_counters();
            arm_fault(n, fail, true);
            VaqPrivProtect(move.to, 0);
            unload();
            reset_faults();

            // A process that never saw the root opens what the disk holds.
            ASSERT_EQ(load_in_new_process(ks, 3).code, 0u);
            ASSERT_EQ(load(ks, 3), 0u);
            EXPECT_EQ(list_keys(), before);
            const uint32_t kind = protector_kind();
            if (kind == move.to)
                ++sawNew;
            else if (kind == move.from)
                ++sawOld;
            else
                ADD_FAILURE() << "protector " << kind;
            uint32_t good = 0;
            ASSERT_EQ(VaqCheckKeyStore(0, &good), 0u);
            EXPECT_EQ(good, 3u);
            ASSERT_EQ(unload(), 0u);
        }
    }
    std::printf("%s: %llu file operations, %d cases old protector, %d new\n", move.name,
                static_cast<unsigned long long>(ops), sawOld, sawNew);
    EXPECT_GT(sawOld, 0);
    EXPECT_GT(sawNew, 0);
}

INSTANTIATE_TEST_SUITE_P(Moves, Tpm2Cut,
                         ::testing::Values(Move{"FileToTpm2", VAQ_PRIV_PROTECTOR_FILE, VAQ_PRIV_PROTECTOR_TPM2},
                                           Move{"Tpm2ToFile", VAQ_PRIV_PROTECTOR_TPM2, VAQ_PRIV_PROTECTOR_FILE}),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
