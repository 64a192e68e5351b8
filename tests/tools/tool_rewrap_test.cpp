// SPDX-License-Identifier: Apache-2.0
// Staging a key with create-key --inactive, inspect, and rewrap: stored texts
// moved to the active key so the old one can be retired.
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tool_runner.h"

namespace {

using namespace tooltest;
using Json = nlohmann::json;

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

uint32_t key_of(const std::string &text) {
    return Json::parse(tool("inspect --json " + text).out)["keyId"].get<uint32_t>();
}

uint32_t active_key(uint32_t domain) {
    for (const Json &k : Json::parse(tool("keys --json --domain " + std::to_string(domain)).out)) {
        if (k["active"] == true) return k["keyId"].get<uint32_t>();
    }
    return 0;
}

class ToolRewrap : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(tool("init").status, 0); }
};

TEST_F(ToolRewrap, CreateKeyInactiveStagesAKeyThatEncryptsNothingUntilActivated) {
    const uint32_t old = active_key(50);
    const Outcome staged = tool("create-key --domain 50 --inactive");
    ASSERT_EQ(staged.status, 0) << staged.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(staged.out, m,
                                  std::regex("created master key ([0-9]+) in domain 50 HXA_ENCRYPT "
                                             "\\(inactive: activate it with 'telmor-vaq activate-key "
                                             "--domain 50 --key-id ([0-9]+)'\\)\n")));
    const std::string id = m[1];
    EXPECT_EQ(m[2], id);
    const Json keys = Json::parse(tool("keys --json --domain 50").out);
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(active_key(50), old);
    const std::string text = first_line(tool("encrypt --domain 50", "x").out);
    EXPECT_EQ(key_of(text), old);
    ASSERT_EQ(tool("activate-key --domain 50 --key-id " + id).status, 0);
    EXPECT_EQ(std::to_string(key_of(first_line(tool("encrypt --domain 50", "y").out))), id);
    // Each staged key has its own id.
    std::smatch m2;
    const Outcome again = tool("create-key --domain 50 --inactive");
    ASSERT_TRUE(std::regex_search(again.out, m2, std::regex("created master key ([0-9]+)")));
    EXPECT_NE(m2[1], id);
}

TEST_F(ToolRewrap, InspectShowsFormatDomainKeyAndWhetherTheKeyIsHere) {
    const std::string text = first_line(tool("encrypt --domain 101", "chap").out);
    const Outcome r = tool("inspect " + text);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(
        std::regex_match(r.out, std::regex("format +1 \\(AES-256-GCM, algorithm 5\\)\ndomain +101 CHAP_ENCRYPT\n"
                                           "key id +" +
                                           std::to_string(active_key(101)) +
                                           "\nplain bytes +4\nkey held here +yes \\(the domain's active key\\)\n")))
        << r.out;
    // Another node's keystore does not hold it.
    ASSERT_EQ(tool("init --role HXM").status, 0);
    EXPECT_TRUE(std::regex_search(tool("inspect --role HXM " + text).out,
                                  std::regex("key held here +no: deleted, or made on another node")));
    EXPECT_EQ(tool("inspect 'not base64'").status, 1);
}

TEST_F(ToolRewrap, MovesTextsToTheActiveKeyInOrderAndPassesCurrentOnesThrough) {
    const uint32_t old = active_key(50);
    std::string stored;
    std::vector<std::string> secrets = {"first", "second", "", "third"};
    for (const std::string &s : secrets)
        stored += s.empty() ? "\n" : first_line(tool("encrypt --domain 50", s).out) + "\n";
    ASSERT_EQ(tool("create-key --domain 50").status, 0);
    const uint32_t fresh = active_key(50);
    const std::string current = first_line(tool("encrypt --domain 50", "fourth").out);
    stored += current + "\n";
    secrets.push_back("fourth");

    const Outcome r = tool("rewrap --domain 50 --report", stored);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> out = lines_of(r.out);
    ASSERT_EQ(out.size(), secrets.size());
    for (size_t i = 0; i < out.size(); ++i) {
        SCOPED_TRACE(i);
        if (secrets[i].empty()) {
            EXPECT_EQ(out[i], "");
            continue;
        }
        EXPECT_EQ(key_of(out[i]), fresh);
        EXPECT_EQ(tool("decrypt --domain 50 " + out[i]).out, secrets[i]);
    }
    EXPECT_EQ(out[4], current);
    EXPECT_EQ(r.err, "line 1: key " + std::to_string(old) + ", rewrapped under key " + std::to_string(fresh) +
                         "\nline 2: key " + std::to_string(old) + ", rewrapped under key " + std::to_string(fresh) +
                         "\nline 4: key " + std::to_string(old) + ", rewrapped under key " + std::to_string(fresh) +
                         "\nline 5: key " + std::to_string(fresh) +
                         " (active), unchanged\n3 rewrapped, 1 already "
                         "under key " +
                         std::to_string(fresh) + "\n");

    // Once nothing refers to the old key it can go, and the rewrapped texts still decrypt.
    ASSERT_EQ(tool("delete-key --domain 50 --key-id " + std::to_string(old)).status, 0);
    EXPECT_EQ(tool("decrypt --domain 50 " + out[0]).out, "first");

    // Files given as arguments are read in order.
    spit(scratch() + "/a", out[0] + "\n");
    spit(scratch() + "/b", out[1] + "\n");
    EXPECT_EQ(tool("rewrap --domain 50 " + scratch() + "/a " + scratch() + "/b").out, out[0] + "\n" + out[1] + "\n");
}

TEST_F(ToolRewrap, AnUndecryptableLineStopsWithItsNumberAndWritesNothing) {
    const std::string good = first_line(tool("encrypt --domain 50", "ok").out);
    const std::string other = first_line(tool("encrypt --domain 51", "other").out);
    const Outcome r = tool("rewrap --domain 50", good + "\n" + good + "\n" + other + "\n" + good + "\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "telmor-vaq rewrap: line 3 does not decrypt under domain 50: the text was made under domain 51, "
              "not 50: decrypt it with --domain 51; nothing was written (code 1)\n");
    const Outcome junk = tool("rewrap --domain 50", good + "\n%%%\n");
    EXPECT_EQ(junk.status, 1);
    EXPECT_TRUE(
        std::regex_search(junk.err, std::regex("line 2 does not decrypt under domain 50: the text is not Base64")));
}

}  // namespace
