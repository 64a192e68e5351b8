// SPDX-License-Identifier: Apache-2.0
// telmor-vaq end to end, as an operator runs it: each call is its own process
// on the sandbox's node, so several calls in a row are several processes
// sharing one keystore and one keystore version.
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace {

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A scratch directory of this test process (tests may run side by side).
const std::string &scratch() {
    static const std::string dir = [] {
        char tmpl[] = "/tmp/tool_cli.XXXXXX";
        return std::string(mkdtemp(tmpl));
    }();
    return dir;
}

// Runs the tool with `args` (shell words) and `input` on stdin.
Outcome tool(const std::string &args, const std::string &input = "") {
    const std::string &dir = scratch();
    std::ofstream(dir + "/in", std::ios::binary) << input;
    const std::string cmd = std::string(TELMOR_VAQ_TOOL) + " " + args + " <" + dir + "/in >" + dir +
                            "/out 2>" + dir + "/err";
    const int rc = std::system(cmd.c_str());
    return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, slurp(dir + "/out"), slurp(dir + "/err")};
}

std::string first_line(const std::string &s) { return s.substr(0, s.find('\n')); }

class ToolCli : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(tool("init --role HXA").status, 0); }
};

TEST(ToolCliFresh, InitMakesAKeystoreOnceAndIsSafeToRepeat) {
    const Outcome first = tool("init --role HXM");
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_TRUE(std::regex_search(first.out, std::regex("ready: .*12 master keys")));
    struct stat st {};
    ASSERT_EQ(stat("/opt/telmor/tools/vaq/conf/primary_ks.key", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const Outcome again = tool("init --role HXM");
    EXPECT_EQ(again.status, 0);
    EXPECT_TRUE(std::regex_search(again.out, std::regex("12 master keys")));
}

TEST(ToolCliFresh, RefusesWithOneLineAndTheCode) {
    const struct {
        const char *args;
        const char *input;
        const char *err;  // pattern for the one line on stderr
    } cases[] = {
        {"keys --role HXA", "", "no keystore for role HXA.*\\(code 11\\)"},
        {"init --role hxa", "", "unknown role 'hxa'.*\\(code 151\\)"},
        {"encrypt --role HXA", "x", "--domain ID is required \\(code 1\\)"},
        {"frobnicate", "", "unknown command 'frobnicate'"},
        {"keys --domain 12x", "", "--domain needs a number"},
        {"keys --bogus", "", "unknown option --bogus"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args);
        const Outcome r = tool(c.args, c.input);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
        EXPECT_TRUE(std::regex_search(r.err, std::regex(c.err))) << r.err;
    }
}

TEST_F(ToolCli, EncryptsInOneProcessAndDecryptsInAnother) {
    const Outcome enc = tool("encrypt --role HXA --domain 50", "s3cret pass");
    ASSERT_EQ(enc.status, 0) << enc.err;
    EXPECT_TRUE(std::regex_match(enc.out, std::regex("[A-Za-z0-9+/]+={0,2}\n")));
    const Outcome dec = tool("decrypt --role HXA --domain 50", enc.out);
    EXPECT_EQ(dec.status, 0) << dec.err;
    EXPECT_EQ(dec.out, "s3cret pass");
    const Outcome asArg = tool("decrypt --role HXA --domain 50 " + first_line(enc.out));
    EXPECT_EQ(asArg.out, "s3cret pass");

    const Outcome other = tool("decrypt --role HXA --domain 51", enc.out);
    EXPECT_EQ(other.status, 1);
    EXPECT_EQ(other.out, "");
    const Outcome damaged = tool("decrypt --role HXA --domain 50", "AAAA" + enc.out.substr(4));
    EXPECT_EQ(damaged.status, 1);
    EXPECT_EQ(damaged.out, "");
}

TEST_F(ToolCli, ListingsAsTablesAndJson) {
    const Outcome keys = tool("keys");
    ASSERT_EQ(keys.status, 0);
    EXPECT_TRUE(std::regex_search(keys.out, std::regex("\n50 HXA_ENCRYPT +[0-9]+ +yes +20[0-9-]+ ")));
    const Outcome json = tool("keys --json --domain 105");
    EXPECT_TRUE(std::regex_match(
        json.out, std::regex("\\[\n  \\{\"domain\": 105, \"domainName\": \"YRB_ENCRYPT\", \"keyId\": [0-9]+, "
                             "\"active\": true, \"created\": \"[0-9: -]+\", \"expires\": \"[0-9: -]+\"\\}\n\\]\n")))
        << json.out;
    const Outcome domains = tool("domains --json");
    EXPECT_EQ(std::count(domains.out.begin(), domains.out.end(), '{'), 12);
    const Outcome root = tool("root-key --json");
    EXPECT_TRUE(std::regex_search(root.out, std::regex("\"version\": 1, \"valid\": true")));
    EXPECT_TRUE(std::regex_search(root.out, std::regex("\"wrappedKeys\": 12")));
}

TEST_F(ToolCli, KeyLifecycleAcrossProcesses) {
    const Outcome before = tool("encrypt --role HXA --domain 50", "old secret");
    const Outcome created = tool("create-key --domain 50");
    ASSERT_EQ(created.status, 0) << created.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(created.out, m, std::regex("created master key ([0-9]+)")));
    const std::string newId = m[1];
    EXPECT_TRUE(std::regex_search(tool("keys --domain 50").out, std::regex(newId + " +yes")));
    // The previous key stays for decryption; the active one cannot be deleted.
    EXPECT_EQ(tool("decrypt --domain 50", before.out).out, "old secret");
    const Outcome delActive = tool("delete-key --domain 50 --key-id " + newId);
    EXPECT_EQ(delActive.status, 1);

    const std::string material(32, 'k');
    const Outcome reg = tool("register-key --domain 50 --key-id 77", material);
    ASSERT_EQ(reg.status, 0) << reg.err;
    EXPECT_EQ(tool("activate-key --domain 50 --key-id 77").status, 0);
    EXPECT_TRUE(std::regex_search(tool("keys --domain 50").out, std::regex("\n50 HXA_ENCRYPT +77 +yes")));
    EXPECT_EQ(tool("delete-key --domain 50 --key-id " + newId).status, 0);
    EXPECT_EQ(tool("rotate-root-key").status, 0);
    EXPECT_EQ(tool("decrypt --domain 50", before.out).out, "old secret");
    EXPECT_TRUE(std::regex_search(tool("root-key").out, std::regex("version +2")));
}

TEST_F(ToolCli, ExportImportMovesKeysToAnotherRole) {
    ASSERT_EQ(tool("init --role HXM").status, 0);
    const Outcome text = tool("encrypt --role HXA --domain 101", "chap secret");
    ASSERT_EQ(text.status, 0);
    const std::string file = scratch() + "/keys.vaqx";
    const std::string pw = " --password-fd 3 3<" + scratch() + "/pw";
    const std::string badPw = " --password-fd 3 3<" + scratch() + "/badpw";
    std::ofstream(scratch() + "/pw") << "correct horse\n";
    std::ofstream(scratch() + "/badpw") << "wrong horse\n";

    const Outcome exp = tool("export " + file + " --role HXA" + pw);
    ASSERT_EQ(exp.status, 0) << exp.err;
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    const Outcome wrong = tool("import " + file + " --role HXM" + badPw);
    EXPECT_EQ(wrong.status, 1);
    EXPECT_EQ(tool("decrypt --role HXM --domain 101", text.out).status, 1);

    const Outcome imp = tool("import " + file + " --role HXM" + pw);
    ASSERT_EQ(imp.status, 0) << imp.err;
    EXPECT_EQ(tool("decrypt --role HXM --domain 101", text.out).out, "chap secret");
    EXPECT_EQ(tool("import " + file + " --role HXM" + pw).status, 0);
}

// Opening the keystore already repairs a damaged copy from the good one, so
// any command, check included, leaves both copies good.
TEST_F(ToolCli, DamagedCopyIsRepairedWhenTheKeystoreIsOpened) {
    const char *primary = "/opt/telmor/agent/conf/vaq/conf/primary_ks.key";
    const std::string good = slurp(primary);
    EXPECT_EQ(tool("check").out, "primary  good\nstandby  good\n");
    {
        std::fstream f(primary, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(40);
        f.put(static_cast<char>(good[40] ^ 0x5a));
    }
    ASSERT_NE(slurp(primary), good);
    const Outcome check = tool("check --json");
    EXPECT_EQ(check.status, 0) << check.err;
    EXPECT_EQ(check.out, "{\"primary\": true, \"standby\": true, \"repaired\": false}\n");
    EXPECT_EQ(slurp(primary), good);
}

TEST_F(ToolCli, NotifyMovesTheNodeVersionThatStatusShows) {
    const Outcome s1 = tool("status --json");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(s1.out, m, std::regex("\"nodeVersion\": ([0-9]+)"))) << s1.out;
    const unsigned long v = std::stoul(m[1]);
    ASSERT_EQ(tool("notify").status, 0);
    const Outcome s2 = tool("status");
    EXPECT_TRUE(std::regex_search(s2.out, std::regex("node version +" + std::to_string(v + 1) + "\n")))
        << s2.out;
    EXPECT_TRUE(std::regex_search(s2.out, std::regex("primary +/opt/telmor/agent/conf/vaq/conf/primary_ks.key +[0-9]+ bytes +good")));
}

TEST_F(ToolCli, EveryCommandHasHelp) {
    for (const char *cmd : {"init", "encrypt", "decrypt", "keys", "domains", "root-key", "create-key",
                            "register-key", "activate-key", "delete-key", "rotate-root-key", "export",
                            "import", "check", "notify", "status"}) {
        SCOPED_TRACE(cmd);
        const Outcome r = tool(std::string(cmd) + " --help");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.rfind(std::string("usage: telmor-vaq ") + cmd, 0), 0u) << r.out;
    }
}

TEST_F(ToolCli, NeverPrintsKeyMaterialOrSecretsToItsLog) {
    const std::string material = "MATERIAL-0123456789-abcdefghijkl";
    ASSERT_EQ(tool("register-key --domain 2 --key-id 4242", material).status, 0);
    ASSERT_EQ(tool("encrypt --domain 2", "plain-secret-value").status, 0);
    const std::string log = slurp("/var/log/oam/hxa/run/hxa_vaq_telmor-vaq.log.0");
    EXPECT_NE(log, "");
    EXPECT_EQ(log.find(material), std::string::npos);
    EXPECT_EQ(log.find("plain-secret-value"), std::string::npos);
}

}  // namespace
