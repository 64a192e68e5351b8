/* SPDX-License-Identifier: Apache-2.0 */
// The keystore's root protector as the tool sees it: moving a keystore to a
// protector, and the protector's lines in status. The key library's protector entries are private to it and
// are looked up at run time, so a key library without them (a vendor build)
// is reported, never crashed on.
#ifndef TELMOR_VAQ_TOOL_PROTECTOR_H
#define TELMOR_VAQ_TOOL_PROTECTOR_H

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli.h"

namespace cli {

// Checks --with/--protector and --pcrs together; a UsageError if they do
// not go together.
void check_protector_options(const Options &opt);
// What the key library would refuse in the node-secret directories, with the
// remedy: for init, status and check.
std::vector<std::string> secret_dir_warnings(const Role &r);
// The PIN file the open keystore's pkcs11 protector names, or "".
std::string protector_pin_file();
// Moves the open keystore to opt.protector (bound to opt.pcrs). As root, a
// pkcs11 URI whose PIN file is not in the role's own secret directory gets
// one there: root reads the PIN and writes the role its own file, made for the
// keystore's owner (a line says so), and the keystore records that file.
void move_to_protector(const Options &opt);
// Why the library refuses a token key's URI as written (a PIN in it, an
// attribute it does not take, for an export a pin-source that is not a PIN
// file), or "" when it takes the URI's form or cannot tell.
std::string token_uri_refusal(const std::string &uri, bool forExport);
// The open keystore's protector: status lines, or a JSON value.
std::string protector_lines();
nlohmann::ordered_json protector_json();

// "0,7,16-18" as a mask of PCRs 0 to 23; a UsageError on anything else.
uint32_t parse_pcrs(const std::string &list);

}  // namespace cli

#endif
