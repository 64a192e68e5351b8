// telmor-vaq COMMAND [OPTIONS] [ARGS]: the operator's tool for a node's keys.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli.h"
#include "commands.h"
#include "protect_commands.h"

namespace {

using cli::Options;

struct Command {
    const char *name;
    const char *usage;
    const char *summary;
    int (*run)(const Options &);
};

const Command kCommands[] = {
    {"init", "init --role ROLE [--protector file|tpm2] [--pcrs LIST]",
     "create the role's keystore and log directories and its keystore with every key domain (safe to run twice)",
     cli::cmd_init_with_protector},
    {"protect", "protect --with file|tpm2 [--pcrs LIST] [--role ROLE] [--no-notify]",
     "seal the root material by the node secret file or the TPM (PCR list e.g. 0,7), as one crash-safe change",
     cli::cmd_protect},
    {"encrypt", "encrypt --role ROLE --domain ID",
     "encrypt a secret read from stdin (asked without echo on a terminal); prints the Base64 text",
     cli::cmd_encrypt},
    {"decrypt", "decrypt --role ROLE --domain ID [TEXT]",
     "decrypt a Base64 text given as argument or on stdin; writes the plain bytes", cli::cmd_decrypt},
    {"keys", "keys [--role ROLE] [--domain ID] [--json]",
     "list master keys: domain, key id, active or not, created, expires", cli::cmd_keys},
    {"domains", "domains [--role ROLE] [--json]", "list the key domains", cli::cmd_domains},
    {"root-key", "root-key [--role ROLE] [--json]", "show the root key and its configuration",
     cli::cmd_root_key},
    {"create-key", "create-key --domain ID [--role ROLE] [--no-notify]",
     "generate a new master key and make it the domain's active key", cli::cmd_create_key},
    {"register-key", "register-key --domain ID --key-id ID [--file FILE] [--role ROLE]",
     "store given key material (16 to 256 bytes, from FILE or stdin) as an inactive master key",
     cli::cmd_register_key},
    {"activate-key", "activate-key --domain ID --key-id ID [--role ROLE]",
     "make a master key the domain's active key", cli::cmd_activate_key},
    {"delete-key", "delete-key --domain ID --key-id ID [--role ROLE] [--no-notify]",
     "delete an inactive master key (texts made under it can no longer be decrypted)", cli::cmd_delete_key},
    {"rotate-root-key", "rotate-root-key [--role ROLE] [--no-notify]",
     "make new root material and rewrap every master key under it", cli::cmd_rotate_root_key},
    {"export", "export FILE [--role ROLE] [--password-fd N]",
     "write every master key to FILE, sealed with a password (asked twice, or read from descriptor N)",
     cli::cmd_export},
    {"import", "import FILE [--role ROLE] [--password-fd N] [--no-notify]",
     "add the master keys of an export file that this keystore lacks", cli::cmd_import},
    {"check", "check [--repair] [--role ROLE] [--json]",
     "verify both keystore copies (opening the keystore already repairs a damaged copy from the good\n"
     "                   one; --repair rewrites a copy found bad afterwards)",
     cli::cmd_check},
    {"notify", "notify [--role ROLE]", "make every process on the node reload its keystore",
     cli::cmd_notify},
    {"status", "status [--role ROLE] [--json]",
     "show the node's keystore version and this role's keystore files", cli::cmd_status},
};

void usage(FILE *out) {
    std::fprintf(out,
                 "usage: telmor-vaq COMMAND [OPTIONS]\n\n"
                 "Keys of this node's storage processes. ROLE is HXA (agent, the default), HXM (manager\n"
                 "tools) or HXM_CLIENT (manager client). Commands that change keys announce the change,\n"
                 "so every running process reloads (--no-notify leaves that to 'notify').\n\ncommands:\n");
    for (const Command &c : kCommands) std::fprintf(out, "  %-16s %s\n", c.name, c.summary);
    std::fprintf(out, "\n'telmor-vaq COMMAND --help' shows a command's options.\n");
}

uint32_t parse_u32(const char *flag, const char *text) {
    errno = 0;
    char *end = nullptr;
    unsigned long long v = std::strtoull(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || v > UINT32_MAX || text[0] == '-') {
        throw cli::Failure{1, std::string(flag) + " needs a number from 0 to 4294967295, not '" + text + "'"};
    }
    return static_cast<uint32_t>(v);
}

// Returns false when the command's help was asked for.
bool parse_options(int argc, char **argv, Options &opt) {
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> const char * {
            if (i + 1 >= argc) throw cli::Failure{1, a + " needs a value"};
            return argv[++i];
        };
        if (a == "--help" || a == "-h") return false;
        if (a == "--role") opt.role = value();
        else if (a == "--domain") opt.domain = parse_u32("--domain", value());
        else if (a == "--key-id") opt.keyId = parse_u32("--key-id", value());
        else if (a == "--file") opt.file = value();
        else if (a == "--password-fd") opt.passwordFd = static_cast<int>(parse_u32("--password-fd", value()));
        else if (a == "--json") opt.json = true;
        else if (a == "--repair") opt.repair = true;
        else if (a == "--no-notify") opt.notify = false;
        else if (a == "--with" || a == "--protector") opt.protector = value();
        else if (a == "--pcrs") opt.pcrs = value();
        else if (a == "--") {
            for (++i; i < argc; ++i) opt.args.emplace_back(argv[i]);
        } else if (a.size() > 1 && a[0] == '-') {
            throw cli::Failure{1, "unknown option " + a};
        } else {
            opt.args.push_back(a);
        }
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 ||
        std::strcmp(argv[1], "help") == 0) {
        usage(argc < 2 ? stderr : stdout);
        return argc < 2 ? 1 : 0;
    }
    const Command *cmd = nullptr;
    for (const Command &c : kCommands) {
        if (std::strcmp(argv[1], c.name) == 0) cmd = &c;
    }
    if (cmd == nullptr) {
        std::fprintf(stderr, "telmor-vaq: unknown command '%s' (see 'telmor-vaq --help')\n", argv[1]);
        return 1;
    }
    try {
        Options opt;
        if (!parse_options(argc, argv, opt)) {
            std::printf("usage: telmor-vaq %s\n\n%s\n", cmd->usage, cmd->summary);
            return 0;
        }
        return cmd->run(opt);
    } catch (const cli::Failure &f) {
        std::fflush(stdout);
        std::fprintf(stderr, "telmor-vaq %s: %s (code %lu)\n", cmd->name, f.reason.c_str(), f.code);
        return 1;
    }
}
