/* SPDX-License-Identifier: Apache-2.0 */
// Opening files that another local account may have prepared for us: the
// keystore copies, export files, node secrets and log files live in
// directories that an administrator may have left writable by others, so a
// path is never trusted to name what it seems to. Every open works relative
// to a directory descriptor that was opened once and checked: no path is
// looked up twice, and no link is followed at a file or at a directory of the
// node-secret tree.
#ifndef TELMOR_VAQ_HOST_FILE_SAFETY_H
#define TELMOR_VAQ_HOST_FILE_SAFETY_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>

namespace tv {

// Where the node secrets live. Each directory is trusted only if it is no
// link and not writable by group or others; /etc/telmor is root's,
// /etc/telmor/vaq root's (or, on a node still in the flat layout, the
// keystore directory's owner's), and a keystore's own directory beneath it
// root's or the keystore directory's owner's.
inline constexpr char kSecretParentDirectory[] = "/etc/telmor";
inline constexpr char kSecretDirectory[] = "/etc/telmor/vaq";

// The keystore directory of this process's role: its owner is the one other
// account whose files root uses, and who may own the node-secret directory
// and the secret. Set by initialisation, before any file is opened.
void set_keystore_directory_of(const char *primaryPath);

// The role's keystore lock file, "keystore.lock" in the keystore directory,
// written to out (size bytes); false when no keystore directory is set or
// the path does not fit.
bool keystore_lock_path(char *out, size_t size);

// Why a path was refused: the path refused (the file itself, or a directory
// on the way to it) and the reason, both static texts or the caller's path.
struct Refusal {
    const char *path = nullptr;
    const char *reason = nullptr;
};

// Opens path with flags plus O_NOFOLLOW | O_CLOEXEC, relative to its
// directory, and checks what was opened: a regular file with one link, owned
// by the effective user or root; a process running as root also accepts the
// owner of the directory that holds the file, so that root can work on a
// keystore the service account owns without taking it over.
//
// A file in kSecretDirectory, or in a keystore's own directory beneath it
// (/etc/telmor/vaq/agent/...), is a secret: every directory on its way must
// be trusted (with O_CREAT, a process running as root makes them when
// missing: /etc/telmor root's 0755, /etc/telmor/vaq root's 0711, a keystore's
// directory 0700 given to the keystore directory's owner), the file must give
// no access to group or others, and the third owner it may have is the
// keystore directory's.
//
// A file this call created gets exactly `mode` and, when root created it,
// the owner of its directory (a secret: the keystore directory's owner), so
// that the service account can open what root made on its behalf.
//
// A link at the path fails with ELOOP; a file or directory refused fails
// with EPERM. *why names the refused path and the reason. Otherwise the
// descriptor, with the file's status in *st; when the file was created and
// createdIn is given, *createdIn receives the directory's descriptor (the
// caller syncs and closes it), else -1.
int open_safely(const char *path, int flags, mode_t mode, struct stat *st, Refusal *why, int *createdIn = nullptr);

// Why a directory that holds keystore copies, a node secret or log files
// cannot be trusted with them, or null. The node-secret directories by their
// own rule (above); any other must not be writable by group or others and
// must belong to the effective user or root, and a process running as root
// also trusts one that another account (the service account) owns.
const char *unsafe_directory_reason(const char *path, const struct stat &st);

// A log file, opened for appending by open_safely (created 0640): the
// descriptor, with the file's status in *st, or -1.
int open_log_file(const char *path, struct stat *st);

}  // namespace tv

#endif  // TELMOR_VAQ_HOST_FILE_SAFETY_H
