/* SPDX-License-Identifier: Apache-2.0 */
// SoftHSM2 tokens for tests: a real PKCS#11 token, kept in a temporary
// directory of the test's own, its keys made with pkcs11-tool (and, for keys
// whose value was known outside the token, with vaq-test-token-key).
//
//   tvtest::SoftHsmToken token("node-kek");          // a token, logged-in PIN kPin
//   ASSERT_TRUE(token.ok()) << token.error();
//   ASSERT_TRUE(token.make_key("kek"));              // AES-256, sensitive, never extractable
//   token.write_pin("/etc/telmor/vaq/kek.pin");      // a pin-source, 0400
//   std::string uri = token.uri("kek", "/etc/telmor/vaq/kek.pin");
//
// The module reads SOFTHSM2_CONF once, when a process first initialises it, so
// the configuration is made once per test process and set in its environment
// (processes it starts inherit it); each token made is a new token in that
// directory under a label of its own. A second node that shares the tokens
// (as nodes share a network HSM) runs with the same SOFTHSM2_CONF; one that
// does not, with SoftHsmToken::isolated_conf() (an empty token directory).
#ifndef TELMOR_TEST_SOFTHSM_TOKEN_H
#define TELMOR_TEST_SOFTHSM_TOKEN_H

#include <string>

namespace tvtest {

class SoftHsmToken {
public:
    static constexpr const char *kModule = "/usr/lib/softhsm/libsofthsm2.so";
    static constexpr const char *kPin = "20261210";
    static constexpr const char *kSoPin = "12345678";

    // Whether softhsm2-util, pkcs11-tool and the module are installed.
    static bool available();
    // Why a token test cannot run here, or "": the tools are missing, or the
    // module is not root's (in a user namespace the system's files belong to
    // nobody, and the library rightly loads no module from there).
    static std::string unusable();
    // The process's SoftHSM2 configuration (made at first use, SOFTHSM2_CONF
    // set to it) and its token directory.
    static const std::string &conf();
    static const std::string &token_dir();
    // A configuration of its own with an empty token directory: a node
    // without access to the tokens. Made once per process.
    static const std::string &isolated_conf();

    // Initialises a token labelled `label` (made unique in the process when a
    // token with that label was already made, unless `shareLabel`: then a
    // token may carry the label of another, as two tokens of one fleet may)
    // with the user PIN kPin.
    explicit SoftHsmToken(const std::string &label = "vaq-test", bool shareLabel = false);
    bool ok() const { return error_.empty(); }
    const std::string &error() const { return error_; }
    const std::string &label() const { return label_; }
    // The token's serial number, as its token information gives it.
    const std::string &serial() const { return serial_; }

    enum class KeyKind {
        kSealing,      // AES-256, sensitive, never extractable: what the protector takes
        kExtractable,  // AES-256 the token would let out
        kGeneric,      // a generic secret, not AES
        kImported,     // AES-256 created with a value known outside, then sensitive, not extractable
        kReadOut,      // AES-256 generated readable, read out, then made sensitive, not extractable
    };
    // Makes a key labelled `key` in the token (hexId: its CKA_ID in hex, or "").
    // kImported and kReadOut take no id; their value is in known_value().
    bool make_key(const std::string &key, KeyKind kind = KeyKind::kSealing, const std::string &hexId = "");
    // The value (hex) of the last kImported or kReadOut key made.
    const std::string &known_value() const { return known_; }
    // Deletes every object labelled `key`.
    bool delete_key(const std::string &key);
    // Writes `pin` (default: the token's) to path, mode 0400, owned by the
    // effective user: a pin-source.
    static void write_pin(const std::string &path, const std::string &pin = kPin);
    // The URI of a key of this token, with module-path, and pin-source when
    // a path is given.
    std::string uri(const std::string &key, const std::string &pinPath = "") const;

private:
    bool tool(const std::string &args) const;
    bool key_tool(const std::string &args, std::string *out = nullptr) const;
    std::string label_;
    std::string slot_;
    std::string serial_;
    std::string known_;
    std::string error_;
};

}  // namespace tvtest

#endif
