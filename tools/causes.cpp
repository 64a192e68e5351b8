// SPDX-License-Identifier: Apache-2.0
#include "causes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace cli {

namespace {

// {d} the domain, {k} the key id, {f} the file, {r} the role, {p} and {s} the
// role's primary and standby keystore copies.
struct Row {
    unsigned long code;
    const char *text;
};

// Codes 2028..2039 and 2042..2044 belong to the root protectors; their rows join this table.
const Row kCauses[] = {
    // The main library.
    {1, "the library refused it; the role's log names the cause"},
    {11, "no keystore for role {r}: run 'telmor-vaq init --role {r}'"},
    {51, "out of memory"},
    {151, "unknown role '{r}': the roles are HXA, HXM and HXM_CLIENT"},
    {268, "domain {d} has no master key this process can use: see 'telmor-vaq keys --domain {d}'"},
    // The key-management library.
    {2001, "a required argument was missing (a fault of the calling program)"},
    {2002, "the key library was given an incomplete service table (a fault of the main library)"},
    {2003, "the key library was used before it was started"},
    {2004, "no keystore is loaded"},
    {2005, "the keystore was loaded twice"},
    {2006, "out of memory"},
    {2007, "a keystore or export file could not be read or written"},
    {2008,
     "neither keystore copy verifies (both damaged or altered); the files are left as they are: "
     "restore both from a backup (see docs/operations.md)"},
    {2009, "a keystore copy was written by a newer key library; nothing was overwritten: use that version"},
    {2010, "domain {d} does not exist on this node (see 'telmor-vaq domains')"},
    {2011, "domain {d} has no key type yet"},
    {2012, "domain {d} has no master key {k} (see 'telmor-vaq keys --domain {d}')"},
    {2013, "key id {k} is already used in domain {d} for other material: choose another id"},
    {2014, "key {k} is the active key of domain {d}: activate another key first"},
    {2015, "wrong length: key material takes 16 to 256 bytes, a password 1 to 1024"},
    {2016, "a buffer was too small for the key material"},
    {2017, "an index beyond the number of entries"},
    {2018, "the system's random source failed"},
    {2019, "a cryptographic operation failed"},
    {2020, "{f} is not an export file, is cut short, or asks for work out of bounds"},
    {2021, "wrong password, or {f} was not made by export (or was altered since)"},
    {2022, "{f} holds a key whose id this keystore uses for other material; nothing was imported"},
    {2023, "too many domains (4096) or keys (16384)"},
    {2024,
     "a value out of range (key ids run from 1 to 4294967295), or a token key's URI refused (a PIN in it, an "
     "attribute not taken, or for an export a pin-source that is no NAME.pin file): the role's log names which"},
    {2025, "an unexpected failure inside the key library; the role's log has its line"},
    {2026, "{f} exists already: choose another name, or give --force to replace it"},
    {2027,
     "no keystore copy is safe to use (a symbolic link, not a regular file, more than one link, or "
     "owned by another user); the files are left as they are: move a refused copy aside while the other "
     "is good, or give it to the owner of its directory"},
    // Both copies go aside: while either is there, init opens it and fails the same way.
    {2028,
     "the node secret this keystore is sealed under is missing, so the keystore cannot be opened on this "
     "node: put the secret back from this node's backup; or, to start anew, move both copies aside "
     "('mv {p} {p}.lost' and 'mv {s} {s}.lost'), then run 'telmor-vaq init --role {r}' and 'telmor-vaq join' "
     "an export file (docs/operations.md)"},
    {2029, "the node secret cannot be read, or is not a node secret: the role's log names the file and the reason"},
    {2030, "no node secret could be created: run 'telmor-vaq init --role {r}' as root once"},
    {2031,
     "no keystore copy opens under this node's root protector: the copies were sealed on another node "
     "(another node secret or TPM), their sealed root is damaged, or they are unprotected copies of a keystore "
     "protected on this node (the role's log names which); they open nothing here: restore this node's own "
     "copies, or import an export file into this node's own keystore"},
    {2032, "no TPM reached (TELMOR_VAQ_TCTI, default device:/dev/tpmrm0; the TPM libraries installed?)"},
    {2033, "the TPM refused: see the role's log"},
    {2034,
     "the TPM's PCRs no longer hold the values the root was sealed to: restore the platform state, or "
     "make a new keystore and import an export file"},
    {2035,
     "the keystore copies differ in their root material and the newer lacks keys of the older: both "
     "are left as they are; see docs/operations.md"},
    {2036,
     "the PKCS#11 module the key's URI names is missing, cannot be loaded, or is not one only root could have "
     "installed (it and every directory on its way must be root's and not writable by group or others): the "
     "role's log names the path and why"},
    {2037,
     "no token with the URI's label is present in its PKCS#11 module: connect the token (or the module to its "
     "HSM or key service) and try again; a node without it cannot open the keystore"},
    {2038,
     "no login to the PKCS#11 token: the PIN is wrong or locked, or the URI's pin-source is missing, not a NAME.pin "
     "in the role's own directory under /etc/telmor/vaq, or not trusted (it must be 0400 or 0600, its owner's): the "
     "role's log names which"},
    {2039,
     "the node secret or its directory is not trusted (a link, another user's, or open to group or others), so it "
     "was not used: the role's log names the path and why; /etc/telmor and /etc/telmor/vaq must be root's and not "
     "writable by group or others, the role's directory in it the keystore owner's and 0700, the secret 0400 and "
     "its owner's: as root, 'telmor-vaq init --role {r}' repairs them"},
    {2040, "no space left on device writing {f}: free some space, then try again"},
    {2041,
     "{f} was written but its sync to disk failed: the change may be on disk or not; "
     "see 'telmor-vaq keys' and 'telmor-vaq check'"},
    {2042,
     "the key the URI names is not in the token, cannot seal the root, or the URI fits more than one token: it "
     "must be one AES-256 key made in the token, sensitive and never extractable ever since (not imported, never "
     "read out), allowed to encrypt and decrypt; tokens of one label are told apart with serial= (the role's log "
     "names what is wrong)"},
    {2043,
     "the PKCS#11 token refused an operation, or a token is present but cannot be read (damaged or failing; a "
     "file-store token whose files were cut: restore its directory, see docs/operations.md): the role's log names "
     "which"},
    {2044,
     "{f} is sealed to a token key this node cannot use (its PKCS#11 module missing or not root's, the token "
     "absent, the PIN refused, or the key missing or not the one {f} was sealed under, or {f} altered): the "
     "role's log names which; nothing was changed. Give this node access to that key, or use a password export"},
    {2045, "the node's process lock could not be taken, so nothing was read or changed: see the role's log"},
    {2046,
     "the keystore's lock file (keystore.lock beside the primary copy) could not be made, opened or locked, so "
     "nothing was read or changed: the role's log names the file and why; it must be a regular file of the "
     "keystore's owner in a directory that owner can write"},
    // What an export file brings is refused whole before anything changes.
    {2047, "{f} holds a key that has expired, and no expired key is taken in; nothing was changed"},
    {2048,
     "{f} holds a key whose material is not 32 bytes, the length of every domain's keys; nothing was changed: a key "
     "of another length is registered on each node ('telmor-vaq register-key'), never taken from a file"},
    {2049,
     "{f} holds a key whose material is trivially weak (one byte value throughout, a short pattern repeated, a "
     "counting run, or a handful of byte values), so it was not made by an export of a sound keystore; nothing was "
     "changed"},
    {2050, "{f} holds a key for a domain this node does not have (see 'telmor-vaq domains'); nothing was changed"},
    {2051, "{f} marks two keys of one domain active, which no keystore holds, so it was not made by export; "
           "nothing was changed"},
    {2052,
     "{f}, or a key in it, is dated later than now (by more than an hour): check the clocks of this node and of the "
     "node {f} comes from; nothing was changed"},
    {2053, "a key named with --restore is not in {f} (see 'telmor-vaq keys' on the node it comes from); nothing was "
           "changed"},
    // The audit trail: a change whose record cannot be written is refused.
    {2056,
     "the role's audit key (/etc/telmor/vaq/STEM/STEM.audit-key.N) is missing beside its trail, damaged or not "
     "safe to use, so the change was refused and nothing was changed: the role's log names which (see "
     "docs/operations.md, the audit trail)"},
    {2057,
     "the role's audit trail is missing, not safe to use, or ends in a record that is not whole or does not "
     "verify, so the change was refused and nothing was changed: run 'telmor-vaq audit verify --role {r} --key "
     "KEY' (see docs/operations.md, the audit trail)"},
    {2058,
     "the audit record could not be written (no space left on device, or the trail cannot be written), so the "
     "change was refused and nothing was changed: free some space or mend the trail's file, then try again"},
    {2059,
     "the role's audit trail holds records already (it is never begun again over them: move it aside first), or "
     "the role's secret directory is not made yet ('telmor-vaq init --role {r}' makes it)"},
    // The data-protection library.
    {3001, "a required argument was missing (a fault of the calling program)"},
    {3002, "the text names an algorithm other than 5"},
    {3003, "the secret is too long: its text would not fit in 4 GiB"},
    {3004, "an output buffer was too small"},
    {3005, "the text is not a cipher text of this system, or is cut short"},
    {3006, "the text was made under another domain"},
    {3007, "the text is damaged or was altered (authentication failed)"},
    {3008, "no keystore is loaded"},
    {3009, "domain {d} does not exist or has no active key"},
    {3010, "a cryptographic operation failed"},
    {3011, "the system's random source failed"},
};

void replace_all(std::string &s, const std::string &from, const std::string &to) {
    for (size_t pos = 0; (pos = s.find(from, pos)) != std::string::npos; pos += to.size()) {
        s.replace(pos, from.size(), to);
    }
}

std::string parent_of(const std::string &path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string octal_of(mode_t mode) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(mode & 07777));
    return buf;
}

std::string denied(const std::string &what, const std::string &path, const struct stat &st, int err) {
    return "no permission to " + what + " " + path + " (mode " + octal_of(st.st_mode) + ", owner uid " +
           std::to_string(st.st_uid) + ", group gid " + std::to_string(st.st_gid) + "; this process runs as uid " +
           std::to_string(geteuid()) + "): " + std::strerror(err) + " (errno " + std::to_string(err) + ")";
}

}  // namespace

std::string permission_on_way(const std::string &path, bool writing) {
    if (path.empty() || path[0] != '/') return "";
    std::string dir = "/";
    for (size_t pos = 1; pos <= path.size();) {
        const size_t slash = path.find('/', pos);
        const size_t end = slash == std::string::npos ? path.size() : slash;
        const std::string part = path.substr(0, end);
        struct stat st {};
        if (end > pos && stat(part.c_str(), &st) != 0) {
            const int err = errno;
            if (err != EACCES) return "";
            struct stat dst {};
            if (stat(dir.c_str(), &dst) != 0) return "";
            return denied("enter", dir, dst, err) + ", so " + path + " cannot be reached";
        }
        if (end > pos) dir = part;
        if (slash == std::string::npos) break;
        pos = slash + 1;
    }
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return "";
    if (faccessat(AT_FDCWD, path.c_str(), writing ? W_OK : R_OK, AT_EACCESS) != 0 && errno == EACCES)
        return denied(writing ? "write" : "read", path, st, EACCES);
    return "";
}

std::string cause(unsigned long code, const Context &ctx) {
    for (const Row &row : kCauses) {
        if (row.code != code) continue;
        std::string s = row.text;
        replace_all(s, "{d}", ctx.domain ? std::to_string(*ctx.domain) : "of the command");
        replace_all(s, "{k}", ctx.keyId ? std::to_string(*ctx.keyId) : "");
        replace_all(s, "{f}", ctx.file.empty() ? "the file" : ctx.file);
        replace_all(s, "{r}", ctx.role);
        const Role *role = find_role(ctx.role);
        replace_all(s, "{p}", role ? role->primary : "the primary copy");
        replace_all(s, "{s}", role ? role->standby : "the standby copy");
        return s;
    }
    return "key library code " + std::to_string(code);
}

std::string causes_markdown() {
    std::string out = "| Code | What telmor-vaq says |\n|---|---|\n";
    for (const Row &row : kCauses) {
        std::string s = row.text;
        replace_all(s, "{d}", "DOMAIN");
        replace_all(s, "{k}", "KEY");
        replace_all(s, "{f}", "FILE");
        replace_all(s, "{r}", "ROLE");
        replace_all(s, "{p}", "PRIMARY");
        replace_all(s, "{s}", "STANDBY");
        replace_all(s, "|", "\\|");
        out += "| " + std::to_string(row.code) + " | " + s + " |\n";
    }
    return out;
}

std::string explain_io(const std::string &path, bool writing) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) {
            const std::string dir = parent_of(path);
            struct stat dst {};
            if (stat(dir.c_str(), &dst) != 0) return "directory " + dir + " does not exist";
            if (!writing) return path + " does not exist";
            return explain_io(dir, true);
        }
        if (errno == EACCES) {
            const std::string way = permission_on_way(path, writing);
            return way.empty() ? "no permission to reach " + path + ": " + std::strerror(EACCES) + " (errno 13)" : way;
        }
        return std::string(std::strerror(errno)) + ": " + path;
    }
    struct statvfs vs {};
    if (writing && statvfs(path.c_str(), &vs) == 0) {
        if (vs.f_flag & ST_RDONLY) return "the file system holding " + path + " is read-only";
        if (vs.f_bavail == 0) return "no space left on device writing " + path;
    }
    const int mode = writing ? W_OK : R_OK;
    if (access(path.c_str(), mode) != 0 && errno == EACCES) {
        return denied(writing ? "write" : "read", path, st, EACCES);
    }
    if (!writing && S_ISDIR(st.st_mode)) return path + " is a directory";
    return "";
}

std::string change_may_have_been_made(const Context &ctx) {
    std::string see = "'telmor-vaq check --role " + ctx.role + "'";
    if (ctx.domain)
        see = "'telmor-vaq keys --role " + ctx.role + " --domain " + std::to_string(*ctx.domain) + "' and " + see;
    return "the change may have been made all the same (a copy may hold it): see " + see;
}

Failure failed(unsigned long code, const std::string &what, const Context &ctx) {
    return Failure{code, what + ": " + cause(code, ctx)};
}

void require(unsigned long code, const std::string &what, const Context &ctx) {
    if (code != 0) throw failed(code, what, ctx);
}

void require_change(unsigned long code, const std::string &what, const Context &ctx) {
    if (code == 0) return;
    // A write that failed may have failed on the second copy only, after
    // the first took the change.
    if (code != 2007 && code != 2040 && code != 2041) throw failed(code, what, ctx);
    const Role &r = need_role(ctx.role);
    std::string found;
    if (code == 2041) found = "a keystore copy was written whole but its sync to disk failed";
    for (const char *path : {r.primary, r.standby}) {
        if (!found.empty()) break;
        found = explain_io(path, true);
    }
    if (found.empty())
        found = code == 2040 ? "no space left on device" : "a keystore copy could not be written or synced";
    throw Failure{code, what + ": " + found + "; " + change_may_have_been_made(ctx)};
}

}  // namespace cli
