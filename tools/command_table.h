/* SPDX-License-Identifier: Apache-2.0 */
// The command table: every command with its options, help text and examples.
// The parser, `help`, and the man page are all built from it. A command joins
// from its own file with a static CommandRegistrar.
#ifndef TELMOR_VAQ_TOOL_COMMAND_TABLE_H
#define TELMOR_VAQ_TOOL_COMMAND_TABLE_H

#include <string>
#include <vector>

#include "cli.h"

namespace cli {

// The options a command can take; each has one description (option_help).
enum class Opt {
    Role,
    Domain,        // --domain ID, required
    DomainFilter,  // --domain ID, optional
    KeyId,         // --key-id ID, required
    KeyIdFilter,   // --key-id ID, optional
    File,          // --file FILE
    PasswordFd,    // --password-fd N
    WrapWith,      // --wrap-with URI
    Json,
    Repair,
    NoNotify,
    Inactive,
    Force,
    Yes,
    Raw,
    Report,
    With,          // --with file|tpm2|pkcs11, required
    Protector,     // --protector file|tpm2|pkcs11, optional
    Pcrs,          // --pcrs LIST
    Key,           // --key URI (pkcs11)
    Owner,         // --owner ACCOUNT[:GROUP]
    Group,         // --group GROUP
    Restore,       // --restore KEY_ID, repeatable
    AllowOlder,
    AuditKey,      // --key KEY: the audit trail's verification key
    Since,         // --since TIME
    Usage,         // --usage
    EpochRecords,  // --epoch-records N
    EpochSeconds,  // --epoch-seconds N
    Endpoints,     // --endpoints URL[,URL...]
    Ca,            // --ca FILE
    Cert,          // --cert FILE
    CertKey,       // --cert-key FILE
    User,          // --user NAME
    PasswordFile,  // --password-file FILE
    TokenKey,      // --token-key URI
    Prefix,        // --prefix PREFIX
    Node,          // --node NAME
};

struct Positional {
    const char *name;  // "FILE", "TEXT", ...
    const char *help;
    bool required;
    bool many;
};

struct Example {
    const char *command;  // after "telmor-vaq "
    const char *comment;
};

struct Command {
    const char *name;
    const char *section;  // groups commands in the help and the man page
    int order;            // place in the listing
    const char *summary;
    const char *description;
    std::vector<Opt> options;
    std::vector<Positional> positionals;
    std::vector<Example> examples;
    int (*run)(const Options &);
};

std::vector<Command> &command_table();

struct CommandRegistrar {
    explicit CommandRegistrar(Command c) { command_table().push_back(std::move(c)); }
};

// Sets the library's log thresholds for the command about to run.
void set_log_thresholds(const Options &opt);

// Runs the tool: parses argv against the table and runs the command.
// Returns the exit status: 0, 1 for a failure, 2 for a usage error.
int run_tool(int argc, char **argv);

}  // namespace cli

#endif
