// SPDX-License-Identifier: Apache-2.0
#include "session.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include "file_safety.h"
#include "node_layout.h"
#include "telmor_vaq_api.h"
#include "telmor_vaq_private.h"

namespace cli {

namespace {

OpenCause g_open_cause = OpenCause::None;

bool is_ipc(const telmor_vaq_failure &f) {
    return f.kind == TELMOR_VAQ_OBJECT_IPC_SEGMENT || f.kind == TELMOR_VAQ_OBJECT_IPC_LOCK;
}

// No node secret could be made: the system's own reason, and the remedy only
// where one exists for this user.
std::string secret_not_created(const telmor_vaq_failure &f, const Context &ctx) {
    if (f.kind != TELMOR_VAQ_OBJECT_FILE || f.error == 0) return cause(2030, ctx);
    std::string s = "no node secret could be created: " + std::string(f.object) + ": " + f.reason;
    if (f.error == ENOSPC) return s + ": free some space, then try again";
    if (geteuid() != 0 && (f.error == ENOENT || f.error == EACCES))
        return s + ": root runs 'telmor-vaq init --role " + ctx.role + "' once to make its directory";
    return s;
}

// The places where the role's node secret may be: its own directory, and
// the flat place of a node not yet moved to per-role directories.
std::vector<std::string> secret_places(const Role &r) {
    const std::string role = r.name;
    const std::string stem = role == "HXA" ? "agent" : role == "HXM" ? "tools" : "client";
    const std::string dir = node_layout::kNodeSecretDir;
    return {dir + "/" + stem + "/" + stem + ".secret", dir + "/" + stem + ".secret"};
}

// An account that may not pass a directory or read a file the keystore
// needs is told so, with the path and the errno: the codes the library
// answers then (no keystore, secret missing, no token) name another cause.
std::optional<std::string> permission_cause(const Role &r, const telmor_vaq_failure *last) {
    if (last != nullptr && (last->kind == TELMOR_VAQ_OBJECT_FILE || last->kind == TELMOR_VAQ_OBJECT_DIRECTORY) &&
        (last->error == EACCES || last->error == EPERM)) {
        if (std::string way = permission_on_way(last->object); !way.empty()) return way;
        return std::string(last->object) + ": " + std::strerror(last->error) + " (errno " +
               std::to_string(last->error) + ")";
    }
    std::vector<std::string> places = {r.primary, r.standby};
    for (std::string &p : secret_places(r)) places.push_back(std::move(p));
    for (const std::string &p : places) {
        if (std::string way = permission_on_way(p); !way.empty()) return way;
    }
    return std::nullopt;
}

// The cause of a failed initialisation, as the library recorded it for this
// thread: the object it refused and why, or the key library's code.
Failure open_failure(unsigned long rc, const Role &r) {
    const std::string role = r.name;
    const std::string what = "cannot open the keystore of role " + role;
    Context ctx{role, {}, {}, {}};
    g_open_cause = OpenCause::Other;
    if (rc == 11) {
        // Neither copy could be looked at: missing, or out of this account's reach.
        if (const std::optional<std::string> denied = permission_cause(r, nullptr)) {
            g_open_cause = OpenCause::Access;
            return Failure{std::nullopt, what + ": " + *denied};
        }
        g_open_cause = OpenCause::NoKeystore;
        return failed(rc, what, ctx);
    }
    if (rc != 1) return failed(rc, what, ctx);
    telmor_vaq_failure last{};
    telmor_vaq_last_failure(&last);
    if (!is_ipc(last)) {
        if (const std::optional<std::string> denied = permission_cause(r, &last)) {
            g_open_cause = OpenCause::Access;
            return Failure{std::nullopt, what + ": " + *denied};
        }
    }
    if (is_ipc(last)) {
        g_open_cause = OpenCause::Access;
        std::string s = ipc_refusal_sentence();
        if (s.empty()) {
            char key[16];
            std::snprintf(key, sizeof key, "%#x", static_cast<unsigned>(last.ipc_key));
            s = std::string("the node-wide ") +
                (last.kind == TELMOR_VAQ_OBJECT_IPC_SEGMENT ? "version segment" : "process lock") + " " + key +
                " is not usable: " + last.reason +
                "; where the roles run under different accounts, root names a group for them: 'telmor-vaq init "
                "--role " + role + " --group GROUP' (the role's log names the accounts)";
        }
        return Failure{rc, what + ": " + s};
    }
    const unsigned long code = last.code;
    switch (code) {
        case 0:
            return failed(rc, what, ctx);
        case 2027: {
            g_open_cause = OpenCause::Unsafe;
            std::string copies;
            for (const char *path : {r.primary, r.standby}) {
                for (const std::string &w : copy_warnings(path, role)) copies += (copies.empty() ? "" : "; ") + w;
            }
            if (copies.empty()) return failed(code, what, ctx);
            return Failure{code, what + ": no keystore copy can be used, and the files are left as they are: " + copies};
        }
        case 2008: {
            g_open_cause = OpenCause::Damaged;
            const bool both = file_facts(r.primary).size > 0 && file_facts(r.standby).size > 0;
            if (both) return failed(code, what, ctx);
            return Failure{code, what +
                                     ": the only copy does not verify (damaged or altered) and is left as it is: "
                                     "restore it from a backup (see docs/operations.md)"};
        }
        case 2009:
            g_open_cause = OpenCause::NewerFormat;
            return failed(code, what, ctx);
        case 2030:
            return Failure{code, what + ": " + secret_not_created(last, ctx)};
        case 2028:
            // A secret that is there but was not read is not a lost one:
            // moving the keystore aside would throw away a working keystore.
            for (const std::string &p : secret_places(r)) {
                if (file_facts(p).exists)
                    return Failure{code, what + ": the node secret " + p +
                                             " is there, but this process (uid " + std::to_string(geteuid()) +
                                             ") could not read it: the role's log names why; leave the keystore as "
                                             "it is"};
            }
            return failed(code, what, ctx);
        case 2007:
        case 2040:
            for (const char *path : {r.primary, r.standby}) {
                if (const std::string io = explain_io(path, code == 2040); !io.empty() && file_facts(path).exists) {
                    g_open_cause = OpenCause::Access;
                    return Failure{code, what + ": " + io};
                }
            }
            if (last.kind == TELMOR_VAQ_OBJECT_FILE && last.error != 0) {
                g_open_cause = OpenCause::Access;
                return Failure{code, what + ": " + std::string(last.object) + ": " + last.reason};
            }
            ctx.file = r.primary;
            return failed(code, what, ctx);
        default:
            return failed(code, what, ctx);
    }
}

}  // namespace

OpenCause last_open_cause() { return g_open_cause; }

Session::Session(const std::string &role) {
    const Role &r = need_role(role);
    g_open_cause = OpenCause::None;
    const unsigned long rc = TELMOR_VAQ_Initialize(role.c_str());
    if (rc == 0) return;
    throw open_failure(rc, r);
}

Session::~Session() { TELMOR_VAQ_Finalize(); }

}  // namespace cli
