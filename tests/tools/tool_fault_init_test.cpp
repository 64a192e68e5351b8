// SPDX-License-Identifier: Apache-2.0
// A first init that fails at one file call (each call in turn; EIO, ENOSPC,
// EINTR, a short write), then check: what check reports of each copy must be
// what the files hold. check writes nothing; a copy it names as missing,
// empty or damaged is so on disk, and the copy it names as the source is
// there; check --repair names as rewritten only copies it rewrote from a copy
// that was there.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tool_runner.h"

namespace {

using namespace tooltest;
using Json = nlohmann::json;

struct CopyFile {
    bool exists;
    std::string bytes;
};

CopyFile look(const char *path) {
    const bool exists = shell(std::string("test -e ") + path) == 0;
    return {exists, exists ? slurp(path) : std::string()};
}

// The tool under test: this build's, or another's given in the environment
// (to take the figures of an older build).
std::string tool_path() {
    const char *other = std::getenv("TELMOR_FAULT_INIT_TOOL");
    return other != nullptr ? other : TELMOR_VAQ_TOOL;
}

Outcome tool_run(const std::string &args, const std::string &env = "") {
    return run(env + " " + tool_path() + " " + args);
}

// Back to the node as the packages leave it: no keystore, no secret.
void fresh_node() {
    ASSERT_EQ(shell("rm -rf /opt/telmor/agent/conf/vaq/conf/* /opt/telmor/agent/conf/vaq/bkp/* /etc/telmor/vaq/*"), 0);
}

struct Figures {
    int runs = 0;
    int initFailed = 0;
    int mismatches = 0;
    int absentSource = 0;  // a copy said to be (or to be) rewritten from a copy that was not there
};

// What check said of one copy against the file, before and after it ran.
// Returns the reasons for a mismatch; empty when they agree.
std::string judge_copy(const Json &c, const CopyFile &before, const CopyFile &after, const CopyFile &other,
                       const Json &otherReport) {
    std::string wrong;
    if (after.exists != before.exists || after.bytes != before.bytes) wrong += " check changed the file;";
    const std::string state = c.value("state", "");
    if (state == "repaired" || state == "recreated" || c.value("rewritten", false))
        wrong += " check says it rewrote it;";
    if (!before.exists && state != "missing") wrong += " the file is missing, check says " + state + ";";
    if (before.exists && before.bytes.empty() && state != "empty") wrong += " the file is empty, check says " + state + ";";
    if (c.contains("source") && c["source"].is_string()) {
        if (!other.exists || other.bytes.empty() || otherReport.value("state", "") != "good")
            wrong += " its source, the other copy, is not there or not good;";
    }
    return wrong;
}

TEST(ToolFaultInit, AFailedFirstInitLeavesFilesThatCheckReportsAsTheyAre) {
    const std::string fired = scratch() + "/fired";
    Figures total;
    for (const char *kind : {"EIO", "ENOSPC", "EINTR", "short"}) {
        Figures f;
        for (int n = 1;; ++n) {
            SCOPED_TRACE(std::string(kind) + " at call " + std::to_string(n));
            fresh_node();
            std::remove(fired.c_str());
            const Outcome init =
                tool_run("init", std::string("LD_PRELOAD=") + TELMOR_FAULT_SHIM + " TELMOR_FAULT_AT=" +
                                     std::to_string(n) + " TELMOR_FAULT_KIND=" + kind + " TELMOR_FAULT_FIRED=" + fired);
            if (shell("test -e " + fired) != 0) break;  // init ended before call n: every call was tried
            ++f.runs;
            if (init.status != 0) ++f.initFailed;
            const CopyFile before[2] = {look(kPrimary), look(kStandby)};
            const Outcome check = tool_run("check --json");
            const CopyFile after[2] = {look(kPrimary), look(kStandby)};
            Json j;
            try {
                j = Json::parse(check.out);
            } catch (const Json::exception &) {
                ADD_FAILURE() << "check printed no report: " << check.out << check.err;
                ++f.mismatches;
                continue;
            }
            std::string wrong;
            for (int i = 0; i < 2; ++i) {
                const Json &c = j[i == 0 ? "primary" : "standby"];
                const std::string state = c.value("state", "");
                const bool fromOther = state == "repaired" || state == "recreated" ||
                                       (c.contains("source") && c["source"].is_string());
                if (fromOther && (!before[1 - i].exists || before[1 - i].bytes.empty())) ++f.absentSource;
            }
            for (int i = 0; i < 2; ++i) {
                const char *name = i == 0 ? "primary" : "standby";
                const char *otherName = i == 0 ? "standby" : "primary";
                const std::string w = judge_copy(j[name], before[i], after[i], before[1 - i], j[otherName]);
                if (!w.empty()) wrong += std::string(" ") + name + ":" + w;
            }
            // --repair rewrites only from a copy that was there and good.
            const Outcome repair = tool_run("check --repair --json");
            try {
                const Json r = Json::parse(repair.out);
                for (int i = 0; i < 2; ++i) {
                    const char *name = i == 0 ? "primary" : "standby";
                    const Json &c = r[name];
                    if (!c.value("rewritten", false) && c.value("state", "") != "repaired" &&
                        c.value("state", "") != "recreated")
                        continue;
                    const CopyFile &source = before[1 - i];
                    if (!source.exists || source.bytes.empty() ||
                        j[i == 0 ? "standby" : "primary"].value("state", "") != "good")
                        wrong += std::string(" ") + name + ": --repair says it rewrote it from a copy that was not there;";
                }
            } catch (const Json::exception &) {
                wrong += " check --repair printed no report;";
            }
            if (!wrong.empty()) {
                ++f.mismatches;
                ADD_FAILURE() << wrong << "\n" << check.out;
            }
        }
        std::printf("failed first init, %s: %d runs (fault made), init failed in %d, report and files disagree in %d, "
                    "a copy named rewritten from one not there in %d\n",
                    kind, f.runs, f.initFailed, f.mismatches, f.absentSource);
        EXPECT_GT(f.runs, 0) << kind;
        total.runs += f.runs;
        total.initFailed += f.initFailed;
        total.mismatches += f.mismatches;
        total.absentSource += f.absentSource;
    }
    std::printf("failed first init, all: %d runs, init failed in %d, report and files disagree in %d, a copy named "
                "rewritten from one not there in %d\n",
                total.runs, total.initFailed, total.mismatches, total.absentSource);
    EXPECT_EQ(total.mismatches, 0);
}

}  // namespace
