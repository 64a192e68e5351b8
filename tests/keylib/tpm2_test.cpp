// SPDX-License-Identifier: Apache-2.0
// The tpm2 root protector against software TPMs (swtpm) started by the test:
// a keystore sealed on one machine opens only there, a PCR-bound seal opens
// only while the PCRs hold their values, another keystore's seal is refused,
// reaching the TPM without the keystore's authorisation file unseals nothing,
// the root never crosses the bus in clear, an absent TPM answers its own
// code, and moves between the TPM and the node secret are crash-safe.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "child.h"
#include "keylib_checks.h"
#include "keystore_root.h"
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

class Tpm2 : public KeylibTest {
protected:
    void SetUp() override {
        KeylibTest::SetUp();
        ASSERT_TRUE(machineA.start()) << "swtpm could not be started (scripts/install-deps)";
        use_tcti(machineA.tcti());
    }
    // A keystore under the tpm2 protector of machine A with kText encrypted.
    void make_sealed_keystore(uint32_t pcrMask) {
        cipher = sealed_text(ks, kText, [&] { return VaqPrivProtect(VAQ_PRIV_PROTECTOR_TPM2, pcrMask); });
        ASSERT_FALSE(cipher.empty());
    }
    void expect_text_decrypts() { expect_decrypts(cipher, kText); }
    // Loads and expects `code`, no write, the files unchanged and one error
    // line naming the tpm2 protector and saying `says`.
    // The load is made by a new process: this one keeps the root it unsealed.
    void expect_refused(uint32_t code, const std::string &says) {
        const std::string line = refused_load_line(ks, code);
        EXPECT_NE(line.find("tpm2 protector: "), std::string::npos) << line;
        EXPECT_NE(line.find(says), std::string::npos) << line;
    }
    Swtpm machineA;
    KeystoreFiles ks;
    Bytes cipher;
};

uint64_t generation_of(const Bytes &image) {
    uint64_t g = 0;
    for (int i = 7; i >= 0; --i) g = g << 8 | image.at(16 + i);
    return g;
}

// The 32 random bytes of a keystore's authorisation file.
Bytes auth_value_of(const KeystoreFiles &ks) {
    const Bytes file = read_bytes(tvtest::tpm2_auth_path(ks.primary));
    return file.size() == 44 ? Bytes(file.begin() + 12, file.end()) : Bytes{};
}

bool contains(const Bytes &hay, const Bytes &needle) {
    return !needle.empty() && std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

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

// Another keystore sealed to the same TPM, whose root its maker knows, put as
// this keystore's standby with a higher generation: refused, whether its seal
// carries another authorisation value (each keystore has its own) or, its
// authorisation file copied over this one's, only another binding. The good
// primary is kept and rewrites the standby; with both copies replaced the load
// fails as foreign and writes nothing.
TEST_F(Tpm2, AnotherKeystoresSealedRootIsRefusedAndTheGoodPrimaryKept) {
    const struct {
        const char *name;
        bool sameAuthValue;
        const char *says;
    } cases[] = {
        {"its own authorisation value", false, "under another authorisation value"},
        {"the same authorisation value", true, "sealed root of another keystore"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        KeystoreFiles other;
        ASSERT_EQ(load(other), 0u);
        ASSERT_EQ(VaqPrivProtect(VAQ_PRIV_PROTECTOR_TPM2, 0), 0u);
        for (int i = 0; i < 4; ++i) ASSERT_EQ(VaqUpdateRootKey(nullptr, 0), 0u);
        ASSERT_EQ(unload(), 0u);
        ks = KeystoreFiles();
        if (c.sameAuthValue) {
            const std::string mine = tvtest::tpm2_auth_path(ks.primary);
            mkdir(mine.substr(0, mine.rfind('/')).c_str(), 0700);
            write_bytes(mine, read_bytes(tvtest::tpm2_auth_path(other.primary)));
            ASSERT_EQ(chmod(mine.c_str(), 0400), 0);
        }
        make_sealed_keystore(0);
        ASSERT_EQ(auth_value_of(ks) == auth_value_of(other), c.sameAuthValue);
        const Bytes primary = read_bytes(ks.primary), foreign = read_bytes(other.primary);
        ASSERT_GT(generation_of(foreign), generation_of(primary));

        write_bytes(ks.standby, foreign);
        clear_log();
        FreshLoad fresh = load_in_new_process(ks);
        EXPECT_EQ(fresh.code, 0u);
        EXPECT_EQ(read_bytes(ks.primary), primary);
        const Bytes standby = read_bytes(ks.standby);
        EXPECT_TRUE(std::equal(primary.begin(), primary.end(), standby.begin())) << "the standby was not repaired";
        ASSERT_EQ(load(ks), 0u);
        expect_text_decrypts();
        ASSERT_EQ(unload(), 0u);

        write_bytes(ks.primary, foreign);
        write_bytes(ks.standby, foreign);
        expect_refused(VAQ_ERR_ROOT_FOREIGN, c.says);
    }
}

// A user who reaches the TPM (the simulator's port; group tss on a real node)
// and holds the keystore's sealed root, but cannot read the keystore's
// authorisation file, unseals nothing: not in a policy session without the
// value or with a guessed one, nor with a password session. The same steps
// with the value unseal, so the refusals are the TPM's answer to the missing
// value. The library without the file answers that it is missing.
TEST_F(Tpm2, AUserWhoReachesTheTpmButNotTheAuthorisationFileUnsealsNothing) {
    for (uint32_t pcrMask : {0u, 1u << 16}) {
        SCOPED_TRACE(testing::Message() << "PCR mask " << pcrMask);
        ks = KeystoreFiles();
        make_sealed_keystore(pcrMask);
        const std::string authPath = tvtest::tpm2_auth_path(ks.primary);
        struct stat st {};
        ASSERT_EQ(stat(authPath.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0400u);
        const Bytes sealed = sealed_root_of(read_bytes(ks.primary)), auth = auth_value_of(ks);
        ASSERT_EQ(auth.size(), 32u);
        const std::string tcti = machineA.tcti();

        const Unsealing withValue = unseal_without_library(tcti, sealed, auth);
        EXPECT_EQ(withValue.rc, 0u);
        EXPECT_EQ(withValue.data.size(), 64u);

        constexpr uid_t kOther = 65534;
        const int refused = tvtest::run_in_child([&] {
            if (setgroups(0, nullptr) != 0 || setresgid(kOther, kOther, kOther) != 0 ||
                setresuid(kOther, kOther, kOther) != 0)
                return 99;
            int fails = 0;
            if (open(authPath.c_str(), O_RDONLY) >= 0 || errno != EACCES) fails |= 1;
            const Unsealing none = unseal_without_library(tcti, sealed, {});
            const Unsealing guessed = unseal_without_library(tcti, sealed, Bytes(32, 0));
            const Unsealing password = unseal_without_library(tcti, sealed, {}, true);
            for (const Unsealing *u : {&none, &guessed, &password})
                if (u->rc == 0 || !u->data.empty()) fails |= 2;
            // Reached the TPM and were refused by it (a response code of the
            // TPM's layer), not cut off before asking.
            for (const Unsealing *u : {&none, &guessed, &password})
                if ((u->rc & 0xff0000u) != 0) fails |= 4;
            // Past the leak checker, which cannot look at a process that
            // changed its user.
            _exit(fails);
        });
        EXPECT_EQ(refused, 0) << "1: the file was readable, 2: unsealed, 4: the TPM was not reached";

        const std::string aside = authPath + ".aside";
        ASSERT_EQ(rename(authPath.c_str(), aside.c_str()), 0);
        expect_refused(VAQ_ERR_SECRET_MISSING, "authorisation file " + authPath + " is missing");
        ASSERT_EQ(rename(aside.c_str(), authPath.c_str()), 0);
        ASSERT_EQ(load_in_new_process(ks).code, 0u);
    }
}

// A capture of every TPM command and response (the pcap TCTI in front of
// the simulator) while the library seals a new root and while a new process
// unseals it holds neither the root nor the authorisation value; the same
// search finds the root in a capture of an unseal without parameter
// encryption, so it is a search that can fail.
TEST_F(Tpm2, TheRootNeverCrossesTheBusInClear) {
    make_sealed_keystore(0);
    const std::string dir = machineA.state_dir();
    const std::string plain = machineA.tcti(), captured = "pcap:" + plain;
    auto capture = [&](const std::string &file) {
        setenv("TCTI_PCAP_FILE", file.c_str(), 1);
        use_tcti(captured);
    };
    capture(dir + "/seal.pcap");
    ASSERT_EQ(load(ks), 0u);
    ASSERT_EQ(VaqUpdateRootKey(nullptr, 0), 0u);  // a new root, sealed
    ASSERT_EQ(unload(), 0u);
    capture(dir + "/unseal.pcap");
    ASSERT_EQ(load_in_new_process(ks).code, 0u);
    capture(dir + "/plain.pcap");
    const Unsealing inClear =
        unseal_without_library(captured, sealed_root_of(read_bytes(ks.primary)), auth_value_of(ks));
    unsetenv("TCTI_PCAP_FILE");
    use_tcti(plain);
    ASSERT_EQ(inClear.rc, 0u);
    ASSERT_EQ(inClear.data.size(), 64u);
    const Bytes root(inClear.data.begin() + 32, inClear.data.end()), auth = auth_value_of(ks);

    // Command codes, big-endian as on the bus: TPM2_CC_Create, TPM2_CC_Unseal.
    const Bytes create = {0x00, 0x00, 0x01, 0x53}, unseal = {0x00, 0x00, 0x01, 0x5e};
    const Bytes sealCapture = read_bytes(dir + "/seal.pcap"), unsealCapture = read_bytes(dir + "/unseal.pcap");
    EXPECT_TRUE(contains(sealCapture, create));
    EXPECT_TRUE(contains(unsealCapture, unseal));
    for (const Bytes *c : {&sealCapture, &unsealCapture}) {
        EXPECT_FALSE(contains(*c, root)) << "the root crossed the bus in clear";
        EXPECT_FALSE(contains(*c, auth)) << "the authorisation value crossed the bus in clear";
    }
    EXPECT_TRUE(contains(read_bytes(dir + "/plain.pcap"), root));
}

// A keystore sealed before seals were bound (no authorisation file on the
// node yet) opens after the upgrade, and a root renewal seals it bound. From
// then on an unbound seal, which anyone who reaches the TPM can make for a
// root of their own, is never taken: put as a newer standby it is rewritten
// from the primary, and as both copies the load fails and writes nothing.
TEST_F(Tpm2, ASealOfTheOlderLayoutOpensUntilTheKeystoreIsBoundAndNeverAfter) {
    make_sealed_keystore(0);
    const std::string tcti = machineA.tcti(), authPath = tvtest::tpm2_auth_path(ks.primary);
    // The same root and keys, sealed the older way, on a node without the file.
    auto unbound_copy_of = [&](const Bytes &image, bool newer) {
        const Unsealing u = unseal_without_library(tcti, sealed_root_of(image), auth_value_of(ks));
        EXPECT_EQ(u.data.size(), 64u);
        Root root{};
        std::copy(u.data.begin() + 32, u.data.end(), root.begin());
        Bytes header = image;
        if (newer) header[16] += 5;
        return with_sealed_root(header, seal_unbound(tcti, Bytes(root.begin(), root.end())), root);
    };
    const Bytes older = unbound_copy_of(read_bytes(ks.primary), false);
    ASSERT_EQ(unlink(authPath.c_str()), 0);
    write_bytes(ks.primary, older);
    write_bytes(ks.standby, older);
    const FreshLoad upgraded = load_in_new_process(ks);
    EXPECT_EQ(upgraded.code, 0u);
    EXPECT_EQ(upgraded.writes, 0u);
    EXPECT_EQ(read_bytes(ks.primary), older);

    ASSERT_EQ(load(ks), 0u);
    expect_text_decrypts();
    ASSERT_EQ(VaqUpdateRootKey(nullptr, 0), 0u);
    ASSERT_EQ(unload(), 0u);
    const Bytes bound = read_bytes(ks.primary);
    EXPECT_EQ(bound.at(56 + 3), 1u) << "renewal did not seal in the bound layout";
    EXPECT_EQ(auth_value_of(ks).size(), 32u);

    write_bytes(ks.standby, unbound_copy_of(bound, true));
    EXPECT_EQ(load_in_new_process(ks).code, 0u);
    EXPECT_EQ(read_bytes(ks.primary), bound);
    const Bytes standby = read_bytes(ks.standby);
    EXPECT_TRUE(std::equal(bound.begin(), bound.end(), standby.begin())) << "the standby was not repaired";

    const Bytes planted = unbound_copy_of(bound, true);
    write_bytes(ks.primary, planted);
    write_bytes(ks.standby, planted);
    expect_refused(VAQ_ERR_ROOT_FOREIGN, "sealed without binding or authorisation");
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
