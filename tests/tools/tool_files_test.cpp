// SPDX-License-Identifier: Apache-2.0
// Files and directories: init makes the role's directories owner-only; init, check
// and status warn about directories others can write or another user owns and
// about keystore files others can reach; a full or read-only file system is
// named as the cause.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "node_state.h"
#include "tool_runner.h"

namespace {

using namespace tooltest;

unsigned mode_of(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0xffffu;
}

TEST(ToolFiles, InitMakesTheRolesDirectoriesOwnerOnly) {
    ASSERT_EQ(shell("rm -r /opt/telmor/client /var/log/oam/hxm"), 0);
    const Outcome r = tool("init --role HXM_CLIENT");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    // The role's own directories are its owner's alone; the parents made on
    // the way let the owner pass through.
    for (const char *dir : {"/opt/telmor/client/vaq/conf", "/opt/telmor/client/vaq/bkp", "/var/log/oam/hxm/manager/run"})
        EXPECT_EQ(mode_of(dir), 0700u) << dir;
    for (const char *dir : {"/opt/telmor/client", "/opt/telmor/client/vaq", "/var/log/oam/hxm", "/var/log/oam/hxm/manager"})
        EXPECT_EQ(mode_of(dir), 0755u) << dir;
}

// check and status warn about what the library refuses, with a remedy it
// accepts, and about a keystore copy or directory that others can reach;
// anything else draws no warning. They say so by their exit status (3: opens,
// with a warning). init warns of what the library refuses, except of a mode
// of the role's own directories, which it repairs, saying so.
TEST(ToolFiles, WarningsNameOnlyWhatTheLibraryRefuses) {
    ASSERT_EQ(tool("init").status, 0);
    const struct {
        std::string name;
        std::string setup;
        std::string undo;
        std::string warning;  // pattern for a line on stderr; "" for none at all
        int init, check, status;
        std::string repaired = "";  // init's line on stdout when it repairs the cause instead
        bool initSilent = false;    // only check and status warn of it
    } cases[] = {
        {"group-writable keystore directory", "chmod 0770 /opt/telmor/agent/conf/vaq/conf",
         "chmod 0700 /opt/telmor/agent/conf/vaq/conf",
         "warning: /opt/telmor/agent/conf/vaq/conf is not trusted by the library \\(writable by group or others, "
         "mode 0770 root\\): run 'chmod go-w /opt/telmor/agent/conf/vaq/conf'",
         0, 3, 3, "/opt/telmor/agent/conf/vaq/conf: mode 0770 -> 0700"},
        {"world-writable log directory", "chmod 0777 /var/log/oam/hxa/run", "chmod 0755 /var/log/oam/hxa/run",
         "warning: /var/log/oam/hxa/run is not trusted by the library \\(writable by group or others, mode 0777 "
         "root\\): run 'chmod go-w /var/log/oam/hxa/run'",
         0, 3, 3, "/var/log/oam/hxa/run: mode 0777 -> 0700"},
        {"copy of another user in root's directory", std::string("chown 4242 ") + kPrimary,
         std::string("chown 0 ") + kPrimary,
         std::string("warning: ") + kPrimary +
             " is not used by the library \\(owned by another user\\): give it to the owner of its directory: "
             "'chown root " +
             kPrimary + "'",
         0, 1, 3},
        {"copy with a second link", std::string("ln ") + kPrimary + " " + kPrimary + ".second",
         std::string("rm ") + kPrimary + ".second",
         std::string("warning: ") + kPrimary +
             " is not used by the library \\(more than one link to it\\): make it a file of its own: 'cp -p " +
             kPrimary + " " + kPrimary + ".new && mv " + kPrimary + ".new " + kPrimary + "'",
         0, 1, 3},
        // Root uses what the account owns in the account's directories.
        {"directory and copy of the service account",
         std::string("chown 4242 /opt/telmor/agent/conf/vaq/bkp ") + kStandby,
         std::string("chown 0 /opt/telmor/agent/conf/vaq/bkp ") + kStandby, "", 0, 0, 0},
        // The library takes the copy, but others can read it: check and status
        // warn with the remedy (init leaves it to the library's next write).
        {"keystore file others can read", std::string("chmod 0644 ") + kPrimary, std::string("chmod 0600 ") + kPrimary,
         std::string("warning: ") + kPrimary + " \\(a keystore copy\\) is open to group and others \\(mode 0644\\): run "
             "'chmod 600 " + kPrimary + "'",
         0, 3, 3, "", true},
        {"keystore directory others can enter", "chmod 0755 /opt/telmor/agent/conf/vaq/conf",
         "chmod 0700 /opt/telmor/agent/conf/vaq/conf",
         "warning: /opt/telmor/agent/conf/vaq/conf \\(a keystore directory\\) is open to group and others \\(mode "
         "0755\\): run 'chmod 700 /opt/telmor/agent/conf/vaq/conf'",
         0, 3, 3, "/opt/telmor/agent/conf/vaq/conf: mode 0755 -> 0700"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(shell(c.setup), 0);
        for (const auto &[cmd, status] : {std::pair{"check", c.check}, {"status", c.status}, {"init", c.init}}) {
            SCOPED_TRACE(cmd);
            const Outcome r = tool(cmd);
            EXPECT_EQ(r.status, status) << r.err;
            if (std::string(cmd) == "init" && !c.repaired.empty()) {
                EXPECT_NE(r.out.find(c.repaired + "\n"), std::string::npos) << r.out;
                EXPECT_EQ(r.err.find("warning:"), std::string::npos) << r.err;
            } else if (c.warning.empty() || (std::string(cmd) == "init" && c.initSilent)) {
                EXPECT_EQ(r.err.find("warning:"), std::string::npos) << r.err;
            } else {
                EXPECT_TRUE(std::regex_search(r.err, std::regex(std::string("(^|\n)") + c.warning + "\n"))) << r.err;
            }
        }
        ASSERT_EQ(shell(c.undo), 0);
        const Outcome after = tool("status");
        EXPECT_EQ(after.err, "");
        EXPECT_EQ(after.status, 0);
    }
}

// The service account runs the tool on its own keystore; a directory that
// others can write is reported with the command that mends it. Root looking
// at the account's keystore is warned of nothing.
TEST(ToolFiles, ServiceAccountAndRootAreWarnedOnlyOfWhatTheLibraryRefuses) {
    // The role as root's init makes it for the account.
    ASSERT_EQ(tool("init --owner 4242").status, 0);
    ASSERT_EQ(shell("chmod 0777 /opt/telmor/agent/conf/vaq/bkp"), 0);
    for (const char *cmd : {"init", "status", "check"}) {
        SCOPED_TRACE(cmd);
        const Outcome r = tool_as(4242, cmd);
        EXPECT_EQ(r.status, std::string(cmd) == "init" ? 0 : 3) << r.err;
        EXPECT_EQ(r.err,
                  "warning: /opt/telmor/agent/conf/vaq/bkp is not trusted by the library (writable by group or "
                  "others, mode 0777 4242): run 'chmod go-w /opt/telmor/agent/conf/vaq/bkp'\n");
    }
    ASSERT_EQ(shell("chmod 0700 /opt/telmor/agent/conf/vaq/bkp"), 0);
    const Outcome own = tool_as(4242, "status");
    EXPECT_EQ(own.status, 0) << own.err;
    EXPECT_EQ(own.err, "");
    // Root on the account's keystore: the account's copies in the account's
    // directories, and the node-wide objects the account made, are what the
    // library uses, so nothing is "unsafe" and nothing needs removing first.
    const Outcome root = tool("status");
    EXPECT_EQ(root.status, 0) << root.out << root.err;
    EXPECT_EQ(root.err, "");
    EXPECT_EQ(root.out.find("unsafe"), std::string::npos) << root.out;
}

TEST(ToolFiles, FullAndReadOnlyFileSystemsAreNamed) {
    ASSERT_EQ(tool("init").status, 0);
    ASSERT_EQ(mount("full", kStandbyDir, "tmpfs", 0, "size=64k,mode=0700"), 0);
    shell(std::string("dd if=/dev/zero of=") + kStandbyDir + "/filler bs=4k 2>/dev/null");
    const Outcome full = tool("create-key --domain 50");
    EXPECT_EQ(full.status, 1);
    EXPECT_TRUE(std::regex_search(
        full.err,
        std::regex(std::string("creating a master key in domain 50: no space left on device writing ") + kStandby +
                   "; the change may have been made all the "
                   "same \\(a copy may hold it\\): see 'telmor-vaq keys --role HXA --domain 50' and "
                   "'telmor-vaq check --role HXA' \\(code 2040\\)\n")))
        << full.err;

    ASSERT_EQ(unlink((std::string(kStandbyDir) + "/filler").c_str()), 0);
    ASSERT_EQ(mount(nullptr, kStandbyDir, nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    const Outcome ro = tool("delete-key --domain 50 --key-id 1 --yes");
    const Outcome created = tool("create-key --domain 50");
    EXPECT_EQ(created.status, 1);
    EXPECT_TRUE(std::regex_search(created.err, std::regex(std::string("the file system holding ") + kStandby +
                                                          " is read-only; "
                                                          "the change may have been made")))
        << created.err;
    // Nothing to rewrite the copy in: not a copy the next load mends.
    const Outcome check = tool("check");
    EXPECT_EQ(check.status, 1);
    EXPECT_TRUE(std::regex_search(
        check.out, std::regex("\nstandby  [a-z ]+: was [a-z ]+.*; it cannot be rewritten from the primary copy: the file "
                              "system holding .* is read-only")))
        << check.out;
    ASSERT_EQ(umount(kStandbyDir), 0);
    EXPECT_EQ(tool("check").status, 0);
}

// --force replaces a regular file only, by renaming a complete new export
// over it; anything else at the name, and any keystore copy or node secret
// under whatever name, is refused and left exactly as it was.
TEST(ToolFiles, ExportForceReplacesOnlyARegularFile) {
    ASSERT_EQ(tool("init").status, 0);
    ASSERT_EQ(tool("init --role HXM").status, 0);
    const std::string dir = scratch() + "/force";
    ASSERT_EQ(shell("rm -rf " + dir + " && mkdir " + dir), 0);
    const std::string pw = password_words("pw", "correct horse battery");
    const std::string hxmStandby = node_layout::kTools.standby;
    const std::string secret = "/etc/telmor/vaq/tools/tools.secret";
    const struct {
        std::string name;
        std::string setup;  // makes dir/x
        std::string sentence;
    } refused[] = {
        {"device node", "mknod " + dir + "/x c 1 3", "it is a device node, and --force replaces only a regular file"},
        {"FIFO", "mkfifo " + dir + "/x", "it is a FIFO \\(named pipe\\), and --force replaces only a regular file"},
        {"directory", "mkdir " + dir + "/x && touch " + dir + "/x/inside",
         "it is a directory, and --force replaces only a regular file"},
        {"socket", "python3 -c 'import socket,sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])' " + dir + "/x",
         "it is a socket, and --force replaces only a regular file"},
        {"symbolic link", "ln -s " + std::string(kPrimary) + " " + dir + "/x",
         "it is a symbolic link, and --force replaces only a regular file"},
        {"another role's keystore copy, by its own name", "", "it is a keystore copy of role HXM"},
        {"a keystore copy under another name", "ln " + hxmStandby + " /opt/telmor/tools/vaq/bkp/x",
         "it is a keystore copy of role HXM"},
        {"a node secret", "", "it is a node secret \\(/etc/telmor/vaq/tools/tools.secret\\)"},
    };
    for (const auto &c : refused) {
        SCOPED_TRACE(c.name);
        std::string target = dir + "/x";
        if (c.name == "another role's keystore copy, by its own name") target = hxmStandby;
        if (c.name == "a keystore copy under another name") target = "/opt/telmor/tools/vaq/bkp/x";
        if (c.name == "a node secret") target = secret;
        if (!c.setup.empty()) {
            ASSERT_EQ(shell(c.setup), 0);
        }
        // Type, inode, mode, owner, times and, for a regular file, the bytes.
        const std::string look = "ls -ilnd --time-style=full-iso " + target + "; [ ! -f " + target + " ] || sha256sum " +
                                 target;
        const std::string before = shell_output(look);
        const Outcome r = tool("export --force " + target + pw);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(std::regex_search(r.err, std::regex("^telmor-vaq export: " + target + " is left as it is: " +
                                                        c.sentence)))
            << r.err;
        EXPECT_EQ(shell_output(look), before);
        ASSERT_EQ(shell("rm -rf " + dir + "/* /opt/telmor/tools/vaq/bkp/x"), 0);
    }
    EXPECT_EQ(tool("status --role HXM").status, 0);
    EXPECT_EQ(tool("keys --role HXM").status, 0);

    // A regular file is replaced by a whole new export, with nothing left beside it.
    const std::string file = dir + "/keys.vaqx";
    spit(file, "an old export");
    const Outcome refusedPlain = tool("export " + file + pw);
    EXPECT_EQ(refusedPlain.status, 1);
    EXPECT_TRUE(std::regex_search(refusedPlain.err, std::regex("keys.vaqx exists already"))) << refusedPlain.err;
    const Outcome forced = tool("export --force " + file + pw);
    ASSERT_EQ(forced.status, 0) << forced.err;
    struct stat st {};
    ASSERT_EQ(lstat(file.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(slurp(file).substr(0, 8), "HXBVAQEX");
    EXPECT_EQ(shell_output("ls -A " + dir), "keys.vaqx\n");
    ASSERT_EQ(tool("init --role HXM_CLIENT").status, 0);
    EXPECT_EQ(tool("import --role HXM_CLIENT " + file + pw).status, 0);
}

}  // namespace
