// SPDX-License-Identifier: Apache-2.0
// A node whose roles run under service accounts of their own (numbers 4001
// and 4002, a hostile 4003), set up by root with one command per role: each
// role's secrets in a directory of its own that the other accounts cannot
// reach, the node's System V objects for a group named on purpose, and a
// node of the earlier flat layout moved into place by init.
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "tool_runner.h"

namespace {

using namespace tooltest;

constexpr unsigned kA = 4001, kB = 4002, kHostile = 4003, kGroup = 4100;

struct Owner {
    unsigned uid = ~0u, mode = 0;
};
Owner owner_of(const std::string &path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return {};
    return {st.st_uid, st.st_mode & 07777};
}

// Runs a shell command as uid (its group the same number, plus kGroup).
int as(unsigned uid, const std::string &command) {
    const std::string id = std::to_string(uid);
    return shell("setpriv --reuid " + id + " --regid " + id + " --groups " + std::to_string(kGroup) + " -- sh -c '" +
                 command + "' >/dev/null 2>&1");
}

Outcome tool_in_group(unsigned uid, const std::string &args, const std::string &input = "") {
    const std::string id = std::to_string(uid);
    return run("setpriv --reuid " + id + " --regid " + id + " --groups " + std::to_string(kGroup) + " " +
                   TELMOR_VAQ_TOOL + " " + args,
               input);
}

// The node as the sandbox makes it, with nothing initialised.
void fresh_node() {
    ASSERT_EQ(shell("rm -rf /etc/telmor/vaq/* /etc/telmor/vaq/.[a-z]* /opt/telmor/*/conf/vaq/conf/* "
                    "/opt/telmor/*/conf/vaq/bkp/* /opt/telmor/*/vaq/conf/* /opt/telmor/*/vaq/bkp/* "
                    "/var/log/oam/hxa/run/* /var/log/oam/hxm/manager/run/*; chown -R 0:0 /opt/telmor /var/log/oam "
                    "/etc/telmor; chmod 0700 /etc/telmor/vaq; ipcrm -M 0x20190529 -S 0x20191230 2>/dev/null; true"),
              0);
}

// A role's keystore works for its account: a text made by one of its
// processes decrypts in another, and its status says good.
void works_for(unsigned uid, const char *role, const char *domain) {
    SCOPED_TRACE(std::string(role) + " as " + std::to_string(uid));
    const Outcome enc = tool_in_group(uid, std::string("encrypt --role ") + role + " --domain " + domain, "s3cret");
    ASSERT_EQ(enc.status, 0) << enc.err;
    const Outcome dec = tool_in_group(
        uid, std::string("decrypt --raw --role ") + role + " --domain " + domain + " " + first_line(enc.out));
    EXPECT_EQ(dec.status, 0) << dec.err;
    EXPECT_EQ(dec.out, "s3cret");
    const Outcome status = tool_in_group(uid, std::string("status --role ") + role);
    EXPECT_EQ(status.status, 0) << status.out << status.err;
}

TEST(ToolAccounts, OneInitPerRoleMakesItsKeystoreForItsAccount) {
    fresh_node();
    const Outcome init = tool("init --role HXA --owner " + std::to_string(kA));
    ASSERT_EQ(init.status, 0) << init.err;
    works_for(kA, "HXA", "50");
    for (const char *path : {"/opt/telmor/agent/conf/vaq/conf", "/opt/telmor/agent/conf/vaq/bkp",
                             "/var/log/oam/hxa/run", "/etc/telmor/vaq/agent"}) {
        EXPECT_EQ(owner_of(path).uid, kA) << path;
        EXPECT_EQ(owner_of(path).mode, 0700u) << path;
    }
    EXPECT_EQ(owner_of("/etc/telmor/vaq").uid, 0u);
    EXPECT_EQ(owner_of("/etc/telmor/vaq").mode, 0711u);
    EXPECT_EQ(owner_of("/etc/telmor/vaq/agent/agent.secret").uid, kA);
    EXPECT_EQ(owner_of("/etc/telmor/vaq/agent/agent.secret").mode, 0400u);

    // Run again it converges: nothing to change, nothing said.
    const Outcome again = tool("init --role HXA --owner " + std::to_string(kA));
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.out.find(" -> "), std::string::npos) << again.out;
    // A root init before the account existed: init --owner takes it over,
    // each change on a line, root's files replaced by the owner's copies.
    fresh_node();
    ASSERT_EQ(tool("init --role HXA").status, 0);
    const Outcome over = tool("init --role HXA --owner " + std::to_string(kA));
    ASSERT_EQ(over.status, 0) << over.err;
    EXPECT_NE(over.out.find("/opt/telmor/agent/conf/vaq/conf: owner root:root -> "), std::string::npos) << over.out;
    EXPECT_NE(over.out.find("primary_ks.key: replaced by a copy"), std::string::npos) << over.out;
    works_for(kA, "HXA", "50");
}

// Two roles under two accounts, initialised by root in either order, or
// first met by the account's own process: both work, and neither account can
// read, rename or remove the other's secrets or root's.
TEST(ToolAccounts, TwoRolesUnderTwoAccountsKeepTheirSecretsApart) {
    const std::string group = " --group " + std::to_string(kGroup);
    const std::string a = "init --role HXA --owner " + std::to_string(kA) + group;
    const std::string b = "init --role HXM --owner " + std::to_string(kB) + group;
    for (const bool agentFirst : {true, false}) {
        SCOPED_TRACE(agentFirst ? "HXA first" : "HXM first");
        fresh_node();
        // The account's process before any init finds nothing of its own
        // and makes nothing.
        EXPECT_NE(tool_in_group(kA, "encrypt --role HXA --domain 50", "x").status, 0);
        ASSERT_EQ(tool(agentFirst ? a : b).status, 0);
        ASSERT_EQ(tool(agentFirst ? b : a).status, 0);
        works_for(kA, "HXA", "50");
        works_for(kB, "HXM", "2");
        tvtest::write_file("/etc/telmor/vaq/fleet.pin", "1234\n");
        ASSERT_EQ(chmod("/etc/telmor/vaq/fleet.pin", 0600), 0);
        const struct {
            unsigned uid;
            std::string theirs;
            bool readable;  // the node's group is no secret: every account's library reads it
        } attacks[] = {{kA, "/etc/telmor/vaq/tools/tools.secret", false},
                       {kB, "/etc/telmor/vaq/agent/agent.secret", false},
                       {kHostile, "/etc/telmor/vaq/agent/agent.secret", false},
                       {kA, "/etc/telmor/vaq/fleet.pin", false},
                       {kB, "/etc/telmor/vaq/ipc.group", true}};
        for (const auto &t : attacks) {
            SCOPED_TRACE(std::to_string(t.uid) + " at " + t.theirs);
            EXPECT_EQ(as(t.uid, "cat " + t.theirs) == 0, t.readable);
            EXPECT_NE(as(t.uid, "mv " + t.theirs + " /tmp/taken"), 0);
            EXPECT_NE(as(t.uid, "rm -f " + t.theirs + " && test ! -e " + t.theirs), 0);
        }
        EXPECT_NE(as(kA, "ls /etc/telmor/vaq"), 0);
        works_for(kA, "HXA", "50");
        works_for(kB, "HXM", "2");
    }
}

// The node's System V objects are for the named group only: 0660 and that
// group, never one found among the accounts' groups.
TEST(ToolAccounts, NodeObjectsAreForTheNamedGroupOnly) {
    fresh_node();
    ASSERT_EQ(tool("init --role HXA --owner " + std::to_string(kA)).status, 0);
    ASSERT_EQ(tool("init --role HXM --owner " + std::to_string(kB)).status, 0);
    // Two accounts and no group named: the objects are the first account's
    // alone, and the second account's process is refused with the remedy.
    const Outcome refused = tool_as(kB, "encrypt --role HXM --domain 2", "x");
    EXPECT_NE(refused.status, 0);
    const std::string log = shell_output("cat /var/log/oam/hxm/manager/run/*");
    EXPECT_NE(log.find("--group GROUP"), std::string::npos) << log;

    ASSERT_EQ(tool("init --role HXM --owner " + std::to_string(kB) + " --group " + std::to_string(kGroup)).status, 0);
    for (const char *list : {"/proc/sysvipc/sem", "/proc/sysvipc/shm"}) {
        std::istringstream lines(slurp(list));
        std::string line;
        bool seen = false;
        while (std::getline(lines, line)) {
            std::istringstream f(line);
            long key = 0;
            std::string id, perms;
            f >> key >> id >> perms;
            if (key != 0x20191230 && key != 0x20190529) continue;
            seen = true;
            EXPECT_EQ(perms, "660") << line;
            EXPECT_NE(line.find(" " + std::to_string(kGroup) + " "), std::string::npos) << line;
        }
        EXPECT_TRUE(seen) << list;
    }
    works_for(kA, "HXA", "50");
    works_for(kB, "HXM", "2");
}

// A node of the earlier flat layout (every role's files directly in
// /etc/telmor/vaq) keeps working; init moves the role's files into its own
// directory, and the keys are the same after.
TEST(ToolAccounts, InitMovesTheFlatLayoutIntoTheRolesDirectory) {
    fresh_node();
    ASSERT_EQ(tool("init --role HXA --owner " + std::to_string(kA)).status, 0);
    const Outcome enc = tool_as(kA, "encrypt --role HXA --domain 50", "kept");
    ASSERT_EQ(enc.status, 0) << enc.err;
    // Back to the layout of the last release: the account owned the whole
    // directory and its secret lay directly in it.
    ASSERT_EQ(shell("mv /etc/telmor/vaq/agent/agent.secret /etc/telmor/vaq/ && rmdir /etc/telmor/vaq/agent && chown " +
                    std::to_string(kA) + " /etc/telmor/vaq && chmod 0700 /etc/telmor/vaq"),
              0);
    const Outcome before = tool_as(kA, "decrypt --raw --role HXA --domain 50 " + first_line(enc.out));
    EXPECT_EQ(before.out, "kept") << before.err;

    const Outcome init = tool("init --role HXA");
    ASSERT_EQ(init.status, 0) << init.err;
    EXPECT_NE(init.out.find("moved /etc/telmor/vaq/agent.secret into /etc/telmor/vaq/agent"), std::string::npos)
        << init.out;
    EXPECT_EQ(owner_of("/etc/telmor/vaq").uid, 0u);
    EXPECT_EQ(owner_of("/etc/telmor/vaq/agent.secret").uid, ~0u);
    EXPECT_EQ(owner_of("/etc/telmor/vaq/agent/agent.secret").uid, kA);
    const Outcome after = tool_as(kA, "decrypt --raw --role HXA --domain 50 " + first_line(enc.out));
    EXPECT_EQ(after.out, "kept") << after.err;
}

}  // namespace
