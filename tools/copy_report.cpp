// SPDX-License-Identifier: Apache-2.0
#include "copy_report.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "causes.h"
#include "secret_io.h"
#include "session.h"
#include "telmor_vaq_api.h"

namespace cli {

namespace {

std::string dir_of(const std::string &path) { return path.substr(0, path.rfind('/')); }

// The copy's bytes, for telling afterwards whether opening rewrote it.
SecretBuffer image_of(const std::string &path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return {};
    SecretBuffer image;
    try {
        image = read_all_secret(fd, size_t{64} << 20);
    } catch (const Failure &) {}
    close(fd);
    return image;
}

std::string found_state(const std::string &path) {
    const FileFacts f = file_facts(path);
    if (!f.exists) return file_facts(dir_of(path)).exists ? "missing" : "no directory";
    if (!refused_file(path).empty()) return "unsafe";
    return f.size == 0 ? "empty" : "present";
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

}  // namespace

KeystoreReport examine_keystore(const Role &role, bool repair) {
    KeystoreReport report;
    report.copies = {{"primary", role.primary, "", "", "", {}}, {"standby", role.standby, "", "", "", {}}};
    SecretBuffer before[2];
    for (int i = 0; i < 2; ++i) {
        report.copies[i].found = found_state(report.copies[i].path);
        before[i] = image_of(report.copies[i].path);
    }
    try {
        Session s(role.name);
        uint32_t bits = 0;
        require(TELMOR_VAQ_CheckKeyStore(0, &bits), "checking the keystore copies", {role.name, {}, {}, {}});
        bool repaired = false;
        if (repair && bits != 3) {
            uint32_t ignored = 0;
            TELMOR_VAQ_CheckKeyStore(1, &ignored);
            require(TELMOR_VAQ_CheckKeyStore(0, &bits), "checking the keystore copies", {role.name, {}, {}, {}});
            repaired = true;
        }
        int32_t keys = 0;
        if (TELMOR_VAQ_GetMkNum(&keys) == 0) report.masterKeys = keys;
        for (int i = 0; i < 2; ++i) {
            CopyReport &c = report.copies[i];
            const bool good = bits & (1u << i);
            const SecretBuffer after = image_of(c.path);
            if (!good) {
                explain_bad(c, role.name);
            } else if (c.found == "missing" || c.found == "empty") {
                c.state = "recreated";
                c.detail = std::string("was ") + c.found + ": written from the other copy";
            } else if (!(after == before[i])) {
                c.state = "repaired";
                c.detail = repaired ? "was bad: rewritten from the other copy by --repair"
                                    : "was damaged or out of date: rewritten from the other copy";
            } else {
                c.state = "good";
            }
        }
    } catch (const Failure &f) {
        report.openFailure = f.reason;
        report.openCode = f.code;
        const OpenCause why = last_open_cause();
        for (CopyReport &c : report.copies) {
            if (why == OpenCause::Damaged && c.found == "present") {
                c.state = "damaged";
                c.detail = "does not verify, and no good copy is left to repair it from";
            } else if (why == OpenCause::Damaged || why == OpenCause::Unsafe || why == OpenCause::NoKeystore) {
                explain_bad(c, role.name);
            } else {
                c.state = "not checked";
                c.detail = "the keystore could not be opened (see below)";
            }
        }
    }
    // A copy the library refuses is never a good copy, whatever was read through it.
    for (CopyReport &c : report.copies) {
        c.facts = file_facts(c.path);
        if (std::string why = copy_refusal(c.path, role.name); !why.empty()) {
            c.state = "unsafe";
            c.detail = std::move(why);
        }
    }
    return report;
}

}  // namespace cli
