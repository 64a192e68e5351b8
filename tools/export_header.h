/* SPDX-License-Identifier: Apache-2.0 */
// What an export file's header says, read by the tool before the key library
// opens the file: how many keys it declares, and whether it is sealed to a
// token key (then no password is asked). Nothing read here is trusted; the
// key library verifies the whole file.
#ifndef TELMOR_VAQ_TOOL_EXPORT_HEADER_H
#define TELMOR_VAQ_TOOL_EXPORT_HEADER_H

#include <cstdint>
#include <optional>
#include <string>

#include "causes.h"
#include "cli.h"
#include "secret_io.h"

namespace cli {

struct ExportHeader {
    uint32_t keyCount = 0;
    // The URI of the token key the file is sealed to; empty for a password export.
    std::string tokenUri;
    // The header says the file is sealed to a token key, whether or not its
    // URI could be read: such a file is never asked a password for, however
    // damaged, so that the library's verdict on it is what the tool says.
    bool sealedToToken = false;
};

// The header of FILE if it looks like an export file (a regular file, not
// reached through a link).
std::optional<ExportHeader> read_export_header(const std::string &file);

// The password to open FILE with: none for a file sealed to a token key (a
// --password-fd is then left unread, and a note says so), else as
// read_password asks it.
SecretBuffer export_password(const Options &opt, const std::optional<ExportHeader> &header, const std::string &file);

// Throws the failure for a key-library answer about FILE: naming the token
// key it is sealed to when this node cannot use that key (2044), or the file
// as one the library does not read (2027: a link, not regular, another user's).
void require_export_key(unsigned long code, const std::string &what, const Context &ctx,
                        const std::optional<ExportHeader> &header);

}  // namespace cli

#endif
