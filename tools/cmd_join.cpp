// SPDX-License-Identifier: Apache-2.0
// join: a node takes every key of an export and the exporter's active key of
// each domain, so it shares every domain with the fleet in one command.
#include "arrival.h"
#include "command_table.h"

namespace cli {

namespace {

// One keystore change, so a crash leaves the node as it was or joined, never
// half-way.
int cmd_join(const Options &opt) { return arrive(opt, Arrive::Join); }

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
     "2044) with nothing changed.\n"
     "Nothing goes back in time unasked: a domain whose last key change here is newer than FILE is left as\n"
     "it was, no key older than a domain's active key is made active, and a key deleted on this node is\n"
     "not added back (each is said, with the option that does it: --allow-older, --restore KEY_ID). A FILE\n"
     "with a key that is expired, weak, of the wrong length, dated in the future or of a domain this node\n"
     "lacks, or with two active keys in one domain, is refused whole (codes 2047 to 2052).",
     {Opt::Role, Opt::PasswordFd, Opt::NoNotify, Opt::Restore, Opt::AllowOlder},
     {{"FILE", "the export file of a fleet node", true, false}},
     {{"join /root/fleet-2026-12.vaqx --password-fd 3 3<pw.txt", "share the fleet's keys and active keys"},
      {"join /root/fleet-2026-12.vaqx", "the same from an export sealed to the fleet's token key"}},
     cmd_join});

}  // namespace

}  // namespace cli
