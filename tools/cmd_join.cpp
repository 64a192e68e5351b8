// SPDX-License-Identifier: Apache-2.0
// join: a node takes every key of an export and the exporter's active key of
// each domain, so it shares every domain with the fleet in one command.
#include <dlfcn.h>

#include <cstdio>
#include <string>

#include "causes.h"
#include "command_table.h"
#include "export_header.h"
#include "file_safety.h"
#include "secret_io.h"
#include "session.h"
#include "telmor_vaq_api.h"

namespace cli {

namespace {

// The key library's private join entry (src/vaq/vaq_private.h): one keystore
// change, so a crash leaves the node as it was or joined, never half-way.
using JoinFn = uint32_t (*)(const char *file, const unsigned char *password, uint32_t passwordLen, uint32_t *added,
                            uint32_t *activated, uint32_t *marked);

int cmd_join(const Options &opt) {
    const std::string &file = opt.args.at(0);
    const Context ctx{opt.role, {}, {}, file};
    if (!file_facts(file).exists) {
        const std::string why = explain_io(file, false);
        throw tool_failure("cannot join from " + file + ": " + (why.empty() ? "it does not exist" : why));
    }
    Session s(opt.role);
    // Looked up at run time: a vendor key library has no such entry.
    auto join = reinterpret_cast<JoinFn>(dlsym(RTLD_DEFAULT, "VaqPrivJoinMkFile"));
    if (join == nullptr) {
        throw tool_failure(
            "the key library in use cannot join (VaqPrivJoinMkFile missing): it is not ours, or older; use "
            "'telmor-vaq import' and 'telmor-vaq activate-key' for each domain");
    }
    const std::optional<ExportHeader> header = read_export_header(file);
    SecretBuffer pw = export_password(opt, header, file);
    uint32_t added = 0, activated = 0, marked = 0;
    const unsigned long rc =
        join(file.c_str(), pw.data(), static_cast<uint32_t>(pw.size()), &added, &activated, &marked);
    pw.clear();
    if (rc == 2007) {
        const std::string why = explain_io(file, false);
        if (!why.empty()) throw Failure{rc, "joining from " + file + ": " + why};
    }
    require_export_key(rc, "joining from " + file, ctx, header);
    require_change(rc, "joining from " + file, ctx);
    if (marked == 0) {
        throw tool_failure(file + " records no active key, so the fleet's active keys cannot be told from it; "
                           "nothing was changed: import it ('telmor-vaq import') and activate the fleet's key of "
                           "each domain ('telmor-vaq activate-key')");
    }
    if (opt.notify) TELMOR_update_shm();
    std::printf("joined from %s: %u keys added, %u domains switched to the export's active key (%u already used it)\n",
                file.c_str(), added, activated, marked - activated);
    return 0;
}

const CommandRegistrar kJoin(
    {"join",
     "Transfer",
     32,
     "take every key of an export file and its active key of each domain",
     "Makes this node share every key domain with the node an export file was made on, in one keystore\n"
     "change: the keys of FILE that this keystore lacks are added, and in each domain the key FILE records\n"
     "as active becomes the active key here. The node's own earlier keys stay, inactive, so texts made\n"
     "under them still decrypt. A key id present here with other material refuses the whole join. For a\n"
     "new node of a fleet: 'init', then 'join' an export of a fleet node. A FILE sealed to a token key\n"
     "(export --wrap-with) needs no password: the node opens it through that key, or is refused (code\n"
     "2044) with nothing changed.",
     {Opt::Role, Opt::PasswordFd, Opt::NoNotify},
     {{"FILE", "the export file of a fleet node", true, false}},
     {{"join /root/fleet-2026-12.vaqx --password-fd 3 3<pw.txt", "share the fleet's keys and active keys"},
      {"join /root/fleet-2026-12.vaqx", "the same from an export sealed to the fleet's token key"}},
     cmd_join});

}  // namespace

}  // namespace cli
