// telmor-vaq commands for the keystore's root protector: `protect`, `init`
// with a chosen protector, and the protector lines of `status`. The key
// library's protector entries are private to it (vaq_private.h) and are looked
// up at run time, so a key library without them is reported, not crashed on.
#ifndef TELMOR_VAQ_TOOL_PROTECT_COMMANDS_H
#define TELMOR_VAQ_TOOL_PROTECT_COMMANDS_H

#include <cstdint>
#include <string>

#include "cli.h"

namespace cli {

// protect --with file|tpm2 [--pcrs LIST] [--role ROLE] [--no-notify]
int cmd_protect(const Options &opt);
// init [--protector file|tpm2] [--pcrs LIST]: makes the node-secret directory
// (as root: owned by the keystore directory's owner), runs init, then moves
// the new keystore to the chosen protector.
int cmd_init_with_protector(const Options &opt);

// The loaded keystore's protector for `status`: lines for a terminal, or a
// JSON value. Call with the library initialised.
std::string protector_status(bool json);

// "0,7,16-18" as a mask of PCRs 0 to 23; throws Failure on anything else.
uint32_t parse_pcrs(const std::string &list);

}  // namespace cli

#endif
