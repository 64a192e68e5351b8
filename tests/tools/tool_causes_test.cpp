// SPDX-License-Identifier: Apache-2.0
// Every failure an operator meets gets a sentence naming its cause: one line
// on stderr, exit status 1, the library's code where it answered one.
#include <sys/mount.h>
#include <sys/stat.h>

#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "node_state.h"
#include "tool_runner.h"

namespace {

using namespace tooltest;

const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string b64_decode(const std::string &text) {
    std::string out;
    uint32_t acc = 0;
    int bits = 0;
    for (char c : text) {
        const char *p = std::strchr(kB64, c);
        if (c == '=' || p == nullptr || c == '\0') break;
        acc = (acc << 6) | static_cast<uint32_t>(p - kB64);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((acc >> bits) & 0xff));
        }
    }
    return out;
}

std::string b64_encode(const std::string &bytes) {
    std::string out;
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const uint32_t v =
            uint32_t(uint8_t(bytes[i])) << 16 | uint32_t(uint8_t(bytes[i + 1])) << 8 | uint8_t(bytes[i + 2]);
        for (int s = 18; s >= 0; s -= 6) out.push_back(kB64[(v >> s) & 63]);
    }
    if (i < bytes.size()) {
        uint32_t v = uint32_t(uint8_t(bytes[i])) << 16;
        if (i + 1 < bytes.size()) v |= uint32_t(uint8_t(bytes[i + 1])) << 8;
        out.push_back(kB64[(v >> 18) & 63]);
        out.push_back(kB64[(v >> 12) & 63]);
        out += i + 1 < bytes.size() ? std::string(1, kB64[(v >> 6) & 63]) + "=" : "==";
    }
    return out;
}

// The text with its header's domain id set to `domain` (bytes 4..7).
std::string with_domain(const std::string &text, uint32_t domain) {
    std::string raw = b64_decode(text);
    for (int i = 0; i < 4; ++i) raw[4 + i] = static_cast<char>(domain >> (8 * i));
    return b64_encode(raw);
}

struct Case {
    std::string name;
    std::string setup;  // shell command run first ("" for none)
    std::string args;
    std::string input;
    int status;
    std::string err;  // pattern for the one line on stderr
};

void run_cases(const std::vector<Case> &cases) {
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name + ": telmor-vaq " + c.args);
        if (!c.setup.empty()) {
            ASSERT_EQ(shell(c.setup), 0) << c.setup;
        }
        const Outcome r = tool(c.args, c.input);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
        const std::string line = r.err.substr(0, r.err.find('\n'));
        EXPECT_TRUE(std::regex_search(line, std::regex(c.err))) << r.err;
        EXPECT_EQ(r.err.find("key library code"), std::string::npos) << r.err;
    }
}

class ToolCauses : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(tool("init").status, 0); }
};

TEST_F(ToolCauses, KeyLifecycleAndTransferFailuresNameTheirCause) {
    const std::string dir = scratch();
    const std::string pw = password_words("pw", "correct horse battery");
    const std::string badPw = password_words("badpw", "wrong horse battery");
    ASSERT_EQ(tool("export " + dir + "/keys.vaqx" + pw).status, 0);
    const std::string active = [] {
        std::smatch m;
        const std::string keys = tool("keys --domain 50").out;
        std::regex_search(keys, m, std::regex("\n50 HXA_ENCRYPT +([0-9]+) +yes"));
        return m[1].str();
    }();
    ASSERT_FALSE(active.empty());
    ASSERT_EQ(tool("register-key --domain 50 --key-id 77", std::string(32, 'a')).status, 0);
    mkdir((dir + "/ro").c_str(), 0700);
    ASSERT_EQ(mount("ro", (dir + "/ro").c_str(), "tmpfs", MS_RDONLY, nullptr), 0);

    run_cases({
        {"wrong password", "", "import " + dir + "/keys.vaqx" + badPw, "", 1,
         "wrong password, or .*keys.vaqx was not made by export.*\\(code 2021\\)$"},
        {"damaged export file", "head -c 40 " + dir + "/keys.vaqx > " + dir + "/cut.vaqx",
         "import " + dir + "/cut.vaqx" + pw, "", 1, "cut.vaqx is not an export file, is cut short.*\\(code 2020\\)$"},
        {"missing import file", "", "import " + dir + "/none.vaqx" + pw, "", 1, "none.vaqx does not exist$"},
        {"missing directory", "", "import " + dir + "/nodir/x.vaqx" + pw, "", 1,
         "directory " + dir + "/nodir does not exist$"},
        {"export into a missing directory", "", "export " + dir + "/nodir/x.vaqx" + pw, "", 1,
         "directory " + dir + "/nodir does not exist \\(code 2007\\)$"},
        {"export onto a read-only file system", "", "export " + dir + "/ro/x.vaqx" + pw, "", 1,
         "the file system holding " + dir + "/ro/x.vaqx is read-only|the file system holding " + dir +
             "/ro is read-only"},
        {"export onto an existing file", "", "export " + dir + "/keys.vaqx" + pw, "", 1,
         "keys.vaqx exists already: choose another name, or give --force to replace it$"},
        {"short export password", "", "export " + dir + "/new.vaqx" + password_words("short", "eleven char"), "", 1,
         "the password is too short: export passwords need at least 12 characters$"},
        {"unknown domain: keys", "", "keys --domain 9999", "", 1,
         "domain 9999 does not exist on this node \\(see 'telmor-vaq domains'\\)$"},
        {"unknown domain: encrypt", "", "encrypt --domain 9999", "x", 1, "domain 9999 does not exist on this node"},
        {"unknown domain: create-key", "", "create-key --domain 9999", "", 1, "domain 9999 does not exist"},
        {"unknown key", "", "activate-key --domain 50 --key-id 12345", "", 1,
         "domain 50 has no master key 12345 .*\\(code 2012\\)$"},
        {"clashing key", "", "register-key --domain 50 --key-id 77", std::string(32, 'b'), 1,
         "key id 77 is already used in domain 50 for other material: choose another id \\(code 2013\\)$"},
        {"deleting the active key", "", "delete-key --domain 50 --key-id " + active, "", 1,
         "key " + active + " is the active key of domain 50: activate another key first \\(code 2014\\)$"},
        {"bad key length", "", "register-key --domain 50 --key-id 78", "short", 1,
         "key material takes 16 to 256 bytes.*\\(code 2015\\)$"},
        {"key id 0", "", "register-key --domain 50 --key-id 0", std::string(32, 'c'), 1,
         "key ids run from 1 to 4294967295\\), or a token key's URI refused .* \\(code 2024\\)$"},
    });
    umount((dir + "/ro").c_str());
}

TEST_F(ToolCauses, DecryptFailuresAreToldApart) {
    const std::string text = first_line(tool("encrypt --domain 50", "secret").out);
    ASSERT_FALSE(text.empty());
    // A text under key 77, which is then deleted.
    ASSERT_EQ(tool("register-key --domain 51 --key-id 77", std::string(32, 'k')).status, 0);
    const std::string before = [] {
        std::smatch m;
        const std::string keys = tool("keys --domain 51").out;
        std::regex_search(keys, m, std::regex("\n51 NUV_ENCRYPT +([0-9]+) +yes"));
        return m[1].str();
    }();
    ASSERT_EQ(tool("activate-key --domain 51 --key-id 77").status, 0);
    const std::string orphan = first_line(tool("encrypt --domain 51", "secret").out);
    ASSERT_EQ(tool("activate-key --domain 51 --key-id " + before).status, 0);
    ASSERT_EQ(tool("delete-key --domain 51 --key-id 77").status, 0);
    std::string tampered = text;
    tampered[tampered.size() - 6] = tampered[tampered.size() - 6] == 'A' ? 'B' : 'A';

    run_cases({
        {"not Base64", "", "decrypt --domain 50 'not*base64'", "", 1, "the text is not Base64 \\(code 1\\)$"},
        {"not our format", "", "decrypt --domain 50 QUJDREVGR0g=", "", 1,
         "not a cipher text of this system, or is cut short \\(code 1\\)$"},
        {"tampered", "", "decrypt --domain 50 " + tampered, "", 1,
         "the text is damaged or was altered \\(authentication failed\\) \\(code 1\\)$"},
        {"another domain", "", "decrypt --domain 51 " + text, "", 1,
         "the text was made under domain 50, not 51: decrypt it with --domain 50 \\(code 1\\)$"},
        {"key not in this keystore", "", "decrypt --domain 51 " + orphan, "", 1,
         "made under key 77 of domain 51, which this keystore does not hold \\(deleted, or made on another node"},
        {"text of an unknown domain", "", "decrypt --domain 50 " + with_domain(text, 9999), "", 1,
         "made under domain 9999, which does not exist on this node"},
        {"asked for an unknown domain", "", "decrypt --domain 9999 " + text, "", 1,
         "domain 9999 does not exist on this node"},
    });
    // inspect names the key without decrypting, and says it is gone.
    const Outcome seen = tool("inspect " + orphan);
    EXPECT_EQ(seen.status, 0);
    EXPECT_TRUE(std::regex_search(seen.out, std::regex("domain +51 NUV_ENCRYPT\nkey id +77\n")));
    EXPECT_TRUE(std::regex_search(seen.out, std::regex("key held here +no: deleted, or made on another node")));
}

TEST(ToolCausesFresh, KeystoreOpenFailuresNameTheirCause) {
    ASSERT_EQ(tool("init").status, 0);
    const std::string image = slurp(kPrimary);
    std::string damaged = image;
    damaged[damaged.size() - 40] ^= 0x44;  // in the last master-key record
    spit(scratch() + "/dmg", damaged);
    run_cases({
        {"both copies damaged", "cp " + scratch() + "/dmg " + kPrimary + " && cp " + scratch() + "/dmg " + kStandby,
         "keys", "", 1,
         "cannot open the keystore of role HXA: neither keystore copy verifies \\(both damaged or altered\\); "
         "the files are left as they are: restore both from a backup"},
    });
    EXPECT_EQ(slurp(kPrimary), damaged);
}

// The node's shared objects belong to root: another account is told so, not
// that its keystore is damaged.
TEST(ToolCausesFresh, SharedObjectsOfAnotherUserAreNamed) {
    ASSERT_EQ(tool("init").status, 0);
    ASSERT_EQ(shell("chown -R 4242:4242 /opt/telmor/agent /var/log/oam/hxa"), 0);
    const Outcome r = tool_as(4242, "keys");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(std::regex_search(r.err, std::regex("cannot open the keystore of role HXA: the node's keystore "
                                                    "version segment \\(key " +
                                                    tvtest::ipc_key_text(node_layout::kVersionSegmentKey) +
                                                    "\\) is not used: no permission for this user \\(owner uid 0, "
                                                    "creator uid 0, mode 0600\\): run the tool as the account the "
                                                    "node's processes run as, or as root \\(code 1\\)\n")))
        << r.err;
}

}  // namespace
