/* SPDX-License-Identifier: Apache-2.0 */
// telmor-vaq: the operator's command-line tool. Built on the public header
// only, like any other host of the library.
#ifndef TELMOR_VAQ_TOOL_CLI_H
#define TELMOR_VAQ_TOOL_CLI_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cli {

// The parsed command line. Only the options the command declares can be set.
struct Options {
    std::string command;
    std::string role = "HXA";
    bool json = false;
    bool repair = false;
    bool notify = true;
    bool inactive = false;
    bool force = false;
    bool yes = false;
    bool raw = false;
    bool report = false;
    std::optional<uint32_t> domain;
    std::optional<uint32_t> keyId;
    std::string file;               // --file
    std::string protector;          // --with or --protector: "file", "tpm2" or "pkcs11"
    std::string pcrs;               // --pcrs
    std::string key;                // --key: the pkcs11 protector's token key URI
    int passwordFd = -1;            // --password-fd
    std::string wrapWith;           // --wrap-with: the token key an export is sealed to
    std::string owner;              // --owner ACCOUNT[:GROUP]
    std::string group;              // --group GROUP
    std::vector<uint32_t> restore;  // --restore KEY_ID: keys deleted here that an import or join may bring back
    bool allowOlder = false;        // --allow-older
    std::string since;              // --since TIME
    bool usage = false;             // --usage
    std::string epochRecords;       // --epoch-records N
    std::string epochSeconds;       // --epoch-seconds N
    // fleet init: how this node reaches the fleet's etcd
    std::vector<std::string> endpoints;  // --endpoints URL[,URL...]
    std::string caFile;                  // --ca FILE
    std::string certFile;                // --cert FILE
    std::string certKeyFile;             // --cert-key FILE
    std::string etcdUser;                // --user NAME
    std::string passwordFile;            // --password-file FILE
    std::string tokenKey;                // --token-key URI
    std::string prefix;                  // --prefix PREFIX
    std::string node;                    // --node NAME
    std::vector<std::string> args;  // positional arguments
};

// A failure to report: one line on stderr, exit status 1. `code` is what the
// library answered, or nothing when the tool itself found the fault.
struct Failure {
    std::optional<unsigned long> code;
    std::string reason;
};

// A command line the tool cannot run: exit status 2 with a hint.
struct UsageError {
    std::string reason;
};

inline Failure tool_failure(std::string reason) { return Failure{std::nullopt, std::move(reason)}; }

struct Role {
    const char *name;
    const char *primary;
    const char *standby;
    const char *logDir;
    const char *logPrefix;  // the log file is logDir/logPrefix + process name + ".log.0"
};
// The role's keystore pair and log directory, or null for an unknown role.
const Role *find_role(const std::string &name);
const Role &need_role(const std::string &name);
// Names of the key domains the library provisions, by id ("" when unknown).
std::string domain_name(uint32_t id);
// "50 HXA_ENCRYPT", or "9999" for a domain without a name.
std::string domain_label(uint32_t id);

void write_all(int fd, const void *data, size_t len);
void write_out(const std::string &text);

}  // namespace cli

#endif
