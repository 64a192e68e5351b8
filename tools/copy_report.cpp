// SPDX-License-Identifier: Apache-2.0
#include "copy_report.h"

#include <dlfcn.h>

#include <string>

#include "causes.h"
#include "owner_view.h"
#include "session.h"
#include "telmor_vaq_api.h"
#include "telmor_vaq_private.h"
#include "vaq_private.h"

namespace cli {

namespace {

using Json = nlohmann::ordered_json;

std::string dir_of(const std::string &path) { return path.substr(0, path.rfind('/')); }

std::string found_state(const std::string &path) {
    const FileFacts f = file_facts(path);
    if (!f.exists) return file_facts(dir_of(path)).exists ? "missing" : "no directory";
    if (!refused_file(path).empty()) return "unsafe";
    return f.size == 0 ? "empty" : "present";
}

// The key library's private entries are looked up at run time: a key library
// without them (a vendor build) is said, never crashed on.
template <class Fn>
Fn private_entry(const char *name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_DEFAULT, name));
}

std::optional<VaqPrivLoadFindings> last_findings() {
    auto fn = private_entry<uint32_t (*)(VaqPrivLoadFindings *)>("VaqPrivLastLoadFindings");
    VaqPrivLoadFindings f{};
    if (fn == nullptr || fn(&f) != 0) return std::nullopt;
    return f;
}

// What the library found wrong with copy i, in the report's words; "" when
// the copy is valid and as new as the newest.
std::string problem_of(const VaqPrivLoadFindings &f, int i) {
    switch (f.state[i]) {
        case VAQ_PRIV_COPY_MISSING:
            return "missing";
        case VAQ_PRIV_COPY_EMPTY:
            return "empty";
        case VAQ_PRIV_COPY_VALID:
            return (f.found[i] & VAQ_PRIV_FOUND_STALE) ? "out of date" : "";
        case VAQ_PRIV_COPY_DAMAGED:
            return "damaged";
        case VAQ_PRIV_COPY_NEWER_FORMAT:
            return "newer format";
        case VAQ_PRIV_COPY_FOREIGN:
            return "not this node's";
        default:
            return "unreadable";
    }
}

// Why a copy is still bad at the end, with what to run.
void explain_bad(CopyReport &c, const std::string &role) {
    const FileFacts f = file_facts(c.path);
    const std::string unsafe = refused_file(c.path);
    if (!file_facts(dir_of(c.path)).exists) {
        c.state = "missing";
        c.detail = "directory " + dir_of(c.path) + " does not exist: run 'telmor-vaq init --role " + role + "'";
    } else if (!unsafe.empty()) {
        c.state = "unsafe";
        c.detail = copy_refusal(c.path, role);
    } else if (const std::string io = explain_io(c.path, true); !io.empty()) {
        c.state = f.exists ? "damaged" : "missing";
        c.detail = io;
    } else if (!f.exists) {
        c.state = "missing";
        c.detail = last_open_cause() == OpenCause::NoKeystore
                       ? "no keystore yet: run 'telmor-vaq init --role " + role + "'"
                       : "run 'telmor-vaq check --repair --role " + role + "'";
    } else {
        c.state = "damaged";
        c.detail = "run 'telmor-vaq check --repair --role " + role + "'";
    }
}

// Each copy as the library's load found it, and what it or --repair wrote.
void tell_copies(KeystoreReport &report, const VaqPrivLoadFindings &f, const std::string &role) {
    for (int i = 0; i < 2; ++i) {
        CopyReport &c = report.copies[i];
        c.was = problem_of(f, i);
        if (c.was.empty()) {
            c.state = "good";
            continue;
        }
        const bool rewritable = f.loaded >= 0 && f.loaded != i && c.was != "unreadable" && c.was != "newer format" &&
                                file_facts(dir_of(c.path)).exists;
        if (!rewritable) {
            explain_bad(c, role);
            continue;
        }
        c.source = f.loaded == 0 ? "primary" : "standby";
        std::string was = c.was;
        if (c.was == "out of date")
            was += " (generation " + std::to_string(f.generation[i]) + ", the " + c.source + " copy's " +
                   std::to_string(f.generation[f.loaded]) + ")";
        if (f.found[i] & VAQ_PRIV_FOUND_REWRITTEN) {
            c.rewritten = true;
            c.state = c.was == "missing" || c.was == "empty" ? "recreated" : "repaired";
            c.detail = "was " + was + ": rewritten from the " + c.source + " copy";
        } else if (const std::string io = explain_io(c.path, true); !io.empty()) {
            c.state = c.was;
            c.writable = false;
            c.detail = "was " + was + "; it cannot be rewritten from the " + c.source + " copy: " + io;
        } else {
            c.state = c.was;
            c.detail = "was " + was + "; the " + c.source + " copy is good: 'telmor-vaq check --repair --role " + role +
                       "' rewrites it from the " + c.source + " copy (as does the next process that opens the keystore)";
        }
    }
}

Json to_wire(const KeystoreReport &r) {
    Json j;
    j["copies"] = Json::array();
    for (const CopyReport &c : r.copies) {
        j["copies"].push_back({{"path", c.path},
                               {"found", c.found},
                               {"state", c.state},
                               {"detail", c.detail},
                               {"was", c.was},
                               {"source", c.source},
                               {"rewritten", c.rewritten},
                               {"writable", c.writable}});
    }
    j["masterKeys"] = r.masterKeys ? Json(*r.masterKeys) : Json(nullptr);
    j["openFailure"] = r.openFailure ? Json(*r.openFailure) : Json(nullptr);
    j["openCode"] = r.openCode ? Json(*r.openCode) : Json(nullptr);
    j["changeWithheld"] = r.changeWithheld;
    j["noKeystore"] = r.noKeystore;
    j["protectorText"] = r.protectorText;
    j["protector"] = r.protector;
    return j;
}

KeystoreReport from_wire(const Json &j, const Role &role) {
    KeystoreReport r;
    for (size_t i = 0; i < 2; ++i) {
        const Json &c = j.at("copies").at(i);
        CopyReport copy{i == 0 ? "primary" : "standby", c.at("path"), c.at("found"), c.at("state"), c.at("detail"),
                        {}, c.at("was"), c.at("source"), c.at("rewritten")};
        copy.writable = c.at("writable");
        copy.facts = file_facts(copy.path);
        // The remedy for a refused copy is the one this user can carry out.
        if (copy.state == "unsafe") {
            if (std::string why = copy_refusal(copy.path, role.name); !why.empty()) copy.detail = std::move(why);
        }
        r.copies.push_back(std::move(copy));
    }
    if (!j.at("masterKeys").is_null()) r.masterKeys = j.at("masterKeys").get<int32_t>();
    if (!j.at("openFailure").is_null()) r.openFailure = j.at("openFailure").get<std::string>();
    if (!j.at("openCode").is_null()) r.openCode = j.at("openCode").get<unsigned long>();
    r.changeWithheld = j.at("changeWithheld");
    r.noKeystore = j.at("noKeystore");
    r.protectorText = j.at("protectorText");
    r.protector = j.at("protector");
    return r;
}

}  // namespace

KeystoreReport examine_keystore(const Role &role, bool repair, const std::function<void(KeystoreReport &)> &whileOpen) {
    KeystoreReport report;
    report.copies = {{"primary", role.primary, "", "", "", {}, {}, {}, false},
                     {"standby", role.standby, "", "", "", {}, {}, {}, false}};
    for (CopyReport &c : report.copies) c.found = found_state(c.path);
    // A repair never makes a keystore: with none there, it is init's to make.
    if (repair) {
        KeystoreReport look = examine_keystore(role, false);
        if (look.noKeystore) return look;
    }
    auto inspectOnly = private_entry<void (*)(uint32_t)>("VaqPrivSetInspectOnly");
    if (!repair) {
        if (inspectOnly == nullptr || private_entry<void *>("VaqPrivLastLoadFindings") == nullptr) {
            report.openFailure =
                "the key library in use cannot open a keystore without writing to it (VaqPrivSetInspectOnly "
                "missing): it is not ours, or older; nothing was opened";
            for (CopyReport &c : report.copies) {
                c.state = "not checked";
                c.detail = "the keystore was not opened (see below)";
                c.facts = file_facts(c.path);
            }
            return report;
        }
        inspectOnly(1);
        telmor_vaq_look_only(1);
    }
    try {
        Session s(role.name);
        if (repair) {
            uint32_t bits = 0;
            require(TELMOR_VAQ_CheckKeyStore(0, &bits), "checking the keystore copies", {role.name, {}, {}, {}});
            if (bits != 3) {
                uint32_t ignored = 0;
                TELMOR_VAQ_CheckKeyStore(1, &ignored);
            }
        }
        int32_t keys = 0;
        if (TELMOR_VAQ_GetMkNum(&keys) == 0) report.masterKeys = keys;
        const std::optional<VaqPrivLoadFindings> findings = last_findings();
        if (findings) {
            tell_copies(report, *findings, role.name);
            report.changeWithheld = (findings->flags & VAQ_PRIV_LOAD_CHANGE_WITHHELD) != 0;
        } else {
            // A key library without findings: what CheckKeyStore tells.
            uint32_t bits = 0;
            require(TELMOR_VAQ_CheckKeyStore(0, &bits), "checking the keystore copies", {role.name, {}, {}, {}});
            for (int i = 0; i < 2; ++i) {
                if (bits & (1u << i))
                    report.copies[i].state = "good";
                else
                    explain_bad(report.copies[i], role.name);
            }
        }
        if (whileOpen) whileOpen(report);
    } catch (const Failure &f) {
        report.openFailure = f.reason;
        report.openCode = f.code;
        const std::optional<VaqPrivLoadFindings> found = last_findings();
        const auto blank = [](uint32_t s) { return s == VAQ_PRIV_COPY_MISSING || s == VAQ_PRIV_COPY_EMPTY; };
        const bool noKeystore = last_open_cause() == OpenCause::NoKeystore ||
                                (found && found->loaded < 0 && blank(found->state[0]) && blank(found->state[1]));
        if (noKeystore) {
            // Nothing to open yet: the remedy is init, whatever code said so.
            report.openFailure = std::string("no keystore for role ") + role.name + ": run 'telmor-vaq init --role " +
                                 role.name + "'";
            report.openCode.reset();
            report.noKeystore = true;
        }
        const OpenCause why = last_open_cause();
        for (CopyReport &c : report.copies) {
            if (noKeystore) {
                c.state = c.found == "empty" ? "empty" : "missing";
                c.detail = "no keystore yet: run 'telmor-vaq init --role " + std::string(role.name) + "'";
            } else if (why == OpenCause::Damaged && c.found == "present") {
                c.state = "damaged";
                c.detail = "does not verify, and no good copy is left to repair it from";
            } else if (why == OpenCause::Damaged || why == OpenCause::Unsafe) {
                explain_bad(c, role.name);
            } else {
                c.state = "not checked";
                c.detail = "the keystore could not be opened (see below)";
            }
        }
    }
    if (!repair) inspectOnly(0);
    // A copy the library refuses is never a good copy, whatever was read through it.
    for (CopyReport &c : report.copies) {
        c.facts = file_facts(c.path);
        if (std::string why = copy_refusal(c.path, role.name); !why.empty()) {
            c.state = "unsafe";
            c.detail = std::move(why);
            c.source.clear();
        }
    }
    return report;
}

KeystoreReport examine_as_owner(const Role &role, const std::function<void(KeystoreReport &)> &whileOpen) {
    const std::string wire =
        as_keystore_owner(role, [&] { return to_wire(examine_keystore(role, false, whileOpen)).dump(); });
    return from_wire(Json::parse(wire), role);
}

}  // namespace cli
