// SPDX-License-Identifier: Apache-2.0
// init, check and status: the role's keystore files and directories.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <nlohmann/json.hpp>

#include "causes.h"
#include "command_table.h"
#include "copy_report.h"
#include "file_safety.h"
#include "protector.h"
#include "session.h"
#include "telmor_vaq_api.h"

namespace cli {

namespace {

using Json = nlohmann::ordered_json;

std::string dir_of(const std::string &path) { return path.substr(0, path.rfind('/')); }

std::vector<std::string> role_dirs(const Role &r) { return {dir_of(r.primary), dir_of(r.standby), r.logDir}; }

}  // namespace

std::vector<std::string> warnings_for(const Role &r) {
    std::vector<std::string> out;
    for (const std::string &dir : role_dirs(r)) {
        for (std::string &w : directory_warnings(dir)) out.push_back(std::move(w));
    }
    for (const char *path : {r.primary, r.standby}) {
        for (std::string &w : copy_warnings(path, r.name)) out.push_back(std::move(w));
    }
    for (std::string &w : secret_dir_warnings(r)) out.push_back(std::move(w));
    return out;
}

void print_warnings(const std::vector<std::string> &warnings) {
    std::fflush(stdout);
    for (const std::string &w : warnings) std::fprintf(stderr, "warning: %s\n", w.c_str());
}

namespace {

Json copy_json(const CopyReport &c) {
    Json j;
    j["path"] = c.path;
    j["found"] = c.found;
    j["state"] = c.state;
    j["detail"] = c.detail;
    if (c.facts.exists) {
        j["size"] = c.facts.size;
        j["mode"] = octal(c.facts.mode);
        j["owner"] = user_name(c.facts.uid);
        j["group"] = group_name(c.facts.gid);
    }
    return j;
}

int cmd_check(const Options &opt) {
    const Role &r = need_role(opt.role);
    const KeystoreReport report = examine_keystore(r, opt.repair);
    const bool allGood = report.copies[0].good() && report.copies[1].good();
    const std::vector<std::string> warnings = warnings_for(r);
    if (opt.json) {
        Json j;
        j["role"] = r.name;
        for (const CopyReport &c : report.copies) j[c.name] = copy_json(c);
        j["good"] = allGood;
        j["warnings"] = warnings;
        if (report.openFailure) j["error"] = *report.openFailure;
        write_out(j.dump(2) + "\n");
    } else {
        std::string out;
        for (const CopyReport &c : report.copies) {
            out += std::string(c.name) + "  " + c.state + (c.detail.empty() ? "" : ": " + c.detail) + "\n";
        }
        write_out(out);
    }
    print_warnings(warnings);
    if (report.openFailure) throw Failure{report.openCode, *report.openFailure};
    if (!allGood) {
        throw tool_failure(opt.repair ? "a keystore copy is still bad after --repair (see above)"
                                      : "a keystore copy is bad (see above)");
    }
    return 0;
}

// What status answers, as its exit status: monitoring reads this.
enum class StatusVerdict { Good = 0, Failed = 1, Warning = 3 };

const char *verdict_word(StatusVerdict v) {
    switch (v) {
        case StatusVerdict::Good:
            return "good";
        case StatusVerdict::Failed:
            return "cannot open";
        case StatusVerdict::Warning:
            return "warning";
    }
    return "";
}

// Good only when the keystore opened with both copies good as they were and
// nothing the library refuses is in the role's way.
StatusVerdict status_verdict(const KeystoreReport &report, const std::vector<std::string> &warnings) {
    if (report.openFailure || !report.masterKeys) return StatusVerdict::Failed;
    for (const CopyReport &c : report.copies) {
        if (c.state != "good") return StatusVerdict::Warning;
    }
    return warnings.empty() ? StatusVerdict::Good : StatusVerdict::Warning;
}

int cmd_status(const Options &opt) {
    const Role &r = need_role(opt.role);
    const std::optional<uint32_t> version = node_version();
    const bool any = file_facts(r.primary).exists || file_facts(r.standby).exists;
    KeystoreReport report;
    if (any) {
        report = examine_keystore(r, false);
    } else {
        for (const char *name : {"primary", "standby"}) {
            const char *path = std::string(name) == "primary" ? r.primary : r.standby;
            report.copies.push_back({name, path, "missing", "missing",
                                     std::string("run 'telmor-vaq init --role ") + r.name + "'", file_facts(path)});
        }
    }
    std::vector<std::string> warnings = warnings_for(r);
    std::string protectorText;
    Json protector = nullptr;
    if (report.masterKeys) {
        try {
            Session open(opt.role);
            protectorText = protector_lines();
            protector = protector_json();
        } catch (const Failure &) {
            // The copies' lines above already say why it did not open.
        }
    }
    const StatusVerdict verdict = status_verdict(report, warnings);
    if (opt.json) {
        Json j;
        j["role"] = r.name;
        j["nodeVersion"] = version ? Json(*version) : Json(nullptr);
        for (const CopyReport &c : report.copies) j[c.name] = copy_json(c);
        j["masterKeys"] = report.masterKeys ? Json(*report.masterKeys) : Json(nullptr);
        Json dirs = Json::array();
        for (const std::string &d : role_dirs(r)) {
            const FileFacts f = file_facts(d);
            Json dj;
            dj["path"] = d;
            dj["exists"] = f.exists;
            if (f.exists) {
                dj["mode"] = octal(f.mode);
                dj["owner"] = user_name(f.uid);
            }
            dirs.push_back(dj);
        }
        j["directories"] = dirs;
        j["protector"] = protector;
        j["warnings"] = warnings;
        if (report.openFailure) j["error"] = *report.openFailure;
        j["verdict"] = verdict_word(verdict);
        j["exitStatus"] = static_cast<int>(verdict);
        write_out(j.dump(2) + "\n");
    } else {
        std::string out = "role           " + std::string(r.name) + "\nnode version   " +
                          (version ? std::to_string(*version) : "none (no process has attached yet)") + "\n";
        size_t width = 0;
        for (const CopyReport &c : report.copies) width = std::max(width, c.path.size());
        for (const CopyReport &c : report.copies) {
            std::string line = std::string(c.name) + std::string(15 - std::string(c.name).size(), ' ') + c.path +
                               std::string(width - c.path.size(), ' ');
            if (c.facts.exists) {
                line += "  " + std::to_string(c.facts.size) + " bytes  " + octal(c.facts.mode) + " " +
                        user_name(c.facts.uid) + ":" + group_name(c.facts.gid);
            }
            line += "  " + c.state + (c.detail.empty() ? "" : " (" + c.detail + ")");
            out += line + "\n";
        }
        for (const std::string &d : role_dirs(r)) {
            const FileFacts f = file_facts(d);
            out += "directory      " + d + "  " +
                   (f.exists ? octal(f.mode) + " " + user_name(f.uid) + ":" + group_name(f.gid) : "missing") + "\n";
        }
        if (report.masterKeys) out += "master keys    " + std::to_string(*report.masterKeys) + "\n";
        out += protectorText;
        out += "verdict        " + std::string(verdict_word(verdict)) + "\n";
        write_out(out);
    }
    print_warnings(warnings);
    if (verdict == StatusVerdict::Failed) {
        if (report.openFailure) throw Failure{report.openCode, *report.openFailure};
        throw tool_failure(std::string("no keystore for role ") + r.name + ": run 'telmor-vaq init --role " + r.name +
                           "'");
    }
    return static_cast<int>(verdict);
}

const CommandRegistrar kCheck(
    {"check",
     "Keystore",
     41,
     "tell what each keystore copy was, what was done to it, and what it is now",
     "Looks at both keystore copies before opening them, opens the keystore (which rewrites a missing,\n"
     "damaged or out-of-date copy from the good one) and tells per copy: good, repaired, recreated, missing,\n"
     "damaged or unsafe, with what to run. --repair asks the library to rewrite a copy still bad. Exit\n"
     "status 0 only when both copies are good at the end.",
     {Opt::Role, Opt::Repair, Opt::Json},
     {},
     {{"check --repair", "verify both copies and mend a bad one"}},
     cmd_check});

const CommandRegistrar kStatus(
    {"status",
     "Keystore",
     42,
     "show the node's keystore version, this role's files with modes and owners, and warnings",
     "Shows the node's keystore version, the role's two keystore copies (size, mode, owner, state) and its\n"
     "directories, the number of master keys, and a warning with the remedy for each file or directory\n"
     "the library would refuse. Exit status 0 when the keystore opens with both copies good and nothing\n"
     "to warn about, 1 when it cannot be opened, 3 when it opens with a warning (a copy repaired,\n"
     "recreated or unusable, a file or directory the library refuses); --json carries the same verdict.",
     {Opt::Role, Opt::Json},
     {},
     {{"status --json", "the same as JSON"}},
     cmd_status});

}  // namespace

}  // namespace cli
