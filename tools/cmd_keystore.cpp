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

#include "audit_note.h"
#include "causes.h"
#include "command_table.h"
#include "copy_report.h"
#include "file_safety.h"
#include "owner_view.h"
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
    // What was wrong with the copy, and the copy it was (or is to be)
    // rewritten from.
    j["was"] = c.was.empty() ? Json(nullptr) : Json(c.was);
    j["source"] = c.source.empty() ? Json(nullptr) : Json(c.source);
    j["rewritten"] = c.rewritten;
    if (c.facts.exists) {
        j["size"] = c.facts.size;
        j["mode"] = octal(c.facts.mode);
        j["owner"] = user_name(c.facts.uid);
        j["group"] = group_name(c.facts.gid);
    }
    return j;
}

// What status and check warn about: what init warns about, copies and
// keystore directories open to others, and a keystore whose first init did
// not finish.
std::vector<std::string> check_warnings(const Role &r, const KeystoreReport &report) {
    std::vector<std::string> out = warnings_for(r);
    for (const std::string &path : {dir_of(r.primary), dir_of(r.standby), std::string(r.primary), std::string(r.standby)}) {
        for (std::string &w : exposure_warnings(path)) out.push_back(std::move(w));
    }
    if (report.changeWithheld) {
        out.push_back(std::string("the keystore lacks what its first opening adds (a domain's first master key): an "
                                  "init that did not finish; run 'telmor-vaq init --role ") +
                      r.name + "'");
    }
    return out;
}

int cmd_check(const Options &opt) {
    const Role &r = need_role(opt.role);
    // Without --repair nothing is written, and the keystore is opened as its
    // owner's processes open it.
    const KeystoreReport report = opt.repair ? examine_keystore(r, true) : examine_as_owner(r);
    const bool allGood = report.copies[0].good() && report.copies[1].good();
    const bool mendable = std::all_of(report.copies.begin(), report.copies.end(),
                                      [](const CopyReport &c) { return c.good() || c.mendable(); });
    const std::vector<std::string> warnings = check_warnings(r, report);
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
    if (!mendable || (opt.repair && !allGood)) {
        throw tool_failure(opt.repair ? "a keystore copy is still bad after --repair (see above)"
                                      : "a keystore copy is bad (see above)");
    }
    // A copy the next load rewrites from the good one, or a warning.
    return allGood && warnings.empty() ? 0 : 3;
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

// Good only when the keystore opened, as its owner opens it, with both
// copies good and nothing the library refuses in the role's way.
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
        report = examine_as_owner(r, [](KeystoreReport &open) {
            open.protectorText = protector_lines();
            open.protector = protector_json();
        });
    } else {
        for (const char *name : {"primary", "standby"}) {
            const char *path = std::string(name) == "primary" ? r.primary : r.standby;
            report.copies.push_back({name, path, "missing", "missing",
                                     std::string("run 'telmor-vaq init --role ") + r.name + "'", file_facts(path), "missing",
                                     "", false});
        }
    }
    std::vector<std::string> warnings = check_warnings(r, report);
    for (std::string &w : usage_warnings(opt.role)) warnings.push_back(std::move(w));
    const StatusVerdict verdict = status_verdict(report, warnings);
    const Json protector = report.protector.is_null() ? Json(nullptr) : Json(report.protector);
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
        if (looked_as_other_account()) out += "opened as      " + keystore_owner(r)->name + " (the keystore's owner)\n";
        if (report.masterKeys) out += "master keys    " + std::to_string(*report.masterKeys) + "\n";
        out += report.protectorText;
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
     "Opens the keystore as its owner's processes do (as root: in a process with the owner's uid and\n"
     "groups) without writing anything, and tells per copy what the library found: good, missing, empty,\n"
     "damaged, out of date, not this node's or unsafe, the copy it is to be rewritten from, and what to\n"
     "run. --repair rewrites a missing, damaged or out-of-date copy from the good one and tells each copy\n"
     "rewritten and its source. Exit status 0 when both copies are good and nothing is to warn about, 3\n"
     "when a copy is to be rewritten from the good one or a warning is given, 1 when the keystore cannot\n"
     "be opened or a copy cannot be mended.",
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
     "the library would refuse or that others can reach. It writes nothing, and opens the keystore as\n"
     "its owner's processes do (as root: in a process with the owner's uid and groups). Exit status 0\n"
     "when the keystore opens with both copies good and nothing to warn about, 1 when it cannot be\n"
     "opened, 3 when it opens with a warning (a copy missing, damaged or out of date, a file or\n"
     "directory the library refuses or others can reach); --json carries the same verdict.",
     {Opt::Role, Opt::Json},
     {},
     {{"status --json", "the same as JSON"}},
     cmd_status});

}  // namespace

}  // namespace cli
