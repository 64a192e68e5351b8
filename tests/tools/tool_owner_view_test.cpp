// SPDX-License-Identifier: Apache-2.0
// status and check as root on a keystore that a service account owns: they
// write nothing, and they judge the keystore as the account's processes will
// open it, from a process holding the account's uid, gid and groups.
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tool_runner.h"

namespace {

using namespace tooltest;
using Json = nlohmann::json;

constexpr unsigned kAccount = 4001;

// The role's directories as the packages leave them for a service account,
// with the empty primary an installer makes; no keystore yet.
void directories_for_the_account() {
    ASSERT_EQ(shell("chown -R 4001:4001 /opt/telmor/agent /var/log/oam/hxa && chmod 0700 "
                    "/opt/telmor/agent/conf/vaq/conf /opt/telmor/agent/conf/vaq/bkp && install -o 4001 -g 4001 -m "
                    "0600 /dev/null " +
                    std::string(kPrimary)),
              0);
}

// Every file and directory under the node's keystore and secret trees, with
// mode, owner and size: what "creates nothing" is measured against.
std::string tree() {
    return shell_output("find /opt/telmor /etc/telmor -printf '%p %m %u:%g %s\\n' 2>&1 | sort");
}

TEST(ToolOwnerView, RootLooksAtANodeNotYetInitialisedAndCreatesNothing) {
    directories_for_the_account();
    const std::string before = tree();
    for (const char *cmd : {"status", "check", "status --json", "check --json"}) {
        SCOPED_TRACE(cmd);
        const Outcome r = tool(cmd);
        EXPECT_EQ(r.status, 1) << r.out << r.err;
        EXPECT_NE(r.err.find("no keystore for role HXA: run 'telmor-vaq init --role HXA'"), std::string::npos)
            << r.err;
        EXPECT_EQ(tree(), before);
    }
    const Outcome text = tool("status");
    EXPECT_NE(text.out.find("opened as      4001 (the keystore's owner)\n"), std::string::npos) << text.out;
    // The account's own look says the same and makes nothing either.
    const Outcome own = tool_as(kAccount, "status");
    EXPECT_EQ(own.status, 1) << own.err;
    EXPECT_EQ(tree(), before);
}

// "good" from root means the account's processes open the keystore; when the
// account cannot read its node secret, neither root nor the account says
// good, and the account is told the path and the errno, not a code that
// names another cause (no keystore, a lost secret) or advice to move a
// working keystore aside.
TEST(ToolOwnerView, AnOwnerThatCannotReadItsSecretIsNotGoodForRootEither) {
    directories_for_the_account();
    ASSERT_EQ(tool("init").status, 0);
    const Outcome good = tool("status");
    EXPECT_EQ(good.status, 0) << good.out << good.err;
    EXPECT_NE(good.out.find("opened as      4001"), std::string::npos) << good.out;
    EXPECT_EQ(tool_as(kAccount, "status").status, 0);

    const std::string secret = first_line(shell_output("find /etc/telmor/vaq -name agent.secret"));
    ASSERT_NE(secret, "");
    const std::string dir = secret.substr(0, secret.rfind('/'));
    ASSERT_EQ(shell("chown root:root " + dir + " && chmod 0700 " + dir), 0);
    const std::string before = tree();
    for (const auto &[who, r] : {std::pair{"root", tool("status")}, {"root", tool("check")},
                                 {"account", tool_as(kAccount, "status")}, {"account", tool_as(kAccount, "check")}}) {
        SCOPED_TRACE(who);
        EXPECT_EQ(r.status, 1) << r.out << r.err;
        EXPECT_NE(r.err.find("no permission to enter " + dir), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("Permission denied (errno 13)"), std::string::npos) << r.err;
        for (const char *other : {"(code 11)", "(code 2028)", "(code 2036)", "(code 2037)", ".lost"}) {
            EXPECT_EQ(r.err.find(other), std::string::npos) << r.err;
        }
    }
    EXPECT_EQ(tree(), before);
}

// A copy the account's processes would rewrite on opening is named by root's
// check with its source, and left as it is.
TEST(ToolOwnerView, RootsCheckOfTheAccountsKeystoreNamesTheCopyAndItsSourceAndWritesNothing) {
    directories_for_the_account();
    ASSERT_EQ(tool("init").status, 0);
    ASSERT_EQ(unlink(kStandby), 0);
    const std::string before = tree();
    const Outcome r = tool("check --json");
    EXPECT_EQ(r.status, 3) << r.err;
    const Json j = Json::parse(r.out);
    EXPECT_EQ(j["standby"]["was"], "missing");
    EXPECT_EQ(j["standby"]["source"], "primary");
    EXPECT_EQ(j["standby"]["rewritten"], false);
    EXPECT_EQ(tree(), before);
    const Outcome repair = tool("check --repair");
    EXPECT_EQ(repair.status, 0) << repair.out << repair.err;
    EXPECT_NE(repair.out.find("standby  recreated: was missing: rewritten from the primary copy"), std::string::npos)
        << repair.out;
    // Rewritten by root, the copy stays the account's.
    EXPECT_EQ(shell_output(std::string("stat -c %u ") + kStandby), "4001\n");
}

}  // namespace
