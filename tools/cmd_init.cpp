// SPDX-License-Identifier: Apache-2.0
// init: a role's directories, secret directory and keystore, made (or brought
// back) for the account whose processes use them.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "audit_note.h"
#include "command_table.h"
#include "copy_report.h"
#include "file_safety.h"
#include "node_setup.h"
#include "protector.h"
#include "session.h"
#include "telmor_vaq_api.h"

namespace cli {

namespace {

std::string dir_of(const std::string &path) { return path.substr(0, path.rfind('/')); }

// The owner init makes the role's files for: --owner, else whoever owns the
// keystore directory already, else the user running init.
Account wanted_owner(const Options &opt, const Role &r) {
    if (!opt.owner.empty()) {
        const Account a = parse_account(opt.owner);
        if (geteuid() != 0 && a.uid != geteuid())
            throw tool_failure("only root makes a keystore for another account: run 'telmor-vaq init --role " +
                               std::string(r.name) + " --owner " + opt.owner + "' as root");
        return a;
    }
    const FileFacts dir = file_facts(dir_of(r.primary));
    if (dir.exists && dir.directory) return Account{dir.uid, dir.gid, false};
    return Account{geteuid(), getegid(), false};
}

// The empty primary a first load fills, made in its directory's descriptor
// for the keystore's owner (root makes it and gives it away before it holds
// anything), its directory synced so that the name survives a crash.
void make_empty_primary(const Role &r, const Account &owner) {
    const std::string dirPath = dir_of(r.primary);
    const int dir = open(dirPath.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0) throw tool_failure("cannot open " + dirPath + ": " + std::strerror(errno));
    const std::string leaf = std::string(r.primary).substr(dirPath.size() + 1);
    const int fd = openat(dir, leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    std::string failure;
    if (fd < 0 && errno != EEXIST) {
        failure = "cannot create " + std::string(r.primary) + ": " + std::strerror(errno);
    } else if (fd >= 0) {
        if (geteuid() == 0 && owner.uid != 0 && fchown(fd, owner.uid, owner.gid) != 0)
            failure =
                "cannot make " + std::string(r.primary) + " " + user_name(owner.uid) + "'s: " + std::strerror(errno);
        else if (fsync(dir) != 0)
            failure = "cannot sync " + dirPath + " after creating " + r.primary + ": " + std::strerror(errno);
        close(fd);
    }
    close(dir);
    if (!failure.empty()) throw tool_failure(failure);
}

// The log directory of HXM and HXM_CLIENT is one: it follows the role being
// set up unless another account already works in it.
bool log_dir_is_anothers(const Role &r, const Account &owner) {
    const FileFacts f = file_facts(r.logDir);
    if (!f.exists || f.uid == 0 || f.uid == owner.uid) return false;
    std::fprintf(stderr,
                 "warning: log directory %s belongs to %s, whose role shares it; left as it is: the processes of %s "
                 "log nothing there until it is theirs (or a group's both are in)\n",
                 r.logDir, user_name(f.uid).c_str(), user_name(owner.uid).c_str());
    return true;
}

int cmd_init(const Options &opt) {
    const Role &r = need_role(opt.role);
    check_protector_options(opt);
    const Account owner = wanted_owner(opt, r);
    const bool withGroup = !opt.group.empty();
    const gid_t group = withGroup ? parse_group(opt.group) : 0;
    if (geteuid() == 0) {
        settle_role_dir(dir_of(r.primary), owner, "");
        settle_role_dir(dir_of(r.standby), owner, "");
        if (!log_dir_is_anothers(r, owner)) settle_role_dir(r.logDir, owner, r.logPrefix);
        if (withGroup) record_ipc_group(group);
        // A keystore of the flat layout sealed by a token names its PIN file
        // there: it moves with the rest.
        std::string pinFile;
        if (!file_facts(secret_dir_path(r)).exists &&
            (file_facts(r.primary).size > 0 || file_facts(r.standby).size > 0)) {
            try {
                Session legacy(opt.role);
                pinFile = protector_pin_file();
            } catch (const Failure &) {
                // Moved without it; status names what the keystore lacks.
            }
        }
        settle_secret_dir(r, owner, pinFile);
    } else {
        if (withGroup) throw tool_failure("only root records the node's group (--group)");
        for (const std::string &dir : {dir_of(r.primary), dir_of(r.standby)}) {
            if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
                throw tool_failure("cannot create " + dir + ": " + std::strerror(errno) +
                                   ": as root, run 'telmor-vaq init --role " + r.name + " --owner " +
                                   user_name(geteuid()) + "'");
        }
    }
    print_warnings(warnings_for(r));
    if (!file_facts(r.primary).exists && !file_facts(r.standby).exists) make_empty_primary(r, owner);
    Session s(opt.role);
    int32_t keys = 0;
    require(TELMOR_VAQ_GetMkNum(&keys), "counting master keys", {opt.role, {}, {}, {}});
    // A new keystore is sealed by the node secret; another protector is a
    // move made at once.
    if (opt.protector == "tpm2" || opt.protector == "pkcs11") move_to_protector(opt);
    std::printf("keystore of role %s ready: %s (standby %s), %d master keys, owner %s\n%s", r.name, r.primary,
                r.standby, keys, user_name(owner.uid).c_str(), protector_lines().c_str());
    // Where the role's audit is set up (init run again), init's own record.
    std::string why;
    if (!audit_note({"init", {}, {}, r.primary, 0, "owner " + user_name(owner.uid)}, why))
        std::fprintf(stderr, "telmor-vaq init: warning: its audit record was not written: %s\n", why.c_str());
    return 0;
}

const CommandRegistrar kInit(
    {"init",
     "Keystore",
     40,
     "make the role's directories, secret directory and keystore for its owner (run again: repairs them)",
     "Makes, for the account --owner names (else the keystore directory's owner, else the caller), the\n"
     "role's keystore and log directories (0700, the account's; parents made here 0755, root's), an empty\n"
     "primary keystore file (0600) if neither copy exists, the role's secret directory /etc/telmor/vaq/ROLE/\n"
     "(0700, the account's) and then the keystore with its twelve domains, each with an active master key,\n"
     "its root material sealed by the role's node secret or, with --protector tpm2, by the node's TPM, or\n"
     "with --protector pkcs11 --key URI, by a key in a PKCS#11 token. /etc/telmor/vaq stays root's (0711).\n"
     "A role whose secrets are still directly in /etc/telmor/vaq has them moved into its own directory in\n"
     "one crash-safe step. Run again, it repairs the owners and modes it is responsible for, one line per\n"
     "change, and changes nothing else; files of root's in the role's directories are replaced by the\n"
     "owner's copies, never given away. --group names the group the node-wide System V objects are shared\n"
     "through when roles run under different accounts (recorded in /etc/telmor/vaq/ipc.group).",
     {Opt::Role, Opt::Owner, Opt::Group, Opt::Protector, Opt::Pcrs, Opt::Key},
     {},
     {{"init --role HXA --owner hxa", "the agent's keystore, for the service account hxa"},
      {"init --role HXM --owner hxm --group telmor-vaq", "a second role under a second account"},
      {"init --protector tpm2 --pcrs 0,7", "a new keystore sealed by the TPM"},
      {"init --protector pkcs11 --key 'pkcs11:token=node;object=kek?module-name=softhsm2&pin-source=file:/etc/"
       "telmor/vaq/node.pin'",
       "a new keystore sealed by a token key (the role gets its own copy of the PIN file)"}},
     cmd_init});

}  // namespace

}  // namespace cli
