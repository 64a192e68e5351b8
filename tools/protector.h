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
#include <vector>

#include <nlohmann/json.hpp>

#include "cli.h"

namespace cli {

// Checks --with/--protector and --pcrs together; a UsageError if they do
// not go together.
void check_protector_options(const Options &opt);
// As root, makes what is missing of /etc/telmor (0755) and /etc/telmor/vaq
// (0700), root's, and hands vaq to whoever owns the role's keystore directory
// (the service account makes its secret at its first start). Every step works
// on a descriptor opened without following a link; a directory the key
// library would not trust is refused with its remedy, and left as it is.
void make_secret_dir(const Options &opt);
// What the key library would refuse in the node-secret directories, with the
// remedy: for init, status and check.
std::vector<std::string> secret_dir_warnings(const Role &r);
// What the open keystore's owner could not use: a pkcs11 PIN file of root's
// on a keystore another account owns. For status.
std::vector<std::string> pin_file_warnings(const Role &r);
// Moves the open keystore to opt.protector (bound to opt.pcrs). As root, on
// a keystore another account owns, a pkcs11 PIN file of root's is given to
// that account (a line says so).
void move_to_protector(const Options &opt);
// The open keystore's protector: status lines, or a JSON value.
std::string protector_lines();
nlohmann::ordered_json protector_json();

// "0,7,16-18" as a mask of PCRs 0 to 23; a UsageError on anything else.
uint32_t parse_pcrs(const std::string &list);

}  // namespace cli

#endif
