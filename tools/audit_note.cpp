// SPDX-License-Identifier: Apache-2.0
#include "audit_note.h"

#include <dlfcn.h>

#include <set>

#include "causes.h"
#include "file_safety.h"
#include "session.h"

namespace cli {

namespace {

using NoteFn = uint32_t (*)(const char *op, int64_t domain, const uint32_t *keys, uint32_t keyCount, const char *file,
                            uint32_t result, const char *detail, uint32_t *recorded);

// The commands that change keys or hand them out.
const std::set<std::string> kChanging = {"create-key", "register-key", "activate-key", "delete-key", "rotate-root-key",
                                         "export",     "import",       "join",         "protect",    "init"};

}  // namespace

bool audit_note(const AuditNote &note, std::string &why) {
    // Looked up at run time: a vendor key library keeps no trail.
    auto fn = reinterpret_cast<NoteFn>(dlsym(RTLD_DEFAULT, "VaqPrivAuditNote"));
    if (fn == nullptr) return true;
    uint32_t recorded = 0;
    const uint32_t rc =
        fn(note.op.c_str(), note.domain ? static_cast<int64_t>(*note.domain) : -1, note.keys.data(),
           static_cast<uint32_t>(note.keys.size()), note.file.empty() ? nullptr : note.file.c_str(),
           static_cast<uint32_t>(note.result), note.detail.empty() ? nullptr : note.detail.c_str(), &recorded);
    if (rc == 0) return true;
    why = cause(rc, {}) + " (code " + std::to_string(rc) + ")";
    return false;
}

void audit_tool_refusal(const Options &opt, const std::string &reason) {
    if (!kChanging.count(opt.command)) return;
    const Role *r = find_role(opt.role);
    // Never a keystore made only to record that nothing was done.
    if (r == nullptr || (!file_facts(r->primary).exists && !file_facts(r->standby).exists)) return;
    try {
        Session s(opt.role);
        AuditNote note{opt.command, opt.domain, {}, opt.file, 1, reason};
        if (opt.keyId) note.keys.push_back(*opt.keyId);
        if (note.file.empty() && !opt.args.empty()) note.file = opt.args[0];
        std::string why;
        audit_note(note, why);
    } catch (...) {
        // The refusal stands as told; its record is best effort.
    }
}

}  // namespace cli
