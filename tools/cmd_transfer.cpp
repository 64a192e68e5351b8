// SPDX-License-Identifier: Apache-2.0
// export and import: master keys to and from a password-sealed file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "causes.h"
#include "command_table.h"
#include "file_safety.h"
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

// The number of keys an export file declares in its header, if it looks like one.
std::optional<uint32_t> export_key_count(const std::string &file) {
    const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    unsigned char head[48] = {};
    const ssize_t n = read(fd, head, sizeof head);
    close(fd);
    if (n != static_cast<ssize_t>(sizeof head) || std::memcmp(head, "HXBVAQEX", 8) != 0) return std::nullopt;
    return uint32_t{head[44]} | uint32_t{head[45]} << 8 | uint32_t{head[46]} << 16 | uint32_t{head[47]} << 24;
}

int cmd_export(const Options &opt) {
    const std::string &file = opt.args.at(0);
    const Context ctx{opt.role, {}, {}, file};
    Session s(opt.role);
    const FileFacts existing = file_facts(file);
    if (existing.exists && !opt.force) throw tool_failure(cause(2026, ctx));
    if (existing.exists && existing.directory) throw tool_failure(file + " is a directory");
    SecretBuffer pw = read_password(opt, true, kExportPasswordMin);
    // The library creates the file exclusively: what is removed here is
    // replaced by the library's own file or by nothing.
    if (existing.exists && unlink(file.c_str()) != 0 && errno != ENOENT) {
        throw tool_failure("cannot remove " + file + ": " + std::strerror(errno));
    }
    const unsigned long rc = TELMOR_VAQ_ExportMkFile(file.c_str(), pw.data(), static_cast<uint32_t>(pw.size()));
    pw.clear();
    if (rc == 2007) {
        const std::string why = explain_io(file, true);
        throw Failure{rc, "exporting master keys to " + file + ": " + (why.empty() ? cause(rc, ctx) : why)};
    }
    require(rc, "exporting master keys to " + file, ctx);
    std::printf("%d master keys exported to %s\n", key_count(ctx), file.c_str());
    return 0;
}

int cmd_import(const Options &opt) {
    const std::string &file = opt.args.at(0);
    const Context ctx{opt.role, {}, {}, file};
    if (!file_facts(file).exists) {
        const std::string why = explain_io(file, false);
        throw tool_failure("cannot import from " + file + ": " + (why.empty() ? "it does not exist" : why));
    }
    Session s(opt.role);
    SecretBuffer pw = read_password(opt, false, 1);
    const int32_t before = key_count(ctx);
    const unsigned long rc = TELMOR_VAQ_ImportMkFile(file.c_str(), pw.data(), static_cast<uint32_t>(pw.size()));
    pw.clear();
    if (rc == 2007) {
        const std::string why = explain_io(file, false);
        if (!why.empty()) throw Failure{rc, "importing master keys from " + file + ": " + why};
    }
    require_change(rc, "importing master keys from " + file, ctx);
    if (opt.notify) TELMOR_update_shm();
    const int32_t added = key_count(ctx) - before;
    const std::optional<uint32_t> inFile = export_key_count(file);
    if (inFile) {
        std::printf("imported from %s: %d keys added, %lld already present\n", file.c_str(), added,
                    static_cast<long long>(*inFile) - added);
    } else {
        std::printf("imported from %s: %d keys added\n", file.c_str(), added);
    }
    return 0;
}

const CommandRegistrar kExport(
    {"export",
     "Transfer",
     30,
     "write every master key to FILE, sealed with a password",
     "Writes every master key of the role's keystore to FILE (mode 0600, created anew), sealed with a\n"
     "password of at least 12 characters: asked twice on the terminal, or read from --password-fd. An\n"
     "existing FILE is refused unless --force is given.",
     {Opt::Role, Opt::PasswordFd, Opt::Force},
     {{"FILE", "the export file to write", true, false}},
     {{"export /root/keys-2026.vaqx --password-fd 3 3<pw.txt", "export with the password in pw.txt"}},
     cmd_export});

const CommandRegistrar kImport(
    {"import",
     "Transfer",
     31,
     "add the master keys of an export file that this keystore lacks",
     "Adds the master keys of an export file that the keystore lacks, inactive; keys already present are\n"
     "left alone, so importing twice changes nothing. Reports how many keys were added and how many were\n"
     "already present. A key id present with other material refuses the whole import.",
     {Opt::Role, Opt::PasswordFd, Opt::NoNotify},
     {{"FILE", "the export file to read", true, false}},
     {{"import /root/keys-2026.vaqx --role HXM", "give the manager tools the agent's keys"}},
     cmd_import});

}  // namespace

}  // namespace cli
