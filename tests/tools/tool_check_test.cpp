// SPDX-License-Identifier: Apache-2.0
// check tells, per keystore copy, what it found before the library opened the
// keystore and what was done, and exits 0 only when both copies end good.
#include <sys/stat.h>

#include <functional>
#include <regex>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tool_runner.h"

namespace {

using namespace tooltest;
using Json = nlohmann::json;

bool file_exists(const char *path) {
    struct stat st {};
    return lstat(path, &st) == 0;
}

void flip_byte(const char *path, size_t at) {
    std::string image = slurp(path);
    image[at] ^= 0x5a;
    spit(path, image);
}

// What check says (and writes nothing), then what check --repair says.
struct Verdict {
    const char *primary;  // expected line for each copy (a pattern)
    const char *standby;
    int status;
};

struct Damage {
    const char *name;
    std::function<void()> apply;
    Verdict check;
    Verdict repair;
};

bool matches(const Outcome &r, const Verdict &v) {
    return std::regex_search(r.out, std::regex(std::string("^primary  ") + v.primary)) &&
           std::regex_search(r.out, std::regex(std::string("\nstandby  ") + v.standby));
}

TEST(ToolCheck, NamesEachDamagedCopyAndItsSourceAndOnlyRepairWrites) {
    ASSERT_EQ(tool("init").status, 0);
    const char *fromStandby = "the standby copy is good: 'telmor-vaq check --repair --role HXA' rewrites it from the "
                              "standby copy";
    const char *fromPrimary = "the primary copy is good: 'telmor-vaq check --repair --role HXA' rewrites it from the "
                              "primary copy";
    const std::string damagedPrimary = std::string("damaged: was damaged; ") + fromStandby;
    const std::string damagedStandby = std::string("damaged: was damaged; ") + fromPrimary;
    const std::string staleStandby =
        std::string("out of date: was out of date \\(generation [0-9]+, the primary copy's [0-9]+\\); ") + fromPrimary;
    const std::string missingStandby = std::string("missing: was missing; ") + fromPrimary;
    const std::string emptyPrimary = std::string("empty: was empty; ") + fromStandby;
    const Damage cases[] = {
        {"nothing wrong", [] {}, {"good", "good", 0}, {"good", "good", 0}},
        {"primary altered", [] { flip_byte(kPrimary, 100); }, {damagedPrimary.c_str(), "good", 3},
         {"repaired: was damaged: rewritten from the standby copy\n", "good", 0}},
        {"standby cut short", [] { spit(kStandby, slurp(kStandby).substr(0, 500)); },
         {"good", damagedStandby.c_str(), 3}, {"good", "repaired: was damaged: rewritten from the primary copy\n", 0}},
        {"standby out of date",
         [] {
             const std::string old = slurp(kStandby);
             ASSERT_EQ(tool("create-key --domain 50").status, 0);
             spit(kStandby, old);
         },
         {"good", staleStandby.c_str(), 3},
         {"good", "repaired: was out of date \\(generation [0-9]+, the primary copy's [0-9]+\\): rewritten from the "
                  "primary copy\n",
          0}},
        {"standby removed", [] { ASSERT_EQ(unlink(kStandby), 0); }, {"good", missingStandby.c_str(), 3},
         {"good", "recreated: was missing: rewritten from the primary copy\n", 0}},
        {"primary emptied", [] { spit(kPrimary, ""); }, {emptyPrimary.c_str(), "good", 3},
         {"recreated: was empty: rewritten from the standby copy\n", "good", 0}},
        {"standby directory removed", [] { ASSERT_EQ(shell(std::string("rm -r ") + kStandbyDir), 0); },
         {"good", "missing: directory /opt/telmor/agent/conf/vaq/bkp does not exist: run 'telmor-vaq init --role HXA'",
          1},
         {"good", "missing: directory /opt/telmor/agent/conf/vaq/bkp does not exist", 1}},
        {"the remedy given: init", [] { ASSERT_EQ(tool("init").status, 0); }, {"good", "good", 0},
         {"good", "good", 0}},
        {"standby a symbolic link",
         [] {
             spit(scratch() + "/elsewhere", "not a keystore");
             ASSERT_EQ(unlink(kStandby), 0);
             ASSERT_EQ(symlink((scratch() + "/elsewhere").c_str(), kStandby), 0);
         },
         {"good", "unsafe: not used by the library \\(a symbolic link\\): while the other copy is good, move it aside",
          1},
         {"good", "unsafe: not used by the library \\(a symbolic link\\)", 1}},
        {"the remedy given: move it aside", [] { ASSERT_EQ(unlink(kStandby), 0); },
         {"good", missingStandby.c_str(), 3}, {"good", "recreated: was missing: rewritten from the primary copy", 0}},
        {"both copies altered",
         [] {
             flip_byte(kPrimary, 100);
             flip_byte(kStandby, 100);
         },
         {"damaged: does not verify, and no good copy is left", "damaged: does not verify", 1},
         {"damaged: does not verify, and no good copy is left", "damaged: does not verify", 1}},
    };
    for (const Damage &d : cases) {
        SCOPED_TRACE(d.name);
        d.apply();
        const std::string primary = slurp(kPrimary);
        const std::string standby = slurp(kStandby);
        const bool standbyThere = file_exists(kStandby);
        const Outcome look = tool("check");
        EXPECT_EQ(look.status, d.check.status) << look.out << look.err;
        EXPECT_TRUE(matches(look, d.check)) << look.out;
        // check wrote nothing.
        EXPECT_EQ(slurp(kPrimary), primary);
        EXPECT_EQ(slurp(kStandby), standby);
        EXPECT_EQ(file_exists(kStandby), standbyThere);
        const Outcome repair = tool("check --repair");
        EXPECT_EQ(repair.status, d.repair.status) << repair.out << repair.err;
        EXPECT_TRUE(matches(repair, d.repair)) << repair.out;
        if (d.repair.status != 0) {
            EXPECT_NE(repair.err, "");
        }
    }
    // Both copies bad: the files stay as they were, for an operator to inspect.
    const std::string primary = slurp(kPrimary);
    EXPECT_EQ(tool("check --json").status, 1);
    EXPECT_EQ(slurp(kPrimary), primary);
}

TEST(ToolCheck, OnAFreshNodeItSaysToRunInit) {
    const Outcome r = tool("check");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out,
              "primary  missing: no keystore yet: run 'telmor-vaq init --role HXA'\n"
              "standby  missing: no keystore yet: run 'telmor-vaq init --role HXA'\n");
    // Nothing to open: status says so in its exit status too.
    const Outcome status = tool("status");
    EXPECT_EQ(status.status, 1);
    EXPECT_EQ(status.err, "telmor-vaq status: no keystore for role HXA: run 'telmor-vaq init --role HXA'\n");
    EXPECT_TRUE(std::regex_search(status.out, std::regex(std::string("\nprimary +") + kPrimary +
                                                         " +"
                                                         "missing \\(run 'telmor-vaq init --role HXA'\\)\n")))
        << status.out;
}

TEST(ToolCheck, JsonNamesEachCopyFoundStateModeAndOwner) {
    ASSERT_EQ(tool("init").status, 0);
    ASSERT_EQ(unlink(kStandby), 0);
    const Outcome r = tool("check --json");
    ASSERT_EQ(r.status, 3) << r.err;
    const Json j = Json::parse(r.out);
    EXPECT_EQ(j["good"], false);
    EXPECT_EQ(j["primary"]["found"], "present");
    EXPECT_EQ(j["primary"]["state"], "good");
    EXPECT_EQ(j["primary"]["was"], nullptr);
    EXPECT_EQ(j["primary"]["mode"], "0600");
    EXPECT_EQ(j["primary"]["owner"], "root");
    EXPECT_EQ(j["standby"]["found"], "missing");
    EXPECT_EQ(j["standby"]["state"], "missing");
    EXPECT_EQ(j["standby"]["was"], "missing");
    EXPECT_EQ(j["standby"]["source"], "primary");
    EXPECT_EQ(j["standby"]["rewritten"], false);
}

}  // namespace

namespace {

// A lost node secret (2028) is left without a loop: the sentence names both
// copies to move aside, init says the same while they are there, and after
// the move init makes a new keystore and join brings the keys back.
TEST(ToolCheck, ALostNodeSecretIsLeftByMovingBothCopiesAsideAsTheSentenceSays) {
    ASSERT_EQ(tool("init").status, 0);
    const std::string pw = password_words("lost-secret-pw", "a long enough password");
    ASSERT_EQ(tool("export " + scratch() + "/before-loss.vaqx" + pw).status, 0);
    const Outcome text = tool("encrypt --domain 50", "kept secret");
    ASSERT_EQ(text.status, 0);
    ASSERT_EQ(std::remove("/etc/telmor/vaq/agent/agent.secret"), 0);

    const std::string moves = std::string("'mv ") + kPrimary + " " + kPrimary + ".lost' and 'mv " + kStandby + " " +
                              kStandby + ".lost'";
    for (const char *command : {"keys", "init"}) {
        SCOPED_TRACE(command);
        const Outcome r = tool(command);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("node secret this keystore is sealed under is missing"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(moves), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("(code 2028)"), std::string::npos) << r.err;
    }
    ASSERT_EQ(shell(std::string("mv ") + kPrimary + " " + kPrimary + ".lost && mv " + kStandby + " " + kStandby +
                    ".lost"),
              0);
    const Outcome init = tool("init");
    ASSERT_EQ(init.status, 0) << init.err;
    const Outcome join = tool("join " + scratch() + "/before-loss.vaqx" + pw);
    ASSERT_EQ(join.status, 0) << join.err;
    const Outcome back = tool("decrypt --domain 50 " + first_line(text.out));
    EXPECT_EQ(back.status, 0) << back.err;
    EXPECT_EQ(back.out, "kept secret");
}

// Monitoring reads status's exit status: 0 the keystore opens with both copies
// good, 3 it opens with a warning, 1 it cannot be opened; --json says the same.
TEST(ToolStatus, ExitStatusAndJsonCarryTheVerdict) {
    ASSERT_EQ(tool("init").status, 0);
    const struct {
        const char *name;
        std::function<void()> apply;
        int status;
        const char *verdict;
    } cases[] = {
        {"both copies good", [] {}, 0, "good"},
        {"standby missing", [] { ASSERT_EQ(unlink(kStandby), 0); }, 3, "warning"},
        {"primary altered", [] { flip_byte(kPrimary, 100); }, 3, "warning"},
        {"a copy the library refuses", [] { ASSERT_EQ(shell(std::string("chown 4242 ") + kStandby), 0); }, 3,
         "warning"},
        {"both copies damaged",
         [] {
             flip_byte(kPrimary, 100);
             flip_byte(kStandby, 100);
         },
         1, "cannot open"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        // Opening repairs what it can, so each run starts from the same damage.
        const std::string save = std::string("cp -p ") + kPrimary + " " + scratch() + "/p && cp -p " + kStandby +
                                 " " + scratch() + "/s";
        const std::string restore = "cp -p " + scratch() + "/p " + kPrimary + " && cp -p " + scratch() + "/s " +
                                    kStandby;
        ASSERT_EQ(shell(save), 0);
        c.apply();
        const Outcome text = tool("status");
        EXPECT_EQ(text.status, c.status) << text.out << text.err;
        EXPECT_NE(text.out.find(std::string("\nverdict        ") + c.verdict + "\n"), std::string::npos) << text.out;
        // Its sentences never send the reader to status itself.
        EXPECT_EQ((text.out + text.err).find("'telmor-vaq status"), std::string::npos) << text.out << text.err;
        ASSERT_EQ(shell(restore), 0);
        c.apply();
        const Outcome json = tool("status --json");
        EXPECT_EQ(json.status, c.status) << json.err;
        const Json j = Json::parse(json.out);
        EXPECT_EQ(j["verdict"], c.verdict);
        EXPECT_EQ(j["exitStatus"], c.status);
        ASSERT_EQ(shell(restore), 0);
    }
}

}  // namespace
