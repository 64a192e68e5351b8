/* SPDX-License-Identifier: Apache-2.0 */
// Opening files that another local account may have prepared for us: the
// keystore copies, export files and log files live in directories that an
// administrator may have left writable by others, so a path is never trusted
// to name what it seems to.
#ifndef TELMOR_VAQ_HOST_FILE_SAFETY_H
#define TELMOR_VAQ_HOST_FILE_SAFETY_H

#include <sys/stat.h>
#include <sys/types.h>

namespace tv {

// Why a file opened at path must not be used, or null when it may. It must be
// a regular file with one link, owned by the effective user or root; a
// process running as root also accepts the owner of the directory that holds
// the file, so that root can work on a keystore the service account owns
// without taking it over.
const char *unsafe_file_reason(const char *path, const struct stat &st);

// Why a directory that holds keystore copies, a node secret or log files
// cannot be trusted with them, or null: it must not be writable by group or
// others, and must belong to the effective user or root; a process running as
// root also trusts one that the keystore's owner (the service account) owns.
const char *unsafe_directory_reason(const char *path, const struct stat &st);

// Opens path with flags plus O_NOFOLLOW | O_CLOEXEC and checks what was
// opened. A symbolic link at the path fails with ELOOP; a file refused by
// unsafe_file_reason is closed again and fails with EPERM, with *reason set.
// Otherwise the descriptor, with its status in *st.
int open_safely(const char *path, int flags, mode_t mode, struct stat *st, const char **reason);

}  // namespace tv

#endif  // TELMOR_VAQ_HOST_FILE_SAFETY_H
