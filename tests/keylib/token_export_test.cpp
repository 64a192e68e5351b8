// SPDX-License-Identifier: Apache-2.0
// Exports sealed to a key in a PKCS#11 token (SoftHSM2) instead of a password:
// opened with no password on a node that shares the token, refused (2044)
// with nothing changed on a node that cannot use the key, and refused when
// altered.
//
// The module reads its configuration once per process and keeps its login
// for the life of the process, so every node here is a process of its own
// (this test process never loads the module): each child is a node, with the
// token directory it can see and the PIN in its own secret directory.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "child.h"
#include "keylib_fixture.h"
#include "softhsm_token.h"
#include "vaq/vaq_private.h"

using namespace kltest;
using tvtest::SoftHsmToken;

namespace {

const char kPinPath[] = "/etc/telmor/vaq/fleet.pin";
const unsigned char kPassword[] = "correct horse battery staple";
const uint32_t kPasswordLen = sizeof kPassword - 1;

// A check inside a node's process: the process ends with the failing line's
// number (the parent sees it as the child's status) and says why on stderr.
#define NODE_CHECK(cond)                                                                 \
    do {                                                                                 \
        if (!(cond)) {                                                                   \
            std::fprintf(stderr, "node check failed at line %d: %s\n", __LINE__, #cond); \
            return __LINE__ % 250 + 1;                                                   \
        }                                                                                \
    } while (0)

// What a node sees: the shared token directory (as nodes share a network HSM
// or a key service) or an empty one of its own, and the PIN it keeps.
struct Node {
    bool sharesToken = true;
    const char *pin = SoftHsmToken::kPin;  // null: no PIN file
};

// Runs body as a node: a process of its own with the node's token view and
// PIN file; 0 when every NODE_CHECK held.
int as_node(const Node &node, const std::function<int()> &body) {
    return tvtest::run_in_child([&] {
        setenv("SOFTHSM2_CONF", (node.sharesToken ? SoftHsmToken::conf() : SoftHsmToken::isolated_conf()).c_str(), 1);
        std::remove(kPinPath);
        if (node.pin != nullptr) SoftHsmToken::write_pin(kPinPath, node.pin);
        clear_log();
        const int rc = body();
        unload();
        return rc;
    });
}

// Says what was logged when it is not the one line expected.
bool one_error_line_with(const std::string &part) {
    const auto lines = error_lines();
    if (lines.size() == 1 && lines[0].message.find(part) != std::string::npos) return true;
    std::fprintf(stderr, "expected one error line with [%s], got %zu:\n", part.c_str(), lines.size());
    for (const auto &l : lines) std::fprintf(stderr, "  %s", l.message.c_str());
    return false;
}

class TokenExport : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(token.ok()) << token.error();
        ASSERT_TRUE(token.make_key("kek"));
        uri = token.uri("kek", kPinPath);
        file = a.dir + "/fleet.vaqx";
    }

    // Node A: its keys (a registered one among them) exported sealed to the
    // token key, and a text under its active key of domain 50.
    void make_export() {
        ASSERT_EQ(as_node({},
                          [&] {
                              NODE_CHECK(load(a) == 0);
                              const Bytes material = sound_key_material(48);
                              NODE_CHECK(VaqRegisterMkEx(105, 31337, material.data(), 32) == 0);
                              NODE_CHECK(VaqPrivExportMkFileToken(file.c_str(), uri.c_str()) == 0);
                              write_bytes(a.dir + "/cipher", encrypt(50, plain));
                              return 0;
                          }),
                  0);
        cipher = read_bytes(a.dir + "/cipher");
    }

    // Node A's keys exported sealed to the key "kek" made in `other`: the
    // file's path, or "" when that failed.
    std::string export_with_own_token(SoftHsmToken &other) {
        const std::string path = a.dir + "/" + other.label() + ".vaqx";
        const std::string otherUri = other.uri("kek", kPinPath);
        if (!other.ok() || !other.make_key("kek")) return "";
        const int rc = as_node({}, [&] {
            NODE_CHECK(load(a) == 0);
            NODE_CHECK(VaqPrivExportMkFileToken(path.c_str(), otherUri.c_str()) == 0);
            return 0;
        });
        return rc == 0 ? path : "";
    }

    SoftHsmToken token{"fleet"};
    std::string uri;
    KeystoreFiles a, b;
    std::string file;
    Bytes plain{1, 2, 3, 4};
    Bytes cipher;
};

TEST_F(TokenExport, ANodeSharingTheTokenImportsAndJoinsWithNoPassword) {
    make_export();
    const Bytes sealed = read_bytes(file);
    ASSERT_GT(sealed.size(), 64u + uri.size());
    EXPECT_EQ(sealed[8], 2) << "format version 2";
    EXPECT_EQ(sealed[10], 2) << "kind 2: sealed to a token key";
    const std::string text(sealed.begin(), sealed.end());
    EXPECT_NE(text.find("object=kek"), std::string::npos) << "the file records the URI";
    EXPECT_EQ(text.find(SoftHsmToken::kPin), std::string::npos) << "never the PIN";

    EXPECT_EQ(as_node({},
                      [&] {
                          NODE_CHECK(load(b) == 0);
                          Bytes out;
                          NODE_CHECK(decrypt(50, cipher, &out) == QOR_ERR_KEY_NOT_LOADED);
                          const auto before = list_keys();
                          NODE_CHECK(VaqImportMkFileEx(file.c_str(), nullptr, 0) == 0);
                          NODE_CHECK(decrypt(50, cipher, &out) == 0 && out == plain);
                          const auto imported = list_keys();
                          NODE_CHECK(imported.size() > before.size());
                          // A password given for such a file is not used: the import
                          // succeeds and, the keys being there, changes nothing.
                          reset_counters();
                          NODE_CHECK(VaqImportMkFileEx(file.c_str(), kPassword, kPasswordLen) == 0);
                          NODE_CHECK(write_calls() == 0 && list_keys() == imported);
                          // A join makes the exporter's active keys active here.
                          uint32_t added = 0, activated = 0, marked = 0;
                          NODE_CHECK(VaqPrivJoinMkFile(file.c_str(), nullptr, 0, &added, &activated, &marked) == 0);
                          NODE_CHECK(added == 0 && activated == kDomains.size() && marked == kDomains.size());
                          const Bytes fromB = encrypt(50, plain);
                          write_bytes(b.dir + "/cipher", fromB);
                          return 0;
                      }),
              0);
    // What the joined node encrypts, the exporter decrypts.
    const Bytes fromB = read_bytes(b.dir + "/cipher");
    EXPECT_EQ(as_node({},
                      [&] {
                          NODE_CHECK(load(a) == 0);
                          Bytes out;
                          NODE_CHECK(decrypt(50, fromB, &out) == 0 && out == plain);
                          return 0;
                      }),
              0);
}

// A node that cannot use the key learns which cause it is, in one line, and
// nothing changes: not its keys, not its keystore files.
TEST_F(TokenExport, ANodeThatCannotUseTheKeyIsRefusedAndNothingChanges) {
    make_export();
    // The same token, the key replaced by another of the same label.
    SoftHsmToken swapped("swapped");
    const std::string swappedFile = export_with_own_token(swapped);
    ASSERT_FALSE(swappedFile.empty());
    ASSERT_TRUE(swapped.delete_key("kek"));
    ASSERT_TRUE(swapped.make_key("kek"));
    // A token whose key is gone.
    SoftHsmToken emptied("emptied");
    const std::string emptiedFile = export_with_own_token(emptied);
    ASSERT_FALSE(emptiedFile.empty());
    ASSERT_TRUE(emptied.delete_key("kek"));

    struct Case {
        const char *name;
        Node node;
        const std::string &file;
        const char *cause;  // in the one error line
    };
    const Case cases[] = {
        {"no access to the token", {false, SoftHsmToken::kPin}, file, "no token labelled"},
        {"wrong PIN", {true, "99999999"}, file, "no login to the token"},
        {"no PIN kept", {true, nullptr}, file, "no login to the token"},
        {"the key deleted", {}, emptiedFile, "there is no object"},
        // SoftHSM2 answers a tag that does not match with a general error, not
        // as a seal of another key: the line says the unsealing failed.
        {"another key under the same label", {}, swappedFile, "unsealing"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(
            as_node(c.node,
                    [&] {
                        NODE_CHECK(load(b) == 0);
                        const auto keys = list_keys();
                        const Bytes primary = read_bytes(b.primary);
                        const Bytes standby = read_bytes(b.standby);
                        clear_log();
                        NODE_CHECK(VaqImportMkFileEx(c.file.c_str(), nullptr, 0) == VAQ_ERR_EXPORT_KEY_UNREACHABLE);
                        NODE_CHECK(one_error_line_with(c.cause));
                        NODE_CHECK(one_error_line_with("ret=2044"));
                        clear_log();
                        uint32_t added = 9, activated = 9, marked = 9;
                        NODE_CHECK(VaqPrivJoinMkFile(c.file.c_str(), kPassword, kPasswordLen, &added, &activated,
                                                     &marked) == VAQ_ERR_EXPORT_KEY_UNREACHABLE);
                        NODE_CHECK(added == 0 && activated == 0 && marked == 0);
                        NODE_CHECK(one_error_line_with(c.cause));
                        NODE_CHECK(list_keys() == keys);
                        NODE_CHECK(read_bytes(b.primary) == primary && read_bytes(b.standby) == standby);
                        return 0;
                    }),
            0);
    }

    // Nor does such a node write an export sealed to the key.
    const std::string refused = b.dir + "/refused.vaqx";
    EXPECT_EQ(as_node({false, SoftHsmToken::kPin},
                      [&] {
                          NODE_CHECK(load(b) == 0);
                          NODE_CHECK(VaqPrivExportMkFileToken(refused.c_str(), uri.c_str()) ==
                                     VAQ_ERR_EXPORT_KEY_UNREACHABLE);
                          NODE_CHECK(one_error_line_with("no token labelled"));
                          return 0;
                      }),
              0);
    EXPECT_FALSE(exists(refused));
}

// A key whose value was once outside the token (imported, or read out and
// then locked) seals no export: whoever kept the value would open the file
// with no token. The line names the attribute; no file is left.
TEST_F(TokenExport, AKeyWhoseValueWasKnownOutsideTheTokenSealsNoExport) {
    ASSERT_TRUE(token.make_key("imported", SoftHsmToken::KeyKind::kImported));
    ASSERT_TRUE(token.make_key("read-out", SoftHsmToken::KeyKind::kReadOut));
    for (const char *key : {"imported", "read-out"}) {
        SCOPED_TRACE(key);
        const std::string path = a.dir + "/" + key + ".vaqx";
        const std::string keyUri = token.uri(key, kPinPath);
        EXPECT_EQ(as_node({},
                          [&] {
                              NODE_CHECK(load(a) == 0);
                              NODE_CHECK(VaqPrivExportMkFileToken(path.c_str(), keyUri.c_str()) ==
                                         VAQ_ERR_EXPORT_KEY_UNREACHABLE);
                              NODE_CHECK(one_error_line_with("CKA_NEVER_EXTRACTABLE is false"));
                              return 0;
                          }),
                  0);
        EXPECT_FALSE(exists(path));
    }
}

// An altered file, or one of a kind or version this library does not know,
// is refused before anything changes; the password reader refuses what is
// not its own version with the export-format code, as every earlier reader did.
TEST_F(TokenExport, AnAlteredOrUnknownFileIsRefusedAndNothingChanges) {
    make_export();
    const Bytes sealed = read_bytes(file);
    const size_t uriAt = 64;
    const size_t keyAt = uriAt + (sealed[12] | sealed[13] << 8);
    const size_t payloadAt = keyAt + (sealed[14] | sealed[15] << 8);
    const size_t objectAt = std::string(sealed.begin(), sealed.end()).find("object=kek") + 7;
    ASSERT_LT(objectAt, keyAt);
    auto flip = [](size_t at) { return [at](Bytes &f) { f[at] ^= 1; }; };
    auto set = [](size_t at, uint8_t v) { return [at, v](Bytes &f) { f[at] = v; }; };
    struct Case {
        const char *name;
        std::function<void(Bytes &)> damage;
        unsigned long code;
        const char *cause = "";  // in the one error line
    };
    const std::vector<Case> cases = {
        {"payload", flip(payloadAt + 3), VAQ_ERR_EXPORT_AUTH},
        {"tag", flip(sealed.size() - 1), VAQ_ERR_EXPORT_AUTH},
        {"nonce", flip(33), VAQ_ERR_EXPORT_AUTH},
        {"key count", flip(44), VAQ_ERR_EXPORT_AUTH},
        {"the sealed key's layout byte", flip(keyAt), VAQ_ERR_EXPORT_AUTH},
        // The token cannot tell a sealed key altered from one sealed under
        // another key: the node cannot use what the file holds.
        {"the sealed key", flip(keyAt + 20), VAQ_ERR_EXPORT_KEY_UNREACHABLE},
        {"the URI, to another object", set(objectAt, 'x'), VAQ_ERR_EXPORT_KEY_UNREACHABLE},
        {"the URI, unprintable", set(uriAt + 3, 0x01), VAQ_ERR_EXPORT_FORMAT},
        {"the URI, not one", set(uriAt, 'q'), VAQ_ERR_EXPORT_FORMAT},
        // A PIN source that is no PIN file (fleet.pia, which holds the PIN
        // here) is not read at all: a node secret is never handed to a
        // module that a file names.
        {"the URI's PIN source", set(keyAt - 1, 'a'), VAQ_ERR_EXPORT_KEY_UNREACHABLE, "no PIN file"},
        {"reserved", flip(20), VAQ_ERR_EXPORT_FORMAT},
        {"URI length zero", [](Bytes &f) { f[12] = f[13] = 0; }, VAQ_ERR_EXPORT_FORMAT},
        {"truncated", [&](Bytes &f) { f.resize(payloadAt + 10); }, VAQ_ERR_EXPORT_FORMAT},
        {"version 3", set(8, 3), VAQ_ERR_EXPORT_FORMAT},
        {"kind 3", set(10, 3), VAQ_ERR_EXPORT_FORMAT},
        {"version 2 of the password kind", set(10, 1), VAQ_ERR_EXPORT_FORMAT},
        {"version 1 of the token kind", set(8, 1), VAQ_ERR_EXPORT_FORMAT},
    };
    const std::string tampered = b.dir + "/tampered.vaqx";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes f = sealed;
        c.damage(f);
        write_bytes(tampered, f);
        EXPECT_EQ(as_node({},
                          [&] {
                              NODE_CHECK(load(b) == 0);
                              SoftHsmToken::write_pin("/etc/telmor/vaq/fleet.pia");
                              const auto keys = list_keys();
                              const Bytes primary = read_bytes(b.primary);
                              clear_log();
                              // With a password as well: a reader that does not take
                              // the file for a token-sealed one tries none on it.
                              NODE_CHECK(VaqImportMkFileEx(tampered.c_str(), kPassword, kPasswordLen) == c.code);
                              NODE_CHECK(one_error_line_with(c.cause));
                              NODE_CHECK(list_keys() == keys && read_bytes(b.primary) == primary);
                              return 0;
                          }),
                  0);
    }
}

}  // namespace
