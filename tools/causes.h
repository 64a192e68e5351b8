/* SPDX-License-Identifier: Apache-2.0 */
// The table of causes: every code the library and the key libraries answer,
// and every failure the tool finds itself, as a sentence naming the cause and
// the remedy. docs/keystore-format.md carries the same table.
#ifndef TELMOR_VAQ_TOOL_CAUSES_H
#define TELMOR_VAQ_TOOL_CAUSES_H

#include <cstdint>
#include <optional>
#include <string>

#include "cli.h"

namespace cli {

// What the sentence may name. Unset fields leave their words out.
struct Context {
    std::string role;
    std::optional<uint32_t> domain;
    std::optional<uint32_t> keyId;
    std::string file;
};

// The sentence for `code` in `ctx`; "key library code N" for a code no table
// row names (a newer key library).
std::string cause(unsigned long code, const Context &ctx);

// The table as Markdown rows (placeholders as DOMAIN, KEY, FILE, ROLE), for
// docs/keystore-format.md, which a test keeps equal to it.
std::string causes_markdown();

// A failure for `code`: `what` ("creating a master key in domain 50") then
// the cause. Code 2007 is looked into further (see explain_io).
Failure failed(unsigned long code, const std::string &what, const Context &ctx);
// Throws failed(...) unless code is 0.
void require(unsigned long code, const std::string &what, const Context &ctx);

// As require, for a call that changes the keystore: on a read or write
// failure the sentence names what the file system shows (no space, read-only,
// missing directory) and says the change may have been made.
void require_change(unsigned long code, const std::string &what, const Context &ctx);

// Why reading or writing `paths` fails, from the file system itself: a
// missing file or directory, a read-only file system, no space left, no
// permission; "" when none of these is found.
std::string explain_io(const std::string &path, bool writing);

// The first place on the way to `path` that this process may not pass: a
// directory it may not search, or the file itself it may not read (or write),
// as a sentence naming the path, its mode and owner, and the errno; "" when
// nothing on the way refuses it (or it does not exist).
std::string permission_on_way(const std::string &path, bool writing = false);

// What to tell after a keystore change failed on a read or write: the change
// may have been made all the same, and how to see.
std::string change_may_have_been_made(const Context &ctx);

}  // namespace cli

#endif
