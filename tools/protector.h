/* SPDX-License-Identifier: Apache-2.0 */
// The keystore's root protector as the tool sees it: moving a keystore to a
// protector, making the node-secret directory for init, and the protector's
// lines in status. The key library's protector entries are private to it and
// are looked up at run time, so a key library without them (a vendor build)
// is reported, never crashed on.
#ifndef TELMOR_VAQ_TOOL_PROTECTOR_H
#define TELMOR_VAQ_TOOL_PROTECTOR_H

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "cli.h"

namespace cli {

// Checks --with/--protector and --pcrs together; a UsageError if they do
// not go together.
void check_protector_options(const Options &opt);
// As root, makes /etc/telmor/vaq for the node secrets, owned by whoever owns
// the role's keystore directory (the service account makes its secret at its
// first start).
void make_secret_dir(const Options &opt);
// Moves the open keystore to opt.protector (bound to opt.pcrs).
void move_to_protector(const Options &opt);
// The open keystore's protector: status lines, or a JSON value.
std::string protector_lines();
nlohmann::ordered_json protector_json();

// "0,7,16-18" as a mask of PCRs 0 to 23; a UsageError on anything else.
uint32_t parse_pcrs(const std::string &list);

}  // namespace cli

#endif
