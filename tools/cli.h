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

struct Options {
    std::string role = "HXA";
    bool json = false;
    bool repair = false;
    bool notify = true;
    std::optional<uint32_t> domain;
    std::optional<uint32_t> keyId;
    std::string file;           // --file
    int passwordFd = -1;        // --password-fd
    std::string protector;      // --with (protect), --protector (init)
    std::string pcrs;           // --pcrs
    std::vector<std::string> args;  // positional arguments after the command
};

// A failure to report: one line on stderr, exit status 1.
struct Failure {
    unsigned long code;  // the library's code, or 1 for the tool's own checks
    std::string reason;
};

struct Role {
    const char *name;
    const char *primary;
    const char *standby;
    const char *logDir;
};
// The role's keystore pair and log directory, or null for an unknown role.
const Role *find_role(const std::string &name);
// Names of the key domains the library provisions, by id ("" when unknown).
std::string domain_name(uint32_t id);
const std::vector<uint32_t> &domain_ids();

// Input and output helpers.
std::string read_all(int fd);
// Reads a secret from the terminal without echo, or from stdin when it is not a terminal.
std::string read_secret(const char *prompt);
// A password: from --password-fd (first line), else asked twice on the terminal when
// `confirm`, once otherwise.
std::string read_password(const Options &opt, bool confirm);
std::string json_escape(const std::string &text);
void write_all(int fd, const void *data, size_t len);
// Wipe memory that held a secret.
void wipe(std::string &s);
void wipe(void *data, size_t len);

}  // namespace cli

#endif
