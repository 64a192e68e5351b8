/* SPDX-License-Identifier: Apache-2.0 */
// One initialisation of the library for the life of a command; a failure to
// open the keystore names its cause.
#ifndef TELMOR_VAQ_TOOL_SESSION_H
#define TELMOR_VAQ_TOOL_SESSION_H

#include <string>

#include "causes.h"
#include "cli.h"
#include "inventory.h"
#include "text_header.h"

namespace cli {

// Why the last Session could not open the keystore.
enum class OpenCause { None, NoKeystore, Damaged, NewerFormat, Unsafe, Access, Other };
OpenCause last_open_cause();

class Session {
public:
    // Opens the role's keystore; a failure names its cause from the files.
    explicit Session(const std::string &role);
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
};

}  // namespace cli

#endif
