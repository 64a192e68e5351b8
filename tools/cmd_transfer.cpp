// SPDX-License-Identifier: Apache-2.0
// export and import: master keys to and from a file sealed with a password or
// to a token key.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "arrival.h"
#include "causes.h"
#include "command_table.h"
#include "export_header.h"
#include "file_safety.h"
#include "node_layout.h"
#include "protector.h"
#include "secret_io.h"
#include "session.h"
#include "telmor_vaq_api.h"

namespace cli {

namespace {

// Export passwords are asked at this length or more; the library's own
// bounds (1 to 1024 bytes) stay as they are for other callers.
constexpr size_t kExportPasswordMin = 12;

int32_t key_count(const Context &ctx) {
    int32_t n = 0;
    require(TELMOR_VAQ_GetMkNum(&n), "counting master keys", ctx);
    return n;
}

// What --force may replace: a regular file, and never a keystore copy or a
// node secret, of any role, under whatever name (the same file by device and
// inode). Anything else is refused with its own sentence and left as it is.
void refuse_unless_replaceable(const FileFacts &f) {
    const std::string refused = f.path + " is left as it is: ";
    const std::string only = ", and --force replaces only a regular file";
    struct stat st {};
    lstat(f.path.c_str(), &st);
    if (f.symlink) throw tool_failure(refused + "it is a symbolic link" + only);
    if (f.directory) throw tool_failure(refused + "it is a directory" + only);
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) throw tool_failure(refused + "it is a device node" + only);
    if (S_ISFIFO(st.st_mode)) throw tool_failure(refused + "it is a FIFO (named pipe)" + only);
    if (S_ISSOCK(st.st_mode)) throw tool_failure(refused + "it is a socket" + only);
    if (!f.regular) throw tool_failure(refused + "it is not a regular file" + only);
    auto same = [&f](const std::string &path) {
        const FileFacts g = file_facts(path);
        return g.exists && g.dev == f.dev && g.ino == f.ino;
    };
    for (const node_layout::RoleLayout &r : node_layout::kRoles) {
        for (const char *copy : {r.primary, r.standby}) {
            if (same(copy)) {
                throw tool_failure(refused + "it is a keystore copy of role " + r.role + " (" + copy +
                                   "); an export never replaces one: choose another name");
            }
        }
    }
    // Every file in the node-secret directory, and in each keystore's
    // directory within it, is a secret of some keystore.
    std::string secret;
    std::function<void(const std::string &, bool)> look_in = [&](const std::string &dir, bool descend) {
        DIR *d = opendir(dir.c_str());
        if (d == nullptr) return;
        while (secret.empty()) {
            const dirent *e = readdir(d);
            if (e == nullptr) break;
            const std::string name = e->d_name;
            if (name == "." || name == "..") continue;
            const std::string path = dir + "/" + name;
            if (same(path)) secret = path;
            else if (descend && file_facts(path).directory) look_in(path, false);
        }
        closedir(d);
    };
    look_in(node_layout::kNodeSecretDir, true);
    if (!secret.empty()) {
        throw tool_failure(refused + "it is a node secret (" + secret +
                           "); an export never replaces one: choose another name");
    }
}

// A name in FILE's directory that nothing has.
std::string unused_name_beside(const std::string &file) {
    for (unsigned n = 0;; ++n) {
        const std::string name = file + ".new-" + std::to_string(getpid()) + (n ? "-" + std::to_string(n) : "");
        if (!file_facts(name).exists) return name;
    }
}

// Renames the complete new export over the old file, if the old file is
// still the regular file judged before; the directory is synced after.
void replace_with(const std::string &fresh, const FileFacts &old) {
    const FileFacts now = file_facts(old.path);
    if (!now.exists || !now.regular || now.dev != old.dev || now.ino != old.ino) {
        unlink(fresh.c_str());
        throw tool_failure(old.path + " changed while the export was written; nothing was replaced");
    }
    if (rename(fresh.c_str(), old.path.c_str()) != 0) {
        const int err = errno;
        unlink(fresh.c_str());
        throw tool_failure("cannot replace " + old.path + ": " + std::strerror(err));
    }
    const size_t slash = old.path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : old.path.substr(0, slash);
    if (const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

// The key library's private entry for an export sealed to a token key
// (src/vaq/vaq_private.h), looked up at run time: a vendor key library has none.
using ExportTokenFn = uint32_t (*)(const char *file, const char *uri);

unsigned long export_sealed(const Options &opt, const std::string &target) {
    if (!opt.wrapWith.empty()) {
        auto fn = reinterpret_cast<ExportTokenFn>(dlsym(RTLD_DEFAULT, "VaqPrivExportMkFileToken"));
        if (fn == nullptr) {
            throw tool_failure(
                "the key library in use cannot seal an export to a token key (VaqPrivExportMkFileToken missing): "
                "it is not ours, or older; export with a password");
        }
        return fn(target.c_str(), opt.wrapWith.c_str());
    }
    SecretBuffer pw = read_password(opt, true, kExportPasswordMin);
    const unsigned long rc = TELMOR_VAQ_ExportMkFile(target.c_str(), pw.data(), static_cast<uint32_t>(pw.size()));
    pw.clear();
    return rc;
}

int cmd_export(const Options &opt) {
    const std::string &file = opt.args.at(0);
    const Context ctx{opt.role, {}, {}, file};
    if (!opt.wrapWith.empty() && opt.passwordFd >= 0)
        throw UsageError{"--wrap-with seals FILE to a token key and uses no password: leave out --password-fd"};
    const FileFacts existing = file_facts(file);
    if (existing.exists && !opt.force) throw tool_failure(cause(2026, ctx));
    if (existing.exists) refuse_unless_replaceable(existing);
    Session s(opt.role);
    // The library publishes a new file whole or not at all; an old one is
    // replaced by renaming a complete new one over it, never removed first.
    const std::string target = existing.exists ? unused_name_beside(file) : file;
    const unsigned long rc = export_sealed(opt, target);
    if (rc == 2007) {
        const std::string why = explain_io(file, true);
        throw Failure{rc, "exporting master keys to " + file + ": " + (why.empty() ? cause(rc, ctx) : why)};
    }
    if (rc == 2044) {
        throw Failure{rc, "exporting master keys to " + file + " sealed to " + opt.wrapWith +
                              ": this node cannot use that token key (its PKCS#11 module missing or not root's, the "
                              "token absent, the PIN refused, or the key missing): the role's log names which; "
                              "nothing was written"};
    }
    if (rc == 2024 && !opt.wrapWith.empty()) {
        // Told by its own reason: the general sentence of 2024 is about key ids.
        const std::string why = token_uri_refusal(opt.wrapWith, true);
        if (!why.empty()) throw Failure{rc, "exporting master keys to " + file + ": " + why + "; nothing was written"};
    }
    require(rc, "exporting master keys to " + file, ctx);
    if (existing.exists) replace_with(target, existing);
    if (opt.wrapWith.empty()) {
        std::printf("%d master keys exported to %s\n", key_count(ctx), file.c_str());
    } else {
        std::printf("%d master keys exported to %s, sealed to the token key %s\n", key_count(ctx), file.c_str(),
                    opt.wrapWith.c_str());
    }
    return 0;
}

// A key library without the reporting entry (a vendor's) imports through the
// main library's own entry, with no --restore.
int import_without_report(const Options &opt) {
    const std::string &file = opt.args.at(0);
    const Context ctx{opt.role, {}, {}, file};
    if (!file_facts(file).exists) {
        const std::string why = explain_io(file, false);
        throw tool_failure("cannot import from " + file + ": " + (why.empty() ? "it does not exist" : why));
    }
    Session s(opt.role);
    const std::optional<ExportHeader> header = read_export_header(file);
    SecretBuffer pw = export_password(opt, header, file);
    const int32_t before = key_count(ctx);
    const unsigned long rc = TELMOR_VAQ_ImportMkFile(file.c_str(), pw.data(), static_cast<uint32_t>(pw.size()));
    pw.clear();
    if (rc == 2007) {
        const std::string why = explain_io(file, false);
        if (!why.empty()) throw Failure{rc, "importing master keys from " + file + ": " + why};
    }
    require_export_key(rc, "importing master keys from " + file, ctx, header);
    require_change(rc, "importing master keys from " + file, ctx);
    if (opt.notify) TELMOR_update_shm();
    const int32_t added = key_count(ctx) - before;
    if (header) {
        std::printf("imported from %s: %d keys added, %lld already present\n", file.c_str(), added,
                    static_cast<long long>(header->keyCount) - added);
    } else {
        std::printf("imported from %s: %d keys added\n", file.c_str(), added);
    }
    return 0;
}

int cmd_import(const Options &opt) {
    if (dlsym(RTLD_DEFAULT, "VaqPrivArriveMkFile") == nullptr && opt.restore.empty()) return import_without_report(opt);
    return arrive(opt, Arrive::Import);
}

const CommandRegistrar kExport(
    {"export",
     "Transfer",
     30,
     "write every master key to FILE, sealed with a password or to a token key",
     "Writes every master key of the role's keystore to FILE (mode 0600, created anew), sealed with a\n"
     "password of at least 12 characters: asked twice on the terminal, or read from --password-fd. With\n"
     "--wrap-with URI no password is asked or read: FILE is sealed under 32 random bytes, and those are\n"
     "sealed by the key in a PKCS#11 token that URI names (an HSM or key service the fleet shares), so\n"
     "every node that can use that key imports or joins FILE with no password. FILE records the URI,\n"
     "never a PIN; a node that cannot use the key writes nothing (code 2044). The file appears whole or\n"
     "not at all. An existing FILE is refused unless --force is given, and --force replaces only a\n"
     "regular file that is no keystore copy or node secret of any role.",
     {Opt::Role, Opt::PasswordFd, Opt::WrapWith, Opt::Force},
     {{"FILE", "the export file to write", true, false}},
     {{"export /root/keys-2026.vaqx --password-fd 3 3<pw.txt", "export with the password in pw.txt"},
      {"export /root/keys-2026.vaqx --wrap-with 'pkcs11:token=fleet;object=fleet-kek?module-path=/usr/lib/"
       "softhsm/libsofthsm2.so&pin-source=file:/etc/telmor/vaq/fleet.pin'",
       "export sealed to the fleet's key in its HSM, no password"}},
     cmd_export});

const CommandRegistrar kImport(
    {"import",
     "Transfer",
     31,
     "add the master keys of an export file that this keystore lacks",
     "Adds the master keys of an export file that the keystore lacks, inactive; keys already present are\n"
     "left alone, so importing twice changes nothing. Reports how many keys were added, in how many\n"
     "domains. A key id present with other material refuses the whole import. A FILE sealed to a token\n"
     "key (export --wrap-with) is opened through the key its URI names, with no password; a node that\n"
     "cannot use that key is refused (code 2044) and nothing changes. A key deleted on this node is not\n"
     "added back unless named with --restore KEY_ID (it then comes back inactive). A FILE with a key that\n"
     "is expired, weak, of the wrong length, dated in the future or of a domain this node lacks, or with\n"
     "two active keys in one domain, is refused whole (codes 2047 to 2052).",
     {Opt::Role, Opt::PasswordFd, Opt::NoNotify, Opt::Restore},
     {{"FILE", "the export file to read", true, false}},
     {{"import /root/keys-2026.vaqx --role HXM", "give the manager tools the agent's keys"}},
     cmd_import});

}  // namespace

}  // namespace cli
