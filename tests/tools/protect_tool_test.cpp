// SPDX-License-Identifier: Apache-2.0
// telmor-vaq and the root protector: `status` names it, `protect` moves the
// keystore between the node secret and a (software) TPM, `init --protector`
// starts one under the TPM or a PKCS#11 token key, and refusals say what to do.
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <regex>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "legacy_keystore.h"
#include "softhsm_token.h"
#include "swtpm.h"
#include "tool_runner.h"

namespace {

using tooltest::Outcome;
using tooltest::tool;
using tooltest::tool_as;

bool has(const std::string &text, const std::string &pattern) { return std::regex_search(text, std::regex(pattern)); }

TEST(ToolProtector, StatusNamesTheNodeSecretAndRefusalsSayWhatToDo) {
    ASSERT_EQ(tool("init --role HXA").status, 0);
    const Outcome status = tool("status");
    ASSERT_EQ(status.status, 0) << status.err;
    EXPECT_TRUE(has(status.out, "\nprotector +file \\(node secret /etc/telmor/vaq/agent/agent.secret\\)\n"))
        << status.out;
    const Outcome json = tool("status --json");
    const nlohmann::json parsed = nlohmann::json::parse(json.out);
    EXPECT_EQ(parsed["protector"],
              nlohmann::json::parse(R"({"kind": "file", "secret": "/etc/telmor/vaq/agent/agent.secret"})"))
        << json.out;
    // Moving to the protector it has changes nothing and says so.
    const Outcome same = tool("protect --with file");
    EXPECT_EQ(same.status, 0) << same.err;

    // Usage errors: exit 2 with the reason.
    const struct {
        const char *args;
        const char *err;
    } cases[] = {
        {"protect", "--with is required"},
        {"protect --with hsm", "hsm not in \\{file,tpm2,pkcs11\\}"},
        {"protect --with file --pcrs 7", "--pcrs binds only the tpm2 protector"},
        {"protect --with tpm2 --pcrs 24", "PCR numbers 0 to 23"},
        {"protect --with tpm2 --pcrs 3-1", "PCR numbers 0 to 23"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args);
        const Outcome r = tool(c.args);
        EXPECT_EQ(r.status, 2);
        EXPECT_TRUE(has(r.err, c.err)) << r.err;
    }
    setenv("TELMOR_VAQ_TCTI", "device:/nonexistent/tpmrm0", 1);
    const Outcome noTpm = tool("protect --with tpm2");
    unsetenv("TELMOR_VAQ_TCTI");
    EXPECT_EQ(noTpm.status, 1);
    EXPECT_TRUE(has(noTpm.err, "no TPM reached.*\\(code 2032\\)")) << noTpm.err;
    EXPECT_TRUE(has(tool("status").out, "protector +file")) << "a refused move changed the keystore";
}

// protect renews the root: a copy forged with the root of a backup from
// before the move (an unprotected keystore holds its root in the file) does
// not verify, and status never calls it good; nor an unprotected copy put in
// place of both on a node where the keystore is protected.
TEST(ToolProtector, StatusNeverCallsGoodACopyForgedWithTheRootOfAnOldBackup) {
    const std::string primary = "/opt/telmor/agent/conf/vaq/conf/primary_ks.key";
    const std::string standby = "/opt/telmor/agent/conf/vaq/bkp/standby_ks.key";
    ASSERT_EQ(tool("init --role HXA").status, 0);
    const kltest::Root oldRoot = kltest::random_root();
    const kltest::Bytes backup = kltest::legacy_image(5, oldRoot, kltest::legacy_keys());
    std::remove("/etc/telmor/vaq/agent/agent.secret");
    tvtest::write_bytes(primary, backup);
    tvtest::write_bytes(standby, backup);
    EXPECT_TRUE(has(tool("status").out, "protector +none")) << tool("status").out;
    const Outcome moved = tool("protect --with file");
    ASSERT_EQ(moved.status, 0) << moved.err;
    const Outcome enc = tool("encrypt --domain 50", "after the move");
    ASSERT_EQ(enc.status, 0) << enc.err;

    const kltest::Bytes sealed = tvtest::read_bytes(primary);
    tvtest::write_bytes(standby, kltest::forged_protected_image(1000, sealed, oldRoot, kltest::legacy_keys()));
    const Outcome status = tool("status");
    EXPECT_TRUE(has(status.out, "\nprimary +\\S+ .* good\n")) << status.out;
    // status writes nothing: the forged copy is named, and the good one it is to be rewritten from.
    EXPECT_TRUE(has(status.out, "\nstandby +\\S+ .* damaged \\(was damaged; the primary copy is good")) << status.out;
    EXPECT_EQ(tool("decrypt --domain 50", enc.out).out, "after the move");

    const kltest::Bytes planted = kltest::legacy_image(1000, kltest::random_root(), kltest::legacy_keys());
    tvtest::write_bytes(primary, planted);
    tvtest::write_bytes(standby, planted);
    const Outcome refused = tool("status");
    EXPECT_FALSE(has(refused.out, "(good|repaired|recreated)")) << refused.out;
    EXPECT_TRUE(has(refused.out + refused.err, "unprotected copies of a keystore protected on this node"))
        << refused.out << refused.err;
    EXPECT_NE(tool("check").status, 0);
    EXPECT_EQ(tvtest::read_bytes(primary), planted);
}

uid_t owner_of(const std::string &path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? st.st_uid : static_cast<uid_t>(-1);
}

int sh(const std::string &command) { return std::system(command.c_str()); }

// Root's init on a node whose keystore directories the service account
// (65534) owns, with a link put at /etc/telmor/vaq: whether /etc/telmor is
// writable by others (the attack's way in) or not, nothing the link points at
// changes owner or mode, and init names the directory with its remedy.
TEST(ToolProtector, InitNeverChangesWhatALinkAtTheSecretDirectoryPointsTo) {
    const std::string victim = "/opt/telmor/victim";
    ASSERT_EQ(sh(std::string("chown -R 65534:65534 /opt/telmor/agent && rm -f ") + tooltest::kPrimary), 0);
    for (const char *etcMode : {"0755", "0777"}) {
        SCOPED_TRACE(std::string("/etc/telmor ") + etcMode);
        ASSERT_EQ(sh("rm -rf /etc/telmor/vaq " + victim + " && echo precious > " + victim + " && chmod 0644 " + victim +
                     " && chmod " + etcMode + " /etc/telmor && ln -s " + victim + " /etc/telmor/vaq"),
                  0);
        const Outcome init = tool("init --role HXA");
        EXPECT_NE(init.status, 0) << init.out;
        EXPECT_TRUE(has(init.err, "node-secret directory /etc/telmor")) << init.err;
        EXPECT_EQ(owner_of(victim), 0u) << "init gave the link's target away";
        struct stat st {};
        ASSERT_EQ(stat(victim.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0644u);
        EXPECT_EQ(tooltest::slurp(victim), "precious\n");
    }
    ASSERT_EQ(sh("chmod 0755 /etc/telmor"), 0);
}

// /etc/telmor or its vaq directory open to another account: status and check
// each name the directory, why the key library refuses it, and a remedy it
// accepts. init says the same of /etc/telmor and changes nothing there; the
// vaq directory is init's own, and it brings it back to root's 0711.
TEST(ToolProtector, AnUntrustedSecretDirectoryIsNamedWithItsRemedy) {
    ASSERT_EQ(tool("init --role HXA").status, 0);
    const struct {
        const char *setUp;
        const char *path;
        const char *why;
        const char *remedy;
        const char *initRepairs;  // init's line, where it repairs
    } cases[] = {
        {"chmod 0777 /etc/telmor && chown 65534 /etc/telmor", "/etc/telmor", "is owned by [^,]+, not root",
         "chown root:root /etc/telmor && chmod 0755 /etc/telmor", nullptr},
        {"chmod 0777 /etc/telmor", "/etc/telmor", "is writable by group or others \\(mode 0777\\)",
         "chown root:root /etc/telmor && chmod 0755 /etc/telmor", nullptr},
        {"chmod 0770 /etc/telmor/vaq", "/etc/telmor/vaq", "is writable by group or others \\(mode 0770\\)",
         "chown root:root /etc/telmor/vaq && chmod 0711 /etc/telmor/vaq", "/etc/telmor/vaq: mode 0770 -> 0711"},
        {"chown 65534 /etc/telmor/vaq", "/etc/telmor/vaq",
         "is owned by [^,]+, neither root nor the keystore directory's owner",
         "chown root:root /etc/telmor/vaq && chmod 0711 /etc/telmor/vaq", "/etc/telmor/vaq: owner [^ ]+ -> root:root"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.setUp);
        for (const char *command : {"status", "check", "init --role HXA"}) {
            SCOPED_TRACE(command);
            ASSERT_EQ(sh("chown 0:0 /etc/telmor /etc/telmor/vaq && chmod 0755 /etc/telmor && chmod 0711 "
                         "/etc/telmor/vaq"),
                      0);
            ASSERT_EQ(sh(c.setUp), 0);
            const Outcome r = tool(command);
            if (std::string(command).rfind("init", 0) == 0 && c.initRepairs != nullptr) {
                EXPECT_EQ(r.status, 0) << r.err;
                EXPECT_TRUE(has(r.out, c.initRepairs)) << r.out;
            } else {
                const std::string named =
                    std::string("node-secret directory ") + c.path + " " + c.why + ".*" + c.remedy;
                EXPECT_TRUE(has(r.out + r.err, named)) << r.out << r.err;
            }
        }
    }
    ASSERT_EQ(sh("chown 0:0 /etc/telmor /etc/telmor/vaq && chmod 0755 /etc/telmor && chmod 0711 /etc/telmor/vaq"), 0);
    // Trusted again: nothing is said about it.
    const Outcome status = tool("status");
    EXPECT_FALSE(has(status.out + status.err, "node-secret directory")) << status.err;
}

TEST(ToolProtector, MovesBetweenTheTpmAndTheNodeSecretKeepingEveryText) {
    kltest::Swtpm tpm;
    ASSERT_TRUE(tpm.start()) << "swtpm could not be started (scripts/install-deps)";
    setenv("TELMOR_VAQ_TCTI", tpm.tcti().c_str(), 1);

    const Outcome init = tool("init --role HXM --protector tpm2 --pcrs 0,16-17");
    ASSERT_EQ(init.status, 0) << init.err;
    const Outcome enc = tool("encrypt --role HXM --domain 2", "kept across moves");
    ASSERT_EQ(enc.status, 0) << enc.err;
    const Outcome status = tool("status --role HXM");
    EXPECT_TRUE(has(status.out, "protector +tpm2 \\(PCRs 0,16,17, TCTI " + tpm.tcti() + "\\)")) << status.out;

    const Outcome toFile = tool("protect --role HXM --with file");
    ASSERT_EQ(toFile.status, 0) << toFile.err;
    EXPECT_TRUE(has(toFile.out, "sealed by the file protector")) << toFile.out;
    // Opened by the node secret, the TPM is no longer needed.
    tpm.stop();
    EXPECT_EQ(tool("decrypt --role HXM --domain 2", enc.out).out, "kept across moves");
    EXPECT_TRUE(has(tool("status --role HXM").out,
                    "protector +file \\(node secret "
                    "/etc/telmor/vaq/tools/tools.secret\\)"));
    unsetenv("TELMOR_VAQ_TCTI");
}

// The TPM library writes lines of its own to standard error when it fails;
// the tool's answer to a TPM failure is its one sentence and nothing else,
// unless the operator asked for the library's lines with TSS2_LOG.
TEST(ToolProtector, ATpmFailureIsOneSentenceOnStandardError) {
    unsetenv("TSS2_LOG");
    kltest::Swtpm tpm;
    ASSERT_TRUE(tpm.start()) << "swtpm could not be started (scripts/install-deps)";
    const std::string tcti = tpm.tcti();
    setenv("TELMOR_VAQ_TCTI", tcti.c_str(), 1);
    ASSERT_EQ(tool("init --role HXA --protector tpm2 --pcrs 16").status, 0);
    ASSERT_EQ(tool("keys").status, 0);
    auto lines = [](const std::string &text) { return std::count(text.begin(), text.end(), '\n'); };

    ASSERT_TRUE(tpm.extend_pcr(16));
    const Outcome pcrs = tool("keys");
    tpm.stop();
    const Outcome closed = tool("keys");
    setenv("TSS2_LOG", "all+error", 1);
    const Outcome asked = tool("keys");
    unsetenv("TSS2_LOG");
    setenv("TELMOR_VAQ_TCTI", "device:/nonexistent/tpmrm0", 1);
    const Outcome device = tool("keys");
    unsetenv("TELMOR_VAQ_TCTI");

    const struct {
        const char *name;
        const Outcome &outcome;
        const char *code;
    } cases[] = {
        {"PCRs changed", pcrs, "\\(code 2034\\)"},
        {"simulator gone", closed, "\\(code 2032\\)"},
        {"no device", device, "\\(code 2032\\)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.outcome.status, 1);
        EXPECT_EQ(lines(c.outcome.err), 1) << c.outcome.err;
        EXPECT_TRUE(has(c.outcome.err, std::string("^telmor-vaq keys: .*") + c.code + "\n$")) << c.outcome.err;
    }
    // Asked for, the library's own lines come first: what the count above rules out.
    EXPECT_GT(lines(asked.err), 1) << asked.err;
    EXPECT_TRUE(has(asked.err, "^ERROR:tcti:")) << asked.err;
}

}  // namespace

// A keystore sealed under a key in a (SoftHSM2) token: init and protect take
// its URI, status shows it and never the PIN, a node that does not reach the
// token opens nothing, and a PIN file the library would not trust as a
// secret is refused whatever PIN it holds.
TEST(ToolProtector, ATokenKeySealsTheKeystoreAndStatusShowsItsUriWithoutThePin) {
    using tvtest::SoftHsmToken;
    if (const std::string why = SoftHsmToken::unusable(); !why.empty()) GTEST_SKIP() << why;
    SoftHsmToken token("tool-kek");
    ASSERT_TRUE(token.ok()) << token.error();
    ASSERT_TRUE(token.make_key("kek"));
    ASSERT_EQ(tool("init --role HXA").status, 0);  // makes /etc/telmor/vaq as the library wants it
    SoftHsmToken::write_pin("/etc/telmor/vaq/kek.pin");
    const std::string uri = token.uri("kek", "/etc/telmor/vaq/kek.pin");
    auto escaped = [](std::string text) {
        return std::regex_replace(text, std::regex(R"([.?*+()\[\]|^$\\])"), R"(\$&)");
    };

    const Outcome init = tool("init --role HXM --protector pkcs11 --key '" + uri + "'");
    ASSERT_EQ(init.status, 0) << init.err;
    // The role's own PIN file, written by root from the one named, is what
    // the keystore records.
    const std::string recorded = token.uri("kek", "/etc/telmor/vaq/tools/kek.pin");
    EXPECT_TRUE(has(init.out, "PIN for role HXM written to /etc/telmor/vaq/tools/kek.pin")) << init.out;
    const Outcome enc = tool("encrypt --role HXM --domain 2", "sealed under a token key");
    ASSERT_EQ(enc.status, 0) << enc.err;
    const Outcome status = tool("status --role HXM");
    EXPECT_TRUE(has(status.out, "\nprotector +pkcs11 \\(key " + escaped(recorded) + "\\)\n")) << status.out;
    EXPECT_EQ(status.out.find(SoftHsmToken::kPin), std::string::npos) << status.out;
    const nlohmann::json json = nlohmann::json::parse(tool("status --role HXM --json").out);
    EXPECT_EQ(json["protector"]["kind"], "pkcs11");
    EXPECT_EQ(json["protector"]["key"], recorded);

    const struct {
        const char *args;
        const char *err;
    } usage[] = {
        {"protect --role HXM --with pkcs11", "--with pkcs11 needs --key URI"},
        {"protect --role HXM --with file --key 'pkcs11:token=a;object=b'", "--key names the pkcs11 protector's key"},
    };
    for (const auto &c : usage) {
        SCOPED_TRACE(c.args);
        const Outcome r = tool(c.args);
        EXPECT_EQ(r.status, 2);
        EXPECT_TRUE(has(r.err, c.err)) << r.err;
    }

    // The right PIN in a file open to others, or in another user's file: not
    // a secret root hands on, nor one the library takes in the role's own
    // directory.
    const struct {
        const char *name;
        const char *file;
        const char *prepare;
        const char *says;
    } pins[] = {
        {"open to others", "/etc/telmor/vaq/open.pin", "chmod 0644 /etc/telmor/vaq/open.pin",
         "the PIN file /etc/telmor/vaq/open.pin is not a regular file with one link, root's or the keystore owner's "
         "and open to no one else: nothing was changed"},
        {"another user's", "/etc/telmor/vaq/open.pin", "chown 4321:4321 /etc/telmor/vaq/open.pin",
         "the PIN file /etc/telmor/vaq/open.pin is not a regular file with one link"},
        {"the role's own, open to others", "/etc/telmor/vaq/tools/open.pin",
         "chmod 0644 /etc/telmor/vaq/tools/open.pin", "\\(code 2038\\)"},
    };
    for (const auto &p : pins) {
        SCOPED_TRACE(p.name);
        SoftHsmToken::write_pin(p.file);
        ASSERT_EQ(std::system(p.prepare), 0);
        const Outcome r = tool("protect --role HXM --with pkcs11 --key '" + token.uri("kek", p.file) + "'");
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(has(r.err, p.says)) << r.err;
        std::remove(p.file);
    }
    EXPECT_TRUE(has(tool("status --role HXM").out, "protector +pkcs11 \\(key " + escaped(recorded)))
        << "a refused move changed the keystore";

    // A node whose module reaches no such token.
    const std::string shared = SoftHsmToken::conf();
    setenv("SOFTHSM2_CONF", SoftHsmToken::isolated_conf().c_str(), 1);
    const Outcome elsewhere = tool("decrypt --role HXM --domain 2", enc.out);
    setenv("SOFTHSM2_CONF", shared.c_str(), 1);
    EXPECT_EQ(elsewhere.status, 1);
    EXPECT_TRUE(has(elsewhere.err, "no token with the URI's label is present.*\\(code 2037\\)")) << elsewhere.err;

    const Outcome toFile = tool("protect --role HXM --with file");
    ASSERT_EQ(toFile.status, 0) << toFile.err;
    EXPECT_EQ(tool("decrypt --role HXM --domain 2", enc.out).out, "sealed under a token key");
}

// Root seals the service account's keystore under a token key whose PIN file
// is root's and also serves exports: the file stays root's, and the role gets
// a PIN file of its own in its secret directory, made for the account, which
// the keystore records. The account, renaming whatever it can in its own
// directory all the while, never comes to own or read a file of root's.
TEST(ToolProtector, ATokenKeyOnTheServiceAccountsKeystoreGetsThePinInAFileOfItsOwn) {
    using tvtest::SoftHsmToken;
    if (const std::string why = SoftHsmToken::unusable(); !why.empty()) GTEST_SKIP() << why;
    SoftHsmToken token("svc-kek");
    ASSERT_TRUE(token.ok()) << token.error();
    ASSERT_TRUE(token.make_key("kek"));
    // The account may use the token, as an HSM's client credentials would let it.
    const std::string hsm = SoftHsmToken::conf().substr(0, SoftHsmToken::conf().rfind('/'));
    ASSERT_EQ(sh("chown -R 4321:4321 " + hsm), 0);
    ASSERT_EQ(tool("init --role HXA --owner 4321").status, 0);
    const std::string fleetPin = "/etc/telmor/vaq/fleet.pin", own = "/etc/telmor/vaq/agent/fleet.pin";
    SoftHsmToken::write_pin(fleetPin);
    // The hostile side: the account moves every name of its directory about,
    // as fast as it can, for the whole of each protect.
    const std::string churn =
        "setpriv --reuid 4321 --regid 4321 --clear-groups -- sh -c 'cd /etc/telmor/vaq/agent && while :; do for f in "
        "*.pin .*.new; do mv -f \"$f\" x 2>/dev/null; mv -f x \"$f\" 2>/dev/null; done; done' & echo $!";
    const std::string pid = tooltest::first_line(tooltest::shell_output(churn));
    ASSERT_FALSE(pid.empty());
    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE(round);
        const Outcome moved = tool("protect --role HXA --with " + std::string(round % 2 ? "file" : "pkcs11") +
                                   (round % 2 ? "" : " --key '" + token.uri("kek", fleetPin) + "'"));
        // A PIN file renamed away at the wrong moment fails the move, harmlessly.
        EXPECT_TRUE(moved.status == 0 || moved.status == 1) << moved.err;
        struct stat st {};
        ASSERT_EQ(stat(fleetPin.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 0u);
        EXPECT_EQ(st.st_mode & 07777, 0400u);
    }
    ASSERT_EQ(sh("kill " + pid + "; sleep 0.1; rm -f /etc/telmor/vaq/agent/x"), 0);
    const Outcome moved = tool("protect --role HXA --with pkcs11 --key '" + token.uri("kek", fleetPin) + "'");
    ASSERT_EQ(moved.status, 0) << moved.err;
    EXPECT_TRUE(has(moved.out, "PIN for role HXA written to " + own + " \\(4321's\\), read from " + fleetPin))
        << moved.out;
    struct stat st {};
    ASSERT_EQ(stat(own.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 4321u);
    EXPECT_EQ(st.st_mode & 07777, 0400u);
    EXPECT_TRUE(has(tool("status --role HXA").out, "pin-source=file:" + own)) << tool("status --role HXA").out;
    const Outcome enc = tool_as(4321, "encrypt --role HXA --domain 50", "the account's secret");
    ASSERT_EQ(enc.status, 0) << enc.err;
    EXPECT_EQ(tool("decrypt --role HXA --domain 50", enc.out).out, "the account's secret");
    EXPECT_NE(sh("setpriv --reuid 4321 --regid 4321 --clear-groups -- cat " + fleetPin + " >/dev/null 2>&1"), 0);
}

// An export file another user owns is not read, whatever it is sealed with:
// the refusal names the file and what to do, not a password or the keystore.
TEST(ToolProtector, AnotherUsersExportFileIsRefusedAsTheFileItIs) {
    using tvtest::SoftHsmToken;
    if (const std::string why = SoftHsmToken::unusable(); !why.empty()) GTEST_SKIP() << why;
    SoftHsmToken token("import-kek");
    ASSERT_TRUE(token.ok()) << token.error();
    ASSERT_TRUE(token.make_key("kek"));
    ASSERT_EQ(tool("init --role HXA").status, 0);
    SoftHsmToken::write_pin("/etc/telmor/vaq/kek.pin");
    const std::string pw = tooltest::password_words("pw", "correct horse battery");
    const struct {
        const char *name;
        std::string options;
    } exports[] = {
        {"a password export", pw},
        {"an export sealed to a token key", " --wrap-with '" + token.uri("kek", "/etc/telmor/vaq/kek.pin") + "'"},
    };
    for (const auto &e : exports) {
        SCOPED_TRACE(e.name);
        const std::string file = "/opt/telmor/theirs.vaqx";
        std::remove(file.c_str());
        ASSERT_EQ(tool("export --role HXA " + file + e.options).status, 0);
        ASSERT_EQ(sh("chown 4242:4242 " + file), 0);
        for (const char *command : {"import", "join"}) {
            SCOPED_TRACE(command);
            const Outcome r = tool(std::string(command) + " --role HXA " + file + pw);
            EXPECT_EQ(r.status, 1);
            EXPECT_TRUE(has(r.err, "does not read " + file +
                                       ": a symbolic link, not a regular file, or another "
                                       "user's; .*'cp " +
                                       file + " NEW'"))
                << r.err;
        }
        std::remove(file.c_str());
    }
}

namespace {

// A token key whose value was once known outside the token, and URIs the
// library refuses: protect and export --wrap-with refuse them, say why, and
// change and write nothing.
TEST(ToolProtector, AKeyKnownOutsideTheTokenOrARefusedUriIsToldWhyAndChangesNothing) {
    using tvtest::SoftHsmToken;
    if (const std::string why = SoftHsmToken::unusable(); !why.empty()) GTEST_SKIP() << why;
    SoftHsmToken token("known-kek");
    ASSERT_TRUE(token.ok()) << token.error();
    ASSERT_TRUE(token.make_key("imported", SoftHsmToken::KeyKind::kImported));
    ASSERT_TRUE(token.make_key("read-out", SoftHsmToken::KeyKind::kReadOut));
    ASSERT_EQ(tool("init --role HXA").status, 0);
    SoftHsmToken::write_pin("/etc/telmor/vaq/kek.pin");
    const std::string file = "/opt/telmor/known.vaqx";
    const std::string secret = "/etc/telmor/vaq/agent/agent.secret";

    for (const char *key : {"imported", "read-out"}) {
        SCOPED_TRACE(key);
        const std::string uri = token.uri(key, "/etc/telmor/vaq/kek.pin");
        const Outcome p = tool("protect --role HXA --with pkcs11 --key '" + uri + "'");
        EXPECT_EQ(p.status, 1);
        EXPECT_TRUE(has(p.err, "never extractable ever since \\(not imported, never read out\\).*\\(code 2042\\)"))
            << p.err;
        const Outcome e = tool("export --role HXA " + file + " --wrap-with '" + uri + "'");
        EXPECT_EQ(e.status, 1);
        EXPECT_TRUE(has(e.err, "\\(code 2044\\)")) << e.err;
        EXPECT_FALSE(tvtest::exists(file));
    }
    EXPECT_TRUE(has(tool("status --role HXA").out, "\nprotector +file ")) << "a refused move changed the keystore";

    const std::string base =
        "pkcs11:token=" + token.label() + ";object=imported?module-path=" + std::string(SoftHsmToken::kModule);
    const struct {
        const char *name;
        std::string uri;
        const char *says;
    } refused[] = {
        {"a PIN in the URI", base + "&pin-value=" + SoftHsmToken::kPin, "a PIN is never taken in the URI"},
        {"a node secret as the PIN", base + "&pin-source=file:" + secret, "not a PIN file"},
        {"an attribute not taken",
         "pkcs11:token=" + token.label() + ";object=imported;library-version=1" +
             "?module-path=" + SoftHsmToken::kModule,
         "an attribute this system does not take: library-version"},
    };
    for (const auto &r : refused) {
        SCOPED_TRACE(r.name);
        for (const std::string &command : {"protect --role HXA --with pkcs11 --key '" + r.uri + "'",
                                           "export --role HXA " + file + " --wrap-with '" + r.uri + "'"}) {
            SCOPED_TRACE(command);
            const Outcome o = tool(command);
            EXPECT_EQ(o.status, 1);
            EXPECT_TRUE(has(o.err, std::string("the key's URI is refused.*") + r.says)) << o.err;
            EXPECT_EQ(o.err.find("key ids run from"), std::string::npos) << o.err;
            EXPECT_EQ(o.err.find(SoftHsmToken::kPin), std::string::npos) << o.err;
            EXPECT_FALSE(tvtest::exists(file));
        }
    }
    // No PIN file was made from the node secret.
    EXPECT_FALSE(tvtest::exists("/etc/telmor/vaq/agent/token.pin"));
    EXPECT_FALSE(tvtest::exists("/etc/telmor/vaq/agent/agent.secret.pin"));
    EXPECT_TRUE(has(tool("status --role HXA").out, "\nprotector +file ")) << "a refused move changed the keystore";

    // A file sealed to a token key whose URI cannot be read is refused as the
    // damaged file it is, never asked a password for.
    ASSERT_TRUE(token.make_key("kek"));
    ASSERT_EQ(
        tool("export --role HXA " + file + " --wrap-with '" + token.uri("kek", "/etc/telmor/vaq/kek.pin") + "'").status,
        0);
    std::string damaged = tvtest::read_file(file);
    damaged[12] = damaged[13] = 0;  // the URI's length
    tvtest::write_file(file, damaged);
    for (const char *command : {"import", "join"}) {
        SCOPED_TRACE(command);
        const Outcome r = tool(std::string(command) + " --role HXA " + file);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err.find("password"), std::string::npos) << r.err;
        EXPECT_TRUE(has(r.err, "is not an export file, is cut short.*\\(code 2020\\)")) << r.err;
    }
    std::remove(file.c_str());
}

}  // namespace
