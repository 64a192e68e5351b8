/* SPDX-License-Identifier: Apache-2.0 */
// The tool's own records in the role's audit trail: what it does beside the
// key library's entries (init) and what it refuses by itself.
#ifndef TELMOR_VAQ_TOOL_AUDIT_NOTE_H
#define TELMOR_VAQ_TOOL_AUDIT_NOTE_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli.h"

namespace cli {

struct AuditNote {
    std::string op;
    std::optional<uint32_t> domain;
    std::vector<uint32_t> keys;
    std::string file;
    unsigned long result = 0;  // the library's code, or 1 for the tool's own refusal
    std::string detail;
};

// Records `note` in the trail of the keystore the running Session loaded.
// False, with why, when it could not be written where the role's audit is
// set up; true also where it is not set up.
bool audit_note(const AuditNote &note, std::string &why);

// After a command that changes keys failed by the tool's own finding (no
// library code): records the refusal in the role's trail, opening the
// keystore for it where one exists. Quiet: the refusal is told already.
void audit_tool_refusal(const Options &opt, const std::string &reason);

// status's warnings from the role's trail: a key past 2^30 encryptions
// summed over the usage records of every process (texts under random nonces
// must stay far below 2^32 per key). None where there is no trail to read.
std::vector<std::string> usage_warnings(const std::string &role);

}  // namespace cli

#endif
