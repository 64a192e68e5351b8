// SPDX-License-Identifier: Apache-2.0
// The pkcs11 root protector against SoftHSM2 tokens made by the test: a
// keystore sealed under a token key opens in a new process and after a root
// renewal, a reload asks the token nothing, the URI it records holds no PIN,
// a copy taken to a node without the token opens nothing, another keystore's
// sealed root is refused as foreign, and every way the token key cannot be
// used answers its own code with one line and changes nothing.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>

#include "keylib_checks.h"
#include "keystore_root.h"
#include "../reliability/sanitizer.h"
#include "softhsm_token.h"
#include "vaq/vaq_private.h"

using namespace kltest;
using tvtest::SoftHsmToken;

namespace {

const Bytes kText = {'t', 'o', 'k', 'e', 'n', ' ', 't', 'e', 'x', 't'};

uint32_t protector_kind(std::string *location = nullptr) {
    uint32_t kind = 99, mask = 0;
    char where[4096] = {};
    EXPECT_EQ(VaqPrivProtectorInfo(&kind, &mask, where, sizeof where), 0u);
    if (location) *location = where;
    return kind;
}

uint16_t protector_of(const std::string &path) {
    Bytes b = read_bytes(path);
    return b.size() < 36 ? 0xffff : static_cast<uint16_t>(b[34] | b[35] << 8);
}

bool contains(const Bytes &hay, const std::string &needle) {
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

class Pkcs11 : public KeylibTest {
protected:
    void SetUp() override {
        KeylibTest::SetUp();
        if (const std::string why = SoftHsmToken::unusable(); !why.empty()) GTEST_SKIP() << why;
        token = std::make_unique<SoftHsmToken>("node-kek");
        ASSERT_TRUE(token->ok()) << token->error();
        ASSERT_TRUE(token->make_key("kek"));
        // A keystore's PIN lives in its own secret directory.
        pinDir = tvtest::node_secret_path(ks.primary);
        pinDir.erase(pinDir.rfind('/'));
        mkdir(pinDir.c_str(), 0700);
        pinPath = pinDir + "/kek.pin";
        SoftHsmToken::write_pin(pinPath);
        uri = token->uri("kek", pinPath);
    }
    // A keystore under the pkcs11 protector with kText encrypted.
    void make_sealed_keystore(KeystoreFiles &files) {
        cipher = sealed_text(files, kText, [&] { return VaqPrivProtectToken(uri.c_str()); });
        ASSERT_FALSE(cipher.empty());
    }
    void expect_text_decrypts() { expect_decrypts(cipher, kText); }
    // A load in a new process answers `code`, writes nothing, leaves the
    // files as they were and says `says` in one error line.
    void expect_refused(uint32_t code, const std::string &says) {
        const std::string line = refused_load_line(ks, code);
        EXPECT_TRUE(std::regex_search(line, std::regex(says))) << line;
    }

    std::unique_ptr<SoftHsmToken> token;
    std::string pinDir, pinPath;
    std::string uri;
    KeystoreFiles ks;
    Bytes cipher;
};

TEST_F(Pkcs11, ASealedKeystoreOpensInANewProcessAndAfterARootRenewalAndRecordsNoPin) {
    make_sealed_keystore(ks);
    EXPECT_EQ(protector_of(ks.primary), 3u);
    EXPECT_EQ(protector_of(ks.standby), 3u);
    const Bytes sealed = read_bytes(ks.primary);
    EXPECT_TRUE(contains(sealed, uri)) << "the keystore does not record its key's URI";
    EXPECT_FALSE(contains(sealed, SoftHsmToken::kPin)) << "the keystore holds the PIN";
    EXPECT_FALSE(exists(tvtest::node_secret_path(ks.primary))) << "the node secret outlived the move";

    FreshLoad fresh = load_in_new_process(ks);
    EXPECT_EQ(fresh.code, 0u);
    EXPECT_EQ(fresh.writes, 0u);
    ASSERT_EQ(load(ks), 0u);
    std::string location;
    EXPECT_EQ(protector_kind(&location), uint32_t{VAQ_PRIV_PROTECTOR_PKCS11});
    EXPECT_EQ(location, uri);
    expect_text_decrypts();

    // A renewed root is sealed under the same key, and still opens
    // everything sealed before.
    VaqRootKeyRecord before{}, after{};
    ASSERT_EQ(VaqGetRootKeyInfo(&before), 0u);
    ASSERT_EQ(VaqUpdateRootKey(nullptr, 0), 0u);
    ASSERT_EQ(VaqGetRootKeyInfo(&after), 0u);
    EXPECT_GT(after.version, before.version);
    EXPECT_NE(read_bytes(ks.primary), sealed);
    ASSERT_EQ(unload(), 0u);
    EXPECT_EQ(protector_of(ks.primary), 3u);
    fresh = load_in_new_process(ks);
    EXPECT_EQ(fresh.code, 0u);
    ASSERT_EQ(load(ks), 0u);
    expect_text_decrypts();
    EXPECT_EQ(protector_kind(&location), uint32_t{VAQ_PRIV_PROTECTOR_PKCS11});
    EXPECT_EQ(location, uri);

    // Protecting again under the same key changes nothing.
    const Bytes now = read_bytes(ks.primary);
    EXPECT_EQ(VaqPrivProtectToken(uri.c_str()), 0u);
    EXPECT_EQ(read_bytes(ks.primary), now);

    // And back to the node secret.
    ASSERT_EQ(VaqPrivProtect(VAQ_PRIV_PROTECTOR_FILE, 0), 0u);
    ASSERT_EQ(unload(), 0u);
    EXPECT_EQ(protector_of(ks.primary), 1u);
    ASSERT_EQ(load(ks), 0u);
    expect_text_decrypts();
}

// Two tokens of one label (as a fleet's tokens may be, and the second may
// come first in the slot list): a URI naming only the label is refused before
// either is asked for a PIN, and serial= picks the one meant, in this process
// and in a new one.
TEST_F(Pkcs11, TwoTokensOfOneLabelAreToldApartBySerialAndOtherwiseRefusedUnasked) {
    SoftHsmToken first("fleet-kek");
    ASSERT_TRUE(first.ok()) << first.error();
    SoftHsmToken second(first.label(), true);
    ASSERT_TRUE(second.ok()) << second.error();
    ASSERT_EQ(second.label(), first.label());
    ASSERT_NE(second.serial(), first.serial());
    // Only the second holds the key; the first's PIN would be another's.
    ASSERT_TRUE(second.make_key("kek"));
    SoftHsmToken::write_pin(pinDir + "/wrong.pin", "11111111");
    const std::string mod = "?module-path=" + std::string(SoftHsmToken::kModule);
    const std::string label = "pkcs11:token=" + first.label();

    ASSERT_EQ(load(ks), 0u);
    const Bytes primary = read_bytes(ks.primary);
    for (const std::string &pin : {pinPath, pinDir + "/wrong.pin"}) {
        SCOPED_TRACE(pin);
        clear_log();
        // With a wrong PIN too: the answer is the ambiguity, never the PIN.
        EXPECT_EQ(VaqPrivProtectToken((label + ";object=kek" + mod + "&pin-source=file:" + pin).c_str()),
                  uint32_t{VAQ_ERR_TOKEN_KEY});
        const auto errors = error_lines();
        ASSERT_EQ(errors.size(), 1u);
        const std::string &line = errors[0].message;
        EXPECT_NE(line.find("the URI names more than one token"), std::string::npos) << line;
        EXPECT_NE(line.find(first.label() + " (serial " + first.serial() + ")"), std::string::npos) << line;
        EXPECT_NE(line.find(first.label() + " (serial " + second.serial() + ")"), std::string::npos) << line;
        EXPECT_EQ(read_bytes(ks.primary), primary);
    }
    // The first token named by its serial has no such key; the second does.
    const std::string pin = "&pin-source=file:" + pinPath;
    clear_log();
    EXPECT_EQ(VaqPrivProtectToken((label + ";serial=" + first.serial() + ";object=kek" + mod + pin).c_str()),
              uint32_t{VAQ_ERR_TOKEN_KEY});
    EXPECT_EQ(protector_kind(), uint32_t{VAQ_PRIV_PROTECTOR_FILE});
    ASSERT_EQ(unload(), 0u);
    uri = label + ";serial=" + second.serial() + ";object=kek" + mod + pin;
    make_sealed_keystore(ks);
    EXPECT_TRUE(contains(read_bytes(ks.primary), uri));
    EXPECT_EQ(load_in_new_process(ks).code, 0u);
    ASSERT_EQ(load(ks), 0u);
    std::string location;
    EXPECT_EQ(protector_kind(&location), uint32_t{VAQ_PRIV_PROTECTOR_PKCS11});
    EXPECT_EQ(location, uri);
    expect_text_decrypts();
}

// The module's calls counted by the spy module that wraps it (it logs every
// call): one login for the process, one encryption for the seal, and nothing
// at all for a reload.
TEST_F(Pkcs11, AReloadAsksTheTokenNothing) {
    const std::string spy = "/usr/lib/x86_64-linux-gnu/pkcs11-spy.so";
    if (!exists(spy)) GTEST_SKIP() << "the PKCS#11 spy module (opensc) is missing";
    // The spy keeps a block of its own it never frees; the library's leaks
    // are checked by the tests without it.
    reltest::NotLeaks spyLeaks;
    char dir[] = "/tmp/vaq-spy-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string log = std::string(dir) + "/calls.log";
    setenv("PKCS11SPY", SoftHsmToken::kModule, 1);
    setenv("PKCS11SPY_OUTPUT", log.c_str(), 1);
    uri = "pkcs11:token=" + token->label() + ";object=kek?module-path=" + spy + "&pin-source=file:" + pinPath;
    // The spy writes "N: C_Name" for each call; "C_" counts them all.
    auto count = [&](const std::string &call) {
        const std::string text = tvtest::read_file(log);
        const std::string line = ": " + call + (call == "C_" ? "" : "\n");
        size_t n = 0;
        for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++n;
        return n;
    };
    make_sealed_keystore(ks);
    EXPECT_EQ(count("C_Login"), 1u);
    EXPECT_EQ(count("C_Encrypt"), 1u);
    const size_t callsAfterSeal = count("C_");
    ASSERT_GT(callsAfterSeal, 0u);

    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(load(ks), 0u);
        expect_text_decrypts();
        ASSERT_EQ(unload(), 0u);
    }
    EXPECT_EQ(count("C_"), callsAfterSeal) << tvtest::read_file(log);
    EXPECT_EQ(count("C_Decrypt"), 0u);

    // A renewal seals once more, on the same session.
    ASSERT_EQ(load(ks), 0u);
    ASSERT_EQ(VaqUpdateRootKey(nullptr, 0), 0u);
    EXPECT_EQ(count("C_Encrypt"), 2u);
    EXPECT_EQ(count("C_Login"), 1u);
    std::filesystem::remove_all(dir);
}

// A copy of the keystore on a node whose module reaches no such token (a
// stolen disk, a backup), a token whose key is gone, a PIN file changed: the
// keystore is not opened and not touched.
TEST_F(Pkcs11, WithoutTheTokenItsKeyOrItsPinTheKeystoreOpensNothing) {
    make_sealed_keystore(ks);
    const std::string shared = SoftHsmToken::conf();
    setenv("SOFTHSM2_CONF", SoftHsmToken::isolated_conf().c_str(), 1);
    expect_refused(VAQ_ERR_TOKEN_ABSENT, "pkcs11: no token labelled node-kek.* is present");
    setenv("SOFTHSM2_CONF", shared.c_str(), 1);

    SoftHsmToken::write_pin(pinPath, "99999999");
    expect_refused(VAQ_ERR_TOKEN_PIN, "no login to the token node-kek.*: the PIN is wrong");
    std::remove(pinPath.c_str());
    expect_refused(VAQ_ERR_TOKEN_PIN, "the PIN source is missing.*" + pinPath);
    SoftHsmToken::write_pin(pinPath);

    ASSERT_TRUE(token->delete_key("kek"));
    expect_refused(VAQ_ERR_TOKEN_KEY, "the key kek in the token node-kek.* is not used: there is no object");
    // A new key under the old label is another key: the seal is not its.
    ASSERT_TRUE(token->make_key("kek"));
    expect_refused(VAQ_ERR_ROOT_FOREIGN, "does not open under");
}

// Another keystore's sealed root under the same token key, put in this
// keystore's files: the seal is bound to its keystore pair.
TEST_F(Pkcs11, AnotherKeystoresSealedRootIsForeign) {
    make_sealed_keystore(ks);
    KeystoreFiles other;
    // Its PIN in its own secret directory: a keystore takes no other's.
    std::string otherPins = tvtest::node_secret_path(other.primary);
    otherPins.erase(otherPins.rfind('/'));
    ASSERT_EQ(mkdir(otherPins.c_str(), 0700), 0);
    SoftHsmToken::write_pin(otherPins + "/kek.pin");
    // Recorded as a node of the flat layout recorded it: each keystore reads
    // that PIN file from its own directory.
    uri = token->uri("kek", "/etc/telmor/vaq/kek.pin");
    make_sealed_keystore(other);
    tvtest::write_bytes(ks.primary, read_bytes(other.primary));
    tvtest::write_bytes(ks.standby, read_bytes(other.standby));
    expect_refused(VAQ_ERR_ROOT_FOREIGN, "sealed for another keystore");
}

// A token that fails under a process that uses it (a device error, or the
// general error SoftHSM2 also answers a seal that does not verify with) is
// not taken for a foreign seal: the keystore is refused with the token's own
// code, nothing is written, a renewal it cannot seal changes nothing, and
// once the token works again the keystore opens as it was.
TEST_F(Pkcs11, ATokenThatFailsIsNotTakenForAForeignSealAndChangesNothing) {
    // The failing module where only root could have put it: the sandbox's
    // /etc/telmor.
    const std::string module = "/etc/telmor/test-modules/p11_fault.so";
    ASSERT_EQ(
        tvtest::shell("install -d -m 0755 /etc/telmor/test-modules && install -m 0644 " TELMOR_P11_FAULT_MODULE " " +
                      module),
        0);
    uri = "pkcs11:token=" + token->label() + ";object=kek?module-path=" + module + "&pin-source=file:" + pinPath;
    make_sealed_keystore(ks);
    for (const char *rv : {"0x30", "0x5"}) {  // CKR_DEVICE_ERROR, CKR_GENERAL_ERROR
        SCOPED_TRACE(rv);
        setenv("TELMOR_TEST_P11_FAIL_DECRYPT", rv, 1);
        expect_refused(VAQ_ERR_TOKEN_REFUSED, "pkcs11: the token node-kek.* refused unsealing \\(CKR_");
    }
    unsetenv("TELMOR_TEST_P11_FAIL_DECRYPT");

    ASSERT_EQ(load(ks), 0u);
    const Bytes primary = read_bytes(ks.primary), standby = read_bytes(ks.standby);
    setenv("TELMOR_TEST_P11_FAIL_ENCRYPT", "0x30", 1);
    clear_log();
    EXPECT_EQ(VaqUpdateRootKey(nullptr, 0), uint32_t{VAQ_ERR_TOKEN_REFUSED});
    unsetenv("TELMOR_TEST_P11_FAIL_ENCRYPT");
    ASSERT_EQ(error_lines().size(), 1u);
    EXPECT_TRUE(std::regex_search(error_lines()[0].message, std::regex("refused sealing \\(CKR_DEVICE_ERROR\\)")))
        << error_lines()[0].message;
    EXPECT_EQ(read_bytes(ks.primary), primary);
    EXPECT_EQ(read_bytes(ks.standby), standby);
    expect_text_decrypts();
    ASSERT_EQ(unload(), 0u);
    const FreshLoad fresh = load_in_new_process(ks);
    EXPECT_EQ(fresh.code, 0u);
    EXPECT_EQ(fresh.writes, 0u);
}

// A session the token lost (removed and back, a login gone, a device taken
// away) is opened again and the call tried once more: the change is made. An
// answer lost on its way back leaves the token's operation active: that call
// fails and changes nothing, and the next one is made on a new session
// instead of failing for good.
TEST_F(Pkcs11, ALostSessionOrAnswerIsTriedOnceMoreOnANewSession) {
    const std::string module = "/etc/telmor/test-modules/p11_fault.so";
    ASSERT_EQ(
        tvtest::shell("install -d -m 0755 /etc/telmor/test-modules && install -m 0644 " TELMOR_P11_FAULT_MODULE " " +
                      module),
        0);
    uri = "pkcs11:token=" + token->label() + ";object=kek?module-path=" + module + "&pin-source=file:" + pinPath;
    make_sealed_keystore(ks);
    ASSERT_EQ(unload(), 0u);

    // Loads (an unseal) and renewals (a seal) that succeed at once.
    const char *retried[] = {
        "C_Decrypt:1:fail:0xB3",      // CKR_SESSION_HANDLE_INVALID
        "C_Decrypt:1:fail:0x101",     // CKR_USER_NOT_LOGGED_IN
        "C_DecryptInit:1:fail:0x32",  // CKR_DEVICE_REMOVED
        "C_DecryptInit:1:fail:0xE0",  // CKR_TOKEN_NOT_PRESENT
        "C_Encrypt:1:fail:0xB3",     "C_Encrypt:1:fail:0x101", "C_EncryptInit:1:fail:0x32",
        "C_EncryptInit:1:fail:0x90",  // CKR_OPERATION_ACTIVE
    };
    for (const char *plan : retried) {
        SCOPED_TRACE(plan);
        setenv("TELMOR_TEST_P11_AT", plan, 1);
        if (plan[2] == 'D') {
            EXPECT_EQ(load(ks), 0u);
            expect_text_decrypts();
        } else {
            ASSERT_EQ(load(ks), 0u);
            VaqRootKeyRecord before{}, after{};
            ASSERT_EQ(VaqGetRootKeyInfo(&before), 0u);
            EXPECT_EQ(VaqUpdateRootKey(nullptr, 0), 0u);
            ASSERT_EQ(VaqGetRootKeyInfo(&after), 0u);
            EXPECT_EQ(after.version, before.version + 1);
        }
        unsetenv("TELMOR_TEST_P11_AT");
        ASSERT_EQ(unload(), 0u);
    }

    // The answer of the seal's start lost: that renewal fails and changes
    // nothing; the next one is made.
    ASSERT_EQ(load(ks), 0u);
    const Bytes primary = read_bytes(ks.primary);
    setenv("TELMOR_TEST_P11_AT", "C_EncryptInit:1:lose", 1);
    EXPECT_EQ(VaqUpdateRootKey(nullptr, 0), uint32_t{VAQ_ERR_TOKEN_REFUSED});
    EXPECT_EQ(read_bytes(ks.primary), primary);
    EXPECT_EQ(VaqUpdateRootKey(nullptr, 0), 0u) << "the operation the lost answer left active blocks the token";
    unsetenv("TELMOR_TEST_P11_AT");
    ASSERT_EQ(unload(), 0u);
    const FreshLoad fresh = load_in_new_process(ks);
    EXPECT_EQ(fresh.code, 0u);
    ASSERT_EQ(load(ks), 0u);
    expect_text_decrypts();
}

// Every refusal of a key to protect with: its code, one line that says what
// failed, and the keystore as it was (still under its node secret).
TEST_F(Pkcs11, AKeyThatCannotBeUsedIsRefusedWithItsOwnCodeAndChangesNothing) {
    ASSERT_TRUE(token->make_key("generic", SoftHsmToken::KeyKind::kGeneric));
    ASSERT_TRUE(token->make_key("extractable", SoftHsmToken::KeyKind::kExtractable));
    // Locked now, but known outside the token: whoever kept the value opens
    // the sealed root with no token.
    ASSERT_TRUE(token->make_key("imported", SoftHsmToken::KeyKind::kImported));
    ASSERT_TRUE(token->make_key("read-out", SoftHsmToken::KeyKind::kReadOut));
    ASSERT_TRUE(token->make_key("twin", SoftHsmToken::KeyKind::kSealing, "01"));
    ASSERT_TRUE(token->make_key("twin", SoftHsmToken::KeyKind::kSealing, "02"));
    // A module where others could have put it: a copy in a directory under
    // /tmp, which everyone can write to.
    char dir[] = "/tmp/vaq-module-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string copied = std::string(dir) + "/libsofthsm2.so";
    ASSERT_EQ(tvtest::shell("cp /usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so " + copied), 0);
    SoftHsmToken::write_pin(pinDir + "/wrong.pin", "11111111");
    tvtest::write_file("/tmp/vaq-outside.pin", std::string(SoftHsmToken::kPin) + "\n");
    const std::string t = "pkcs11:token=" + token->label();
    const std::string mod = "?module-path=" + std::string(SoftHsmToken::kModule);
    const std::string pin = "&pin-source=file:" + pinPath;

    const struct {
        std::string uri;
        uint32_t code;
        std::string says;
    } cases[] = {
        {t + ";object=kek?module-path=/usr/lib/no-such-module.so" + pin, VAQ_ERR_TOKEN_MODULE,
         "module /usr/lib/no-such-module.so is not used: it is missing"},
        {t + ";object=kek?module-path=" + copied + pin, VAQ_ERR_TOKEN_MODULE,
         "not one only root could have installed \\(/tmp: writable by group or others\\)"},
        {t + ";object=kek?module-name=no-such-module" + pin, VAQ_ERR_TOKEN_MODULE,
         "no module named no-such-module in the p11-kit configuration"},
        {"pkcs11:token=no-such-token;object=kek" + mod + pin, VAQ_ERR_TOKEN_ABSENT,
         "no token labelled no-such-token is present"},
        {t + ";object=missing" + mod + pin, VAQ_ERR_TOKEN_KEY, "there is no object with that label"},
        {t + ";object=generic" + mod + pin, VAQ_ERR_TOKEN_KEY, "it is not an AES key"},
        {t + ";object=extractable" + mod + pin, VAQ_ERR_TOKEN_KEY, "the token would let it out \\(CKA_EXTRACTABLE"},
        {t + ";object=imported" + mod + pin, VAQ_ERR_TOKEN_KEY,
         "may have left the token before it was locked \\(CKA_NEVER_EXTRACTABLE is false"},
        {t + ";object=read-out" + mod + pin, VAQ_ERR_TOKEN_KEY,
         "may have left the token before it was locked \\(CKA_NEVER_EXTRACTABLE is false"},
        {t + ";object=twin" + mod + pin, VAQ_ERR_TOKEN_KEY, "more than one object has that label"},
        // The token is logged in by now (the key cases): another URI's
        // pin-source must still work on its own, since it is what is recorded.
        {t + ";object=kek" + mod + "&pin-source=file:" + pinDir + "/wrong.pin", VAQ_ERR_TOKEN_PIN,
         "the PIN is wrong: CKR_PIN_INCORRECT"},
        // A URI the keystore's owner could write may not steer the PIN to
        // anything but a PIN file of the keystore's own.
        {t + ";object=kek" + mod + "&pin-source=file:/tmp/vaq-outside.pin", VAQ_ERR_TOKEN_PIN,
         "the PIN source /tmp/vaq-outside.pin is not used: a keystore's PIN is a file NAME.pin in its own secret "
         "directory"},
        {t + ";object=kek" + mod + "&pin-source=file:/etc/telmor/vaq/agent/kek.pin", VAQ_ERR_TOKEN_PIN,
         "the PIN source /etc/telmor/vaq/agent/kek.pin is not used"},
        {t + ";object=kek" + mod + "&pin-source=file:" + tvtest::node_secret_path(ks.primary), VAQ_ERR_TOKEN_PIN,
         "\\.secret is not used: a keystore's PIN is a file NAME.pin"},
        {t + ";object=kek" + mod, VAQ_ERR_TOKEN_PIN, "it asks for a PIN and the URI names no pin-source"},
        {t + ";object=kek" + mod + "&pin-value=20261210", VAQ_ERR_BAD_ARG, "a PIN is never taken in the URI"},
        {t + ";object=kek;serial=1" + mod + pin, VAQ_ERR_TOKEN_ABSENT,
         "no token labelled " + token->label() + " \\(serial 1\\) is present"},
        {t + ";object=kek;slot-id=0x1" + mod + pin, VAQ_ERR_BAD_ARG, "slot-id must be a decimal number"},
        {t + ";object=kek;serial=" + mod + pin, VAQ_ERR_BAD_ARG, "an attribute with an empty value: serial"},
        {t + ";object=kek;library-version=1" + mod + pin, VAQ_ERR_BAD_ARG,
         "an attribute this system does not take: library-version"},
        {t + ";object=kek;object=kek" + mod + pin, VAQ_ERR_BAD_ARG, "an attribute given twice: object"},
        {t + ";object=kek" + mod + "&pin-source=file:kek.pin", VAQ_ERR_BAD_ARG, "must name an absolute path"},
        {t + ";object=kek;type=private" + mod + pin, VAQ_ERR_BAD_ARG, "must be of type secret-key"},
        {t + ";object=k%2" + mod + pin, VAQ_ERR_BAD_ARG, "not well percent-encoded"},
        {t + ";object=kek", VAQ_ERR_BAD_ARG, "exactly one of module-path= and module-name="},
    };
    ASSERT_EQ(load(ks), 0u);
    const Bytes primary = read_bytes(ks.primary), standby = read_bytes(ks.standby);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.uri);
        clear_log();
        EXPECT_EQ(VaqPrivProtectToken(c.uri.c_str()), c.code);
        const auto errors = error_lines();
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_TRUE(std::regex_search(errors[0].message, std::regex(c.says))) << errors[0].message;
        // No line ever shows a PIN.
        EXPECT_EQ(errors[0].message.find(SoftHsmToken::kPin), std::string::npos) << errors[0].message;
        EXPECT_EQ(read_bytes(ks.primary), primary);
        EXPECT_EQ(read_bytes(ks.standby), standby);
    }
    EXPECT_EQ(protector_kind(), uint32_t{VAQ_PRIV_PROTECTOR_FILE});
    // Named by its id among two of one label, the key is taken; and through
    // the p11-kit configuration's module name.
    EXPECT_EQ(VaqPrivProtectToken((t + ";object=twin;id=%02" + mod + pin).c_str()), 0u);
    EXPECT_EQ(VaqPrivProtectToken((t + ";object=kek?module-name=softhsm2" + pin).c_str()), 0u);
    std::string location;
    EXPECT_EQ(protector_kind(&location), uint32_t{VAQ_PRIV_PROTECTOR_PKCS11});
    EXPECT_EQ(location, t + ";object=kek?module-name=softhsm2" + pin);
    std::filesystem::remove_all(dir);
    std::remove("/tmp/vaq-outside.pin");
}

}  // namespace
