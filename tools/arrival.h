/* SPDX-License-Identifier: Apache-2.0 */
// import and join, through the key library's private entry that reports what
// it took, what it left out and why (a key deleted here, a domain changed
// here since the file was made), and that takes the operator's --restore and
// --allow-older.
#ifndef TELMOR_VAQ_TOOL_ARRIVAL_H
#define TELMOR_VAQ_TOOL_ARRIVAL_H

#include <cstdint>
#include <string>

#include "cli.h"

namespace cli {

enum class Arrive { Import, Join };

// Imports or joins opt.args[0] for opt.role, printing what was done; throws a
// Failure naming the refusal (with nothing changed) otherwise.
int arrive(const Options &opt, Arrive how);

}  // namespace cli

#endif
