// SPDX-License-Identifier: Apache-2.0
// telmor-vaq end to end, as an operator runs it: each call is its own process
// on the sandbox's node, so several calls in a row are several processes
// sharing one keystore and one keystore version.
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "crafted_export.h"
#include "log_reader.h"
#include "node_layout.h"
#include "tool_runner.h"

namespace {

using namespace tooltest;
using Json = nlohmann::json;

class ToolCli : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(tool("init --role HXA").status, 0); }
};

TEST(ToolCliFresh, InitMakesAKeystoreOnceAndIsSafeToRepeat) {
    const Outcome first = tool("init --role HXM");
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_TRUE(std::regex_search(first.out, std::regex("ready: .*12 master keys")));
    struct stat st {};
    ASSERT_EQ(stat(node_layout::kTools.primary, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const Outcome again = tool("init --role HXM");
    EXPECT_EQ(again.status, 0);
    EXPECT_TRUE(std::regex_search(again.out, std::regex("12 master keys")));
}

TEST(ToolCliFresh, RefusesWithOneLineAndTheCode) {
    const struct {
        const char *args;
        const char *input;
        int status;       // 1 a failure, 2 a usage error
        const char *err;  // pattern for the one line on stderr
    } cases[] = {
        {"keys --role HXA", "", 1, "no keystore for role HXA: run 'telmor-vaq init --role HXA' \\(code 11\\)"},
        {"init --role hxa", "", 1, "unknown role 'hxa'.*\\(code 151\\)"},
        {"encrypt --role HXA", "x", 2, "--domain is required \\(see 'telmor-vaq help encrypt'\\)"},
        {"frobnicate", "", 2, "unknown command 'frobnicate'"},
        {"keys --domain 12x", "", 2, "--domain needs a number"},
        {"keys --domain=-1", "", 2, "--domain needs a number"},
        {"keys --bogus", "", 2, "unknown option --bogus \\(see 'telmor-vaq help keys'\\)"},
        {"keys surplus", "", 2, "unexpected argument surplus"},
        {"export", "", 2, "FILE is required"},
        {"activate-key --domain 50 --key-id 7 --no-notify", "", 2, "unknown option --no-notify"},
        {"export f --domain 50", "", 2, "unknown option --domain"},
        {"create-key --domain 50 --inactive --no-notify", "", 2, "--no-notify cannot go with --inactive"},
        {"help frobnicate", "", 2, "unknown command 'frobnicate'"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args);
        const Outcome r = tool(c.args, c.input);
        EXPECT_EQ(r.status, c.status);
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
    EXPECT_TRUE(std::regex_search(keys.out, std::regex("\n50 HXA_ENCRYPT +[0-9]+ +yes +generated +20[0-9-]+ ")));
    const Json keysJson = Json::parse(tool("keys --json --domain 105").out);
    ASSERT_EQ(keysJson.size(), 1u);
    EXPECT_EQ(keysJson[0]["domain"], 105);
    EXPECT_EQ(keysJson[0]["domainName"], "YRB_ENCRYPT");
    EXPECT_EQ(keysJson[0]["active"], true);
    EXPECT_EQ(keysJson[0]["origin"], "generated");
    const std::regex iso("20[0-9]{2}-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:[0-6][0-9]Z");
    EXPECT_TRUE(std::regex_match(keysJson[0]["created"].get<std::string>(), iso)) << keysJson.dump();
    EXPECT_TRUE(std::regex_match(keysJson[0]["expires"].get<std::string>(), iso)) << keysJson.dump();

    // Domains sorted by id, with their active keys; columns line up.
    const Json domains = Json::parse(tool("domains --json").out);
    ASSERT_EQ(domains.size(), 12u);
    for (size_t i = 1; i < domains.size(); ++i) EXPECT_LT(domains[i - 1]["domain"], domains[i]["domain"]);
    EXPECT_TRUE(domains[0]["activeKeyId"].is_number());
    const std::string table = tool("domains").out;
    const size_t nameColumn = table.find("NAME");
    std::istringstream lines(table);
    std::string line;
    std::getline(lines, line);
    while (std::getline(lines, line) && std::isdigit(static_cast<unsigned char>(line[0]))) {
        EXPECT_NE(line[nameColumn], ' ') << line;
        EXPECT_EQ(line[nameColumn - 1], ' ') << line;
    }

    const Json root = Json::parse(tool("root-key --json").out);
    EXPECT_EQ(root["version"], 1);
    EXPECT_EQ(root["valid"], true);
    EXPECT_EQ(root["wrappedKeys"], 12);
    EXPECT_TRUE(std::regex_match(root["created"].get<std::string>(), iso));
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
    const std::string pw = password_words("pw", "correct horse");
    const std::string badPw = password_words("badpw", "wrong horse");

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
    EXPECT_EQ(imp.out, "imported from " + file + ": 12 keys added in 12 domains, 0 already present\n");
    EXPECT_EQ(tool("decrypt --role HXM --domain 101", text.out).out, "chap secret");
    const Outcome again = tool("import " + file + " --role HXM" + pw);
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.out, "imported from " + file + ": no keys added, 12 already present\n");
}

// The active key of domain 50 of HXA, by the tool's own listing.
std::string active_key_50() {
    for (const auto &k : Json::parse(tool("keys --domain 50 --json").out))
        if (k["active"].get<bool>()) return std::to_string(k["keyId"].get<uint32_t>());
    return "";
}

// What an import or a join leaves out is said, with the option that takes
// it; an unsound key refuses the file with a sentence naming it.
TEST_F(ToolCli, ImportAndJoinSayWhatTheyLeaveOutAndWhy) {
    const std::string file = scratch() + "/before-rotation.vaqx";
    const std::string pw = password_words("pw", "correct horse");
    std::remove(file.c_str());
    ASSERT_EQ(tool("export " + file + pw).status, 0);
    const std::string old = active_key_50();
    ASSERT_EQ(tool("create-key --domain 50").status, 0);
    ASSERT_EQ(tool("delete-key --domain 50 --key-id " + old).status, 0);

    const std::string when = "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:]{8} UTC";
    const Outcome replay = tool("import " + file + pw);
    ASSERT_EQ(replay.status, 0) << replay.err;
    EXPECT_TRUE(std::regex_search(
        replay.out, std::regex("no keys added, 11 already present, 1 left out \\(deleted on this node\\)\n"
                               "key " + old + " of domain 50 was deleted on this node on " + when +
                               ": not added back \\(to bring it back, inactive: telmor-vaq import " + file +
                               " --restore " + old + "\\)\n$")))
        << replay.out;
    const Outcome restored = tool("import " + file + " --restore " + old + pw);
    ASSERT_EQ(restored.status, 0) << restored.err;
    EXPECT_TRUE(std::regex_search(restored.out, std::regex("1 key added in 1 domain.*\n"
                                                           "key " + old + " of domain 50, deleted on this node on " +
                                                           when + ", is back, inactive")))
        << restored.out;
    EXPECT_NE(active_key_50(), old);

    // A file dated before the rotation leaves domain 50 as it is.
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    const std::string older = scratch() + "/older.vaqx";
    tvtest::write_bytes(older, tvtest::crafted_export("correct horse", now - 3600,
                                                      {{50, 9050, true, 0, now - 7200, 3650,
                                                        tvtest::sound_key_material(9050)}}));
    const Outcome joined = tool("join " + older + pw);
    ASSERT_EQ(joined.status, 0) << joined.err;
    EXPECT_TRUE(std::regex_search(
        joined.out, std::regex("^joined from " + older + " \\(made " + when +
                               "\\): 0 domains switched to its active key, 0 already used it, 1 left as they were; "
                               "no keys added\ndomain 50 left as it was: its last key change on this node \\(" +
                               when + "\\) is newer than " + older + " \\(made " + when + "\\)")))
        << joined.out;

    const std::string expired = scratch() + "/expired.vaqx";
    tvtest::write_bytes(expired, tvtest::crafted_export("correct horse", now,
                                                        {{50, 71, false, 0, 31536000, 1,
                                                          tvtest::sound_key_material(71)}}));
    const Outcome refused = tool("import " + expired + pw);
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "telmor-vaq import: importing master keys from " + expired +
                               ": key 71 of domain 50 expired on 1971-01-02 00:00:00 UTC; nothing was changed "
                               "(code 2047)\n");
}

// check looks without writing: it names the damaged copy and the good one it
// is to be rewritten from, and leaves the file as it found it; --repair
// rewrites it and names its source.
TEST_F(ToolCli, DamagedCopyIsNamedByCheckAndRepairedByRepair) {
    const char *primary = kPrimary;
    const std::string good = slurp(primary);
    EXPECT_EQ(tool("check").out, "primary  good\nstandby  good\n");
    {
        std::fstream f(primary, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(40);
        f.put(static_cast<char>(good[40] ^ 0x5a));
    }
    const std::string damaged = slurp(primary);
    ASSERT_NE(damaged, good);
    const Outcome check = tool("check --json");
    EXPECT_EQ(check.status, 3) << check.err;
    Json j = Json::parse(check.out);
    EXPECT_EQ(j["primary"]["found"], "present");
    EXPECT_EQ(j["primary"]["state"], "damaged");
    EXPECT_EQ(j["primary"]["was"], "damaged");
    EXPECT_EQ(j["primary"]["source"], "standby");
    EXPECT_EQ(j["primary"]["rewritten"], false);
    EXPECT_EQ(j["standby"]["state"], "good");
    EXPECT_EQ(j["good"], false);
    EXPECT_EQ(slurp(primary), damaged);

    const Outcome repair = tool("check --repair --json");
    EXPECT_EQ(repair.status, 0) << repair.err;
    j = Json::parse(repair.out);
    EXPECT_EQ(j["primary"]["state"], "repaired");
    EXPECT_EQ(j["primary"]["was"], "damaged");
    EXPECT_EQ(j["primary"]["source"], "standby");
    EXPECT_EQ(j["primary"]["rewritten"], true);
    EXPECT_EQ(j["good"], true);
    EXPECT_EQ(slurp(primary), good);
}

TEST_F(ToolCli, NotifyMovesTheNodeVersionThatStatusShows) {
    const Outcome s1 = tool("status --json");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(s1.out, m, std::regex("\"nodeVersion\": ([0-9]+)"))) << s1.out;
    const unsigned long v = std::stoul(m[1]);
    ASSERT_EQ(tool("notify").status, 0);
    const Outcome s2 = tool("status");
    EXPECT_TRUE(std::regex_search(s2.out, std::regex("node version +" + std::to_string(v + 1) + "\n"))) << s2.out;
    EXPECT_TRUE(std::regex_search(
        s2.out, std::regex(std::string("primary +") + kPrimary + " +[0-9]+ bytes +0600 root:root +good\n")));
}

TEST_F(ToolCli, EveryCommandHasHelp) {
    for (const char *cmd : {"init", "encrypt", "decrypt", "inspect", "rewrap", "keys", "domains", "root-key",
                            "create-key", "register-key", "activate-key", "delete-key", "rotate-root-key", "export",
                            "import", "check", "notify", "status"}) {
        SCOPED_TRACE(cmd);
        const Outcome r = tool(std::string(cmd) + " --help");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.rfind(std::string("usage: telmor-vaq ") + cmd, 0), 0u) << r.out;
        EXPECT_EQ(tool(std::string("help ") + cmd).out, r.out);
        // Every option on the usage line has its own described row, and an example follows.
        const std::string usage = first_line(r.out);
        const std::regex optionWord("--[a-z-]+");
        for (std::sregex_iterator it(usage.begin(), usage.end(), optionWord), end; it != end; ++it) {
            EXPECT_TRUE(std::regex_search(r.out, std::regex("\n  " + it->str() + "[ A-Z]* {2,}[a-z(]")))
                << it->str() << "\n"
                << r.out;
        }
        EXPECT_TRUE(std::regex_search(r.out, std::regex("\nexamples:\n  telmor-vaq " + std::string(cmd) + "[ \n]")))
            << r.out;
    }
    const Outcome version = tool("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(std::regex_match(version.out, std::regex("telmor-vaq [0-9]+\\.[0-9]+\\.[0-9]+\n")));
    const Outcome general = tool("help");
    EXPECT_EQ(general.status, 0);
    EXPECT_TRUE(std::regex_search(general.out, std::regex("\n  rewrap +re-encrypt")));
    // The long form with '=' is the same option.
    EXPECT_TRUE(std::regex_search(tool("keys --domain=50").out, std::regex("\n50 HXA_ENCRYPT ")));
}

TEST_F(ToolCli, NeverPrintsKeyMaterialOrSecretsToItsLog) {
    const std::string material = "MATERIAL-0123456789-abcdefghijkl";
    ASSERT_EQ(tool("register-key --domain 2 --key-id 4242", material).status, 0);
    ASSERT_EQ(tool("encrypt --domain 2", "plain-secret-value").status, 0);
    const std::string log = slurp(tvtest::log_path_of(1, "telmor-vaq"));
    EXPECT_NE(log, "");
    EXPECT_EQ(log.find(material), std::string::npos);
    EXPECT_EQ(log.find("plain-secret-value"), std::string::npos);
}

}  // namespace
