// SPDX-License-Identifier: Apache-2.0
#include "command_table.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "audit_note.h"
#include "causes.h"
#include "node_layout.h"

namespace cli {

std::vector<Command> &command_table() {
    static std::vector<Command> table;
    return table;
}

namespace {

struct OptionRow {
    Opt id;
    const char *flag;   // long name
    const char *value;  // value name, or null for a flag
    const char *help;
};

const OptionRow kOptionRows[] = {
    {Opt::Role, "--role", "ROLE", "whose keystore: HXA (the agent, the default), HXM (manager tools) or HXM_CLIENT"},
    {Opt::Domain, "--domain", "ID", "the key domain (see 'telmor-vaq domains')"},
    {Opt::DomainFilter, "--domain", "ID", "only this key domain"},
    {Opt::KeyId, "--key-id", "ID", "the master key's id, 1 to 4294967295"},
    {Opt::KeyIdFilter, "--key-id", "ID", "retire: the master key's id, 1 to 4294967295"},
    {Opt::File, "--file", "FILE", "read the key material from FILE instead of stdin"},
    {Opt::PasswordFd, "--password-fd", "N", "read the password from the first line of descriptor N"},
    {Opt::WrapWith, "--wrap-with", "URI",
     "seal the file to the PKCS#11 token key URI names (pkcs11:token=...;object=...), with no password"},
    {Opt::Json, "--json", nullptr, "print JSON (times in ISO 8601 UTC)"},
    {Opt::Repair, "--repair", nullptr, "rewrite a copy found bad from the good one"},
    {Opt::NoNotify, "--no-notify", nullptr,
     "do not announce the change: running processes reload only after 'telmor-vaq notify'"},
    {Opt::Inactive, "--inactive", nullptr,
     "store the new key without activating it, so a fleet can stage it (see docs/operations.md)"},
    {Opt::Force, "--force", nullptr, "replace an existing FILE"},
    {Opt::Yes, "--yes", nullptr, "do not ask for confirmation on a terminal"},
    {Opt::Raw, "--raw", nullptr, "write the plain bytes as they are, even to a terminal"},
    {Opt::Report, "--report", nullptr, "tell on stderr, per line, which key the text was under and what was done"},
    {Opt::With, "--with", "PROTECTOR",
     "the root protector: file (the node secret), tpm2 (the node's TPM) or pkcs11 (a key in a PKCS#11 token)"},
    {Opt::Protector, "--protector", "PROTECTOR",
     "seal the new keystore by file (the node secret, the default), tpm2 (the node's TPM) or pkcs11 (a key in a "
     "PKCS#11 token)"},
    {Opt::Pcrs, "--pcrs", "LIST", "tpm2 only: bind the seal to these PCRs, e.g. 0,7 or 0-7"},
    {Opt::Key, "--key", "URI",
     "pkcs11 only: the token key, pkcs11:token=LABEL;object=LABEL?module-path=PATH&pin-source=file:/etc/telmor/vaq/"
     "NAME (the PIN in that file, never in the URI)"},
    {Opt::Owner, "--owner", "ACCOUNT",
     "the account whose processes use the role's keystore (a name or a number, with :GROUP for another group than "
     "its own): init makes everything for it"},
    {Opt::Group, "--group", "GROUP",
     "the group through which accounts of different roles share the node's System V objects (recorded on the "
     "node)"},
    {Opt::Restore, "--restore", "ID",
     "bring back, inactive, a key deleted on this node that FILE holds (again for each key)"},
    {Opt::AllowOlder, "--allow-older", nullptr,
     "take FILE in a domain whose last key change here is newer than FILE, and make a key active that is older "
     "than the domain's active key (a deliberate roll-back)"},
    {Opt::AuditKey, "--key", "KEY", "verify: the verification key that audit init showed (64 hexadecimal digits)"},
    {Opt::Since, "--since", "TIME", "show: only records from this UTC time on (YYYY-MM-DD[THH:MM[:SS]])"},
    {Opt::Usage, "--usage", nullptr, "show: the encryptions counted per key, summed over the role's processes"},
    {Opt::EpochRecords, "--epoch-records", "N",
     "init: an epoch of the trail's key ends after N records (default 1000; 0: no bound by records)"},
    {Opt::EpochSeconds, "--epoch-seconds", "N",
     "init: an epoch ends N seconds after it began, at the next record (default 86400, a day; 0: no bound by time)"},
    {Opt::Endpoints, "--endpoints", "URLS", "init: etcd's client URLs, https://HOST:PORT, separated by commas"},
    {Opt::Ca, "--ca", "FILE", "init: the CA certificate that signed etcd's members' certificates"},
    {Opt::Cert, "--cert", "FILE", "init: this node's client certificate for etcd (mutual TLS)"},
    {Opt::CertKey, "--cert-key", "FILE", "init: the private key of --cert"},
    {Opt::User, "--user", "NAME", "init: the etcd user this node or operator acts as"},
    {Opt::PasswordFile, "--password-file", "FILE",
     "init: the file holding the etcd user's password (its owner's, 0600); the password itself is never recorded"},
    {Opt::TokenKey, "--token-key", "URI",
     "init: the PKCS#11 URI of the fleet's token key, which every export put into etcd is sealed to"},
    {Opt::Prefix, "--prefix", "PREFIX", "init: the fleet's etcd key prefix (default /telmor/vaq/fleet/)"},
    {Opt::Node, "--node", "NAME", "init: this node's member name (default: the host name)"},
};

// A term and its paragraph, for the man page's lists.
struct ManLine {
    const char *term;
    const char *text;
};

// The options that go without a command.
const ManLine kGeneralOptions[] = {
    {"-h, --help",
     "the commands, each with its summary; with a command (telmor-vaq COMMAND --help, or telmor-vaq help "
     "COMMAND) that command's options and an example"},
    {"--version", "the tool's version"},
    {"--causes",
     "every code that the library, the key libraries and the tool answer, one row each of a Markdown table: the "
     "code and the sentence the tool prints for it, naming the cause and the remedy (DOMAIN, KEY, FILE and ROLE "
     "stand for a command's values). keystore-format.md carries the same table."},
};

// What the node keeps beside the keystores, and what the packages install.
const ManLine kSecretFiles[] = {
    {"/etc/telmor/vaq/",
     "root's, 0711, never an account's: each role's account passes through it to its own role's directory, and "
     "none may list it or create anything in it. The packages make it (tmpfiles.d), and init."},
    {"/etc/telmor/vaq/agent/, /etc/telmor/vaq/tools/, /etc/telmor/vaq/client/",
     "the secret directories of roles HXA, HXM and HXM_CLIENT (ks-HASH/ for a keystore elsewhere, HASH being 16 "
     "hex digits from its primary path), each owned by its role's keystore owner (the owner of the primary "
     "copy's directory), 0700, made by init. Each holds only its own role's files, below."},
    {"agent/agent.secret, tools/tools.secret, client/client.secret",
     "the node secret (0400) that seals the root material of the role's keystore under the file protector. "
     "Keep it off backups that leave the node."},
    {"STEM/STEM.tpm2-auth",
     "the tpm2 protector's authorisation value of a keystore (0400), without which the TPM does not unseal its "
     "root; STEM is agent, tools, client or ks-HASH"},
    {"STEM/STEM.protected, STEM/STEM.moving",
     "the protection marks (0400): .protected shows that the keystore was protected on this node, so an "
     "unprotected copy of it is never taken back; .moving, a move from an unprotected keystore that protect "
     "has not finished yet"},
    {"STEM/*.pin",
     "the role's PIN files for the pkcs11 protector, named by its URI's pin-source; a URI may name a PIN file "
     "only in its own role's directory (an older URI naming /etc/telmor/vaq/NAME is read as STEM/NAME). Root "
     "writes the role its own copy with protect, made for the account before it holds the PIN. The keystore "
     "records the URI, never the PIN."},
    {"STEM/STEM.audit-key.0, STEM/STEM.audit-key.1",
     "the running epoch's key of the role's audit trail (0600), in one of two slots so that a new epoch's key is on "
     "disk before the old one is overwritten and removed; made by audit init. It verifies nothing earlier than its "
     "epoch: the verification key audit init showed is kept off the node."},
    {"/etc/telmor/vaq/STEM.secret, .tpm2-auth, .protected, .moving, *.pin",
     "the layout before role directories: read there until init moves the role's files into its directory, in "
     "one crash-safe step"},
    {"/etc/telmor/vaq/fleet.conf",
     "how this node reaches its fleet's etcd (endpoints, TLS files, etcd user, the file holding its password, the "
     "token key's URI, prefix, node name), recorded by fleet init: root's, 0600; never the password itself"},
    {"/etc/telmor/vaq/fleet.pin",
     "files root keeps for itself, such as the PIN of the fleet's token key for exports: root's, 0600 or 0400, "
     "directly in /etc/telmor/vaq, readable by no account"},
    {"/etc/telmor/vaq/ipc.group",
     "the group named by init --group for the node-wide objects (its number), root's, 0644; without it they are "
     "0600 for the account that owns the roles' keystores"},
    {"System V keys 0x20190529 and 0x20191230",
     "not files: the keystore-version segment and the process lock (a semaphore) that every process of the "
     "node shares, whatever its role; 0600 for the keystores' one account, or 0660 for the group in "
     "/etc/telmor/vaq/ipc.group. ipcs -m -s lists them; no process removes them, nor does a purge."},
};

const ManLine kPackageFiles[] = {
    {"/etc/logrotate.d/telmor-vaq",
     "the weekly rotation of the logs above (earlier past 100 MB), one block per log directory, each working "
     "as the directory's owner as its su line says: shipped for roles run as root, a block whose directory an "
     "account owns rotates nothing until its su line names that account (README.Debian)"},
    {"/usr/lib/tmpfiles.d/libtelmor-vaq-api1.conf",
     "makes /etc/telmor (0755) and /etc/telmor/vaq (0711), root's, and gives them back to root with those modes "
     "if changed"},
    {"/usr/lib/sysusers.d/telmor-vaq.conf", "makes the group telmor-vaq, for init --group"},
};

const OptionRow &option_row(Opt id) {
    for (const OptionRow &s : kOptionRows) {
        if (s.id == id) return s;
    }
    std::abort();
}

bool required(Opt id) { return id == Opt::Domain || id == Opt::KeyId || id == Opt::With; }

std::string usage_line(const Command &c) {
    std::string u = std::string("telmor-vaq ") + c.name;
    for (const Positional &p : c.positionals) {
        std::string word = std::string(p.name) + (p.many ? "..." : "");
        u += " " + (p.required ? word : "[" + word + "]");
    }
    for (Opt o : c.options) {
        const OptionRow &s = option_row(o);
        std::string word = std::string(s.flag) + (s.value ? std::string(" ") + s.value : "");
        u += " " + (required(o) ? word : "[" + word + "]");
    }
    return u;
}

std::vector<const Command *> sorted_commands() {
    std::vector<const Command *> out;
    for (const Command &c : command_table()) out.push_back(&c);
    std::stable_sort(out.begin(), out.end(), [](const Command *a, const Command *b) { return a->order < b->order; });
    return out;
}

const Command *find_command(const std::string &name) {
    for (const Command &c : command_table()) {
        if (name == c.name) return &c;
    }
    return nullptr;
}

void print_command_help(const Command &c, FILE *out) {
    std::fprintf(out, "usage: %s\n\n%s\n", usage_line(c).c_str(), c.description);
    std::fprintf(out, "\noptions:\n");
    auto row = [&](const std::string &left, const char *help) {
        std::fprintf(out, "  %-22s %s\n", left.c_str(), help);
    };
    for (const Positional &p : c.positionals) row(p.name, p.help);
    for (Opt o : c.options) {
        const OptionRow &s = option_row(o);
        row(std::string(s.flag) + (s.value ? std::string(" ") + s.value : ""), s.help);
    }
    row("-h, --help", "show this help");
    std::fprintf(out, "\nexamples:\n");
    for (const Example &e : c.examples) std::fprintf(out, "  telmor-vaq %s\n      %s\n", e.command, e.comment);
}

void print_general_help(FILE *out) {
    std::fprintf(out,
                 "usage: telmor-vaq COMMAND [OPTIONS]\n\n"
                 "Keys of this node's storage processes. ROLE is HXA (agent, the default), HXM (manager\n"
                 "tools) or HXM_CLIENT (manager client). Commands that change keys announce the change,\n"
                 "so every running process reloads.\n");
    std::string section;
    for (const Command *c : sorted_commands()) {
        if (section != c->section) {
            section = c->section;
            std::fprintf(out, "\n%s:\n", section.c_str());
        }
        std::fprintf(out, "  %-16s %s\n", c->name, c->summary);
    }
    std::fprintf(out,
                 "\n'telmor-vaq help COMMAND' or 'telmor-vaq COMMAND --help' shows a command's options and an\n"
                 "example; 'telmor-vaq --version' the version; 'telmor-vaq --causes' every code the library\n"
                 "and the tool answer, with its cause and remedy, as a Markdown table. Exit status: 0 success,\n"
                 "1 failure, 2 usage error, 3 a warning from status.\n");
}

// roff text: backslashes and hyphens escaped, no line starting with a control character.
std::string roff(const std::string &text) {
    std::string out;
    for (char ch : text) {
        if (ch == '\\')
            out += "\\e";
        else if (ch == '-')
            out += "\\-";
        else
            out += ch;
    }
    std::string lines;
    size_t start = 0;
    while (start <= out.size()) {
        size_t end = out.find('\n', start);
        if (end == std::string::npos) end = out.size();
        std::string line = out.substr(start, end - start);
        if (!line.empty() && (line[0] == '.' || line[0] == '\'')) line = "\\&" + line;
        lines += line;
        if (end < out.size()) lines += "\n";
        start = end + 1;
    }
    return lines;
}

void print_man_page() {
    // The date is the release's, from debian/changelog (tools/CMakeLists.txt).
    std::printf(".TH TELMOR\\-VAQ 1 \"%s\" \"telmor-vaq %s\" \"User Commands\"\n", TELMOR_VAQ_DATE, TELMOR_VAQ_VERSION);
    std::printf(".SH NAME\ntelmor\\-vaq \\- manage the keys of a node's storage processes\n");
    std::printf(
        ".SH SYNOPSIS\n.B telmor\\-vaq\n.I COMMAND\n[\\fIOPTIONS\\fR]\n.br\n.B telmor\\-vaq help\n"
        "[\\fICOMMAND\\fR]\n.br\n.B telmor\\-vaq \\-\\-version\n.br\n.B telmor\\-vaq \\-\\-causes\n");
    std::printf(".SH DESCRIPTION\n%s\n",
                roff("telmor-vaq does by hand what the node's processes do through the key library: it "
                     "encrypts and decrypts short secrets under a numbered key domain, lists the key inventory, "
                     "and runs the key lifecycle and the keystore's maintenance. Each role (HXA, HXM, HXM_CLIENT) "
                     "has its own keystore, kept in two copies. Commands that change keys announce the change, "
                     "so every running process of the node reloads at its next key operation.")
                    .c_str());
    std::printf(".SH OPTIONS\n");
    for (const ManLine &o : kGeneralOptions) std::printf(".TP\n.B %s\n%s\n", roff(o.term).c_str(), roff(o.text).c_str());
    std::printf(".SH COMMANDS\n");
    for (const Command *c : sorted_commands()) {
        std::printf(".SS %s\n", roff(c->name).c_str());
        std::printf(".B %s\n.PP\n%s\n", roff(usage_line(*c)).c_str(), roff(c->description).c_str());
        for (const Positional &p : c->positionals) std::printf(".TP\n.I %s\n%s\n", p.name, roff(p.help).c_str());
        for (Opt o : c->options) {
            const OptionRow &s = option_row(o);
            std::printf(".TP\n.B %s%s\n%s\n", roff(s.flag).c_str(),
                        s.value ? (std::string(" \\fI") + s.value + "\\fR").c_str() : "", roff(s.help).c_str());
        }
        for (const Example &e : c->examples) {
            std::printf(".PP\nExample: %s\n.RS\n.B telmor\\-vaq %s\n.RE\n", roff(e.comment).c_str(),
                        roff(e.command).c_str());
        }
    }
    std::printf(
        ".SH EXIT STATUS\n0 on success; 1 on a failure, with one line on standard error naming the cause "
        "and, where the library answered, its code; 2 on a usage error; 3 from status when the keystore "
        "opens with a warning.\n");
    std::printf(
        ".SH ENVIRONMENT\n.TP\n.B TELMOR_VAQ_TCTI\n"
        "The TPM's transmission interface for the tpm2 protector, e.g. swtpm:host=127.0.0.1,port=2321 "
        "(default device:/dev/tpmrm0). Read by the tool and by every host process.\n"
        ".TP\n.B SOFTHSM2_CONF\n"
        "Read by the SoftHSM2 module, when the pkcs11 protector's URI names it: where its tokens are. Other "
        "PKCS#11 modules have their own settings; the URI names the module, its token and key, and the file "
        "holding the PIN.\n"
        ".TP\n.B TSS2_LOG\n"
        "The TPM libraries' own log levels, e.g. all+debug. Unset, those libraries print nothing and a TPM "
        "failure is told in one sentence.\n");
    std::printf(".SH FILES\n");
    for (const node_layout::RoleLayout &r : node_layout::kRoles) {
        std::printf(".TP\n%s\n.TQ\n%s\n%s\n", roff(r.primary).c_str(), roff(r.standby).c_str(),
                    roff(std::string("the two copies of role ") + r.role +
                         "'s keystore (0600, in directories of 0700, owned by the account that runs the role's "
                         "processes)")
                        .c_str());
    }
    for (const ManLine &f : kSecretFiles) std::printf(".TP\n%s\n%s\n", roff(f.term).c_str(), roff(f.text).c_str());
    for (const node_layout::RoleLayout &r : node_layout::kRoles) {
        std::printf(".TP\n%s\n%s\n", roff(std::string(r.logDir) + "/" + r.logPrefix + "NAME.log.0").c_str(),
                    roff(std::string("the log of a process of role ") + r.role +
                         ", NAME being the process name (0640, the log directory owner's); rotated weekly by "
                         "logrotate as the log directory's owner")
                        .c_str());
    }
    std::printf(".TP\n%s\n%s\n",
                roff("/var/log/oam/hxa/run/agent.audit, /var/log/oam/hxm/manager/run/tools.audit, "
                     "/var/log/oam/hxm/manager/run/client.audit")
                    .c_str(),
                roff("the audit trail of roles HXA, HXM and HXM_CLIENT (0600, the log directory owner's): one "
                     "sealed record per key change or refused change, made by audit init; never rotated")
                    .c_str());
    for (const ManLine &f : kPackageFiles) std::printf(".TP\n%s\n%s\n", roff(f.term).c_str(), roff(f.text).c_str());
    std::printf(
        ".SH SEE ALSO\n%s\n",
        roff("The operations guide, /usr/share/doc/telmor-vaq/operations.md.gz (read it with zless; "
             "docs/operations.md in the source), for a new node, roles under service accounts, tokens for "
             "them, joining a node to a fleet, key rotation across a fleet, backup, restore and recovery; "
             "README.Debian beside it for a node with two service accounts in three commands and the log "
             "rotation; keystore-format.md.gz for the file formats and every code; README.md.gz for the roles, "
             "the protectors and the threat model.")
            .c_str());
}

uint32_t parse_u32(const std::string &flag, const std::string &text) {
    errno = 0;
    char *end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || errno != 0 || *end != '\0' || v > UINT32_MAX || text[0] == '-' || text[0] == '+' ||
        text[0] == ' ') {
        throw UsageError{flag + " needs a number from 0 to 4294967295, not '" + text + "'"};
    }
    return static_cast<uint32_t>(v);
}

// String storage for one command's options, converted after parsing.
struct Raw {
    std::string domain, keyId, passwordFd;
    std::vector<std::string> restore;
};

void add_options(CLI::App *sub, const Command &c, Options &opt, Raw &raw) {
    for (Opt o : c.options) {
        const OptionRow &s = option_row(o);
        CLI::Option *added = nullptr;
        switch (o) {
            case Opt::Role:
                added = sub->add_option(s.flag, opt.role, s.help);
                break;
            case Opt::Domain:
            case Opt::DomainFilter:
                added = sub->add_option(s.flag, raw.domain, s.help);
                break;
            case Opt::KeyId:
            case Opt::KeyIdFilter:
                added = sub->add_option(s.flag, raw.keyId, s.help);
                break;
            case Opt::File:
                added = sub->add_option(s.flag, opt.file, s.help);
                break;
            case Opt::PasswordFd:
                added = sub->add_option(s.flag, raw.passwordFd, s.help);
                break;
            case Opt::WrapWith:
                added = sub->add_option(s.flag, opt.wrapWith, s.help)->check([](const std::string &v) {
                    return v.rfind("pkcs11:", 0) == 0 ? std::string() : "a PKCS#11 URI, beginning pkcs11:";
                });
                break;
            case Opt::Json:
                added = sub->add_flag(s.flag, opt.json, s.help);
                break;
            case Opt::Repair:
                added = sub->add_flag(s.flag, opt.repair, s.help);
                break;
            case Opt::NoNotify:
                added = sub->add_flag_callback(
                    s.flag, [&opt] { opt.notify = false; }, s.help);
                break;
            case Opt::Inactive:
                added = sub->add_flag(s.flag, opt.inactive, s.help);
                break;
            case Opt::Force:
                added = sub->add_flag(s.flag, opt.force, s.help);
                break;
            case Opt::Yes:
                added = sub->add_flag(s.flag, opt.yes, s.help);
                break;
            case Opt::Raw:
                added = sub->add_flag(s.flag, opt.raw, s.help);
                break;
            case Opt::Report:
                added = sub->add_flag(s.flag, opt.report, s.help);
                break;
            case Opt::With:
            case Opt::Protector:
                added =
                    sub->add_option(s.flag, opt.protector, s.help)->check(CLI::IsMember({"file", "tpm2", "pkcs11"}));
                break;
            case Opt::Pcrs:
                added = sub->add_option(s.flag, opt.pcrs, s.help);
                break;
            case Opt::Key:
                added = sub->add_option(s.flag, opt.key, s.help);
                break;
            case Opt::Owner:
                added = sub->add_option(s.flag, opt.owner, s.help);
                break;
            case Opt::Group:
                added = sub->add_option(s.flag, opt.group, s.help);
                break;
            case Opt::Restore:
                added = sub->add_option(s.flag, raw.restore, s.help)->expected(1)->take_all();
                break;
            case Opt::AllowOlder:
                added = sub->add_flag(s.flag, opt.allowOlder, s.help);
                break;
            case Opt::AuditKey:
                added = sub->add_option(s.flag, opt.key, s.help);
                break;
            case Opt::Since:
                added = sub->add_option(s.flag, opt.since, s.help);
                break;
            case Opt::Usage:
                added = sub->add_flag(s.flag, opt.usage, s.help);
                break;
            case Opt::EpochRecords:
                added = sub->add_option(s.flag, opt.epochRecords, s.help);
                break;
            case Opt::EpochSeconds:
                added = sub->add_option(s.flag, opt.epochSeconds, s.help);
                break;
            case Opt::Endpoints:
                added = sub->add_option(s.flag, opt.endpoints, s.help)->delimiter(',');
                break;
            case Opt::Ca:
                added = sub->add_option(s.flag, opt.caFile, s.help);
                break;
            case Opt::Cert:
                added = sub->add_option(s.flag, opt.certFile, s.help);
                break;
            case Opt::CertKey:
                added = sub->add_option(s.flag, opt.certKeyFile, s.help);
                break;
            case Opt::User:
                added = sub->add_option(s.flag, opt.etcdUser, s.help);
                break;
            case Opt::PasswordFile:
                added = sub->add_option(s.flag, opt.passwordFile, s.help);
                break;
            case Opt::TokenKey:
                added = sub->add_option(s.flag, opt.tokenKey, s.help);
                break;
            case Opt::Prefix:
                added = sub->add_option(s.flag, opt.prefix, s.help);
                break;
            case Opt::Node:
                added = sub->add_option(s.flag, opt.node, s.help);
                break;
        }
        if (added != nullptr && required(o)) added->required();
    }
    for (const Positional &p : c.positionals) {
        CLI::Option *added =
            p.many ? sub->add_option(p.name, opt.args, p.help) : sub->add_option(p.name, opt.args, p.help)->expected(1);
        if (p.required) added->required();
    }
}

// The command named on the line, for help and error messages.
const Command *named_command(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] != '-') return find_command(argv[i]);
    }
    return nullptr;
}

int report_usage(const std::string &command, const std::string &reason) {
    std::fflush(stdout);
    if (command.empty()) {
        std::fprintf(stderr, "telmor-vaq: %s (see 'telmor-vaq --help')\n", reason.c_str());
    } else {
        std::fprintf(stderr, "telmor-vaq %s: %s (see 'telmor-vaq help %s')\n", command.c_str(), reason.c_str(),
                     command.c_str());
    }
    return 2;
}

// CLI11's words for the usual mistakes, made plainer.
std::string plain(const CLI::ParseError &e) {
    const std::string what = e.what();
    for (const std::string extras :
         {"The following argument was not expected: ", "The following arguments were not expected: "}) {
        if (what.rfind(extras, 0) != 0) continue;
        const std::string arg = what.substr(extras.size());
        return arg.rfind("-", 0) == 0 ? "unknown option " + arg : "unexpected argument " + arg;
    }
    return what;
}

}  // namespace

int run_tool(int argc, char **argv) {
    CLI::App app{"telmor-vaq"};
    app.set_help_flag();
    bool help = false, version = false, man = false;
    app.add_flag("-h,--help", help);
    app.add_flag("--version", version);
    app.add_flag("--man", man)->group("");
    bool causes = false;
    app.add_flag("--causes", causes)->group("");
    Options opt;
    std::map<const Command *, std::unique_ptr<Raw>> raws;
    std::map<CLI::App *, const Command *> subs;
    for (const Command *c : sorted_commands()) {
        CLI::App *sub = app.add_subcommand(c->name, c->summary);
        sub->set_help_flag("-h,--help");
        raws[c] = std::make_unique<Raw>();
        add_options(sub, *c, opt, *raws[c]);
        subs[sub] = c;
    }
    std::string helpTopic;
    CLI::App *helpCmd = app.add_subcommand("help", "show the help of a command");
    helpCmd->add_option("COMMAND", helpTopic);
    app.require_subcommand(0, 1);

    const Command *named = named_command(argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] == '-') continue;
        if (named == nullptr && std::strcmp(argv[i], "help") != 0) {
            return report_usage("", std::string("unknown command '") + argv[i] + "'");
        }
        break;
    }
    // An option the command does not take is named as such, before the parser
    // can read it as a stray value.
    if (named != nullptr) {
        for (int i = 1; i < argc; ++i) {
            const std::string word = argv[i];
            if (word == "--") break;
            if (word.rfind("--", 0) != 0 || word == "--help") continue;
            const std::string flag = word.substr(0, word.find('='));
            bool known = false;
            for (Opt o : named->options) known = known || flag == option_row(o).flag;
            if (!known) return report_usage(named->name, "unknown option " + flag);
        }
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &) {
        if (named != nullptr)
            print_command_help(*named, stdout);
        else
            print_general_help(stdout);
        return 0;
    } catch (const CLI::ParseError &e) {
        return report_usage(named != nullptr ? named->name : "", plain(e));
    }
    if (version) {
        std::printf("telmor-vaq %s\n", TELMOR_VAQ_VERSION);
        return 0;
    }
    if (man) {
        print_man_page();
        return 0;
    }
    if (causes) {
        std::fputs(causes_markdown().c_str(), stdout);
        return 0;
    }
    if (help || helpCmd->parsed()) {
        if (helpTopic.empty()) {
            print_general_help(stdout);
            return 0;
        }
        const Command *c = find_command(helpTopic);
        if (c == nullptr) return report_usage("", "unknown command '" + helpTopic + "'");
        print_command_help(*c, stdout);
        return 0;
    }
    const Command *cmd = nullptr;
    for (auto &[sub, c] : subs) {
        if (sub->parsed()) cmd = c;
    }
    if (cmd == nullptr) {
        if (argc > 1) return report_usage("", std::string("unknown command '") + argv[1] + "'");
        print_general_help(stderr);
        return 2;
    }
    opt.command = cmd->name;
    set_log_thresholds(opt);
    try {
        const Raw &raw = *raws[cmd];
        if (!raw.domain.empty()) opt.domain = parse_u32("--domain", raw.domain);
        if (!raw.keyId.empty()) opt.keyId = parse_u32("--key-id", raw.keyId);
        for (const std::string &id : raw.restore) {
            opt.restore.push_back(parse_u32("--restore", id));
            if (opt.restore.back() == 0) throw UsageError{"--restore needs a key id from 1 to 4294967295"};
        }
        if (!raw.passwordFd.empty()) {
            const uint32_t fd = parse_u32("--password-fd", raw.passwordFd);
            if (fd > INT32_MAX) throw UsageError{"--password-fd needs a descriptor number"};
            opt.passwordFd = static_cast<int>(fd);
        }
        return cmd->run(opt);
    } catch (const UsageError &u) {
        return report_usage(cmd->name, u.reason);
    } catch (const Failure &f) {
        std::fflush(stdout);
        if (!f.code) audit_tool_refusal(opt, f.reason);
        if (f.code) {
            std::fprintf(stderr, "telmor-vaq %s: %s (code %lu)\n", cmd->name, f.reason.c_str(), *f.code);
        } else {
            std::fprintf(stderr, "telmor-vaq %s: %s\n", cmd->name, f.reason.c_str());
        }
        return 1;
    }
}

}  // namespace cli
