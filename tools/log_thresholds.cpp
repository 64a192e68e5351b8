// SPDX-License-Identifier: Apache-2.0
// How much the tool's own process writes to the role's log. The tool is a
// host like any other and may set the library's thresholds: what changes the
// keystore or lets keys leave it is logged at INFO, for the record; what only
// reads or uses keys logs warnings and errors only, so that looking at a
// node does not fill its log.

#include "command_table.h"
#include "telmor_vaq_api.h"

namespace cli {

namespace {

// Commands that neither change the keystore nor write keys out. encrypt,
// decrypt, rewrap and inspect use keys but change nothing; check changes
// copies only with --repair. Any command not named here (a new one
// included) counts as a change.
bool only_reads(const Options &opt) {
    for (const char *name : {"keys", "domains", "root-key", "status", "inspect", "encrypt", "decrypt", "rewrap"}) {
        if (opt.command == name) return true;
    }
    return opt.command == "check" && !opt.repair;
}

}  // namespace

void set_log_thresholds(const Options &opt) {
    constexpr int kInfo = 0, kWarn = 1;
    const int level = only_reads(opt) ? kWarn : kInfo;
    g_api_log_level = static_cast<uint32_t>(level);
    g_vaq_log_level = level;
}

}  // namespace cli
