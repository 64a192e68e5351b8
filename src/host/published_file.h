/* SPDX-License-Identifier: Apache-2.0 */
// New files that a reader must find whole or not at all (an export file): the
// file is made without a name in its directory (O_TMPFILE), written and
// synced, and only its close links it in under its name and syncs the
// directory. A process killed on the way leaves nothing at the name; a
// failed write leaves nothing either. Where the file system makes no unnamed
// files (NFS, CIFS, FUSE), the file is made under a private name of its own
// (created exclusively, never through a link, 0600: the creator's, whoever
// owns the directory) and hard-linked to its name at the close; a process
// killed on the way may leave that private name behind, never the name.
#ifndef TELMOR_VAQ_HOST_PUBLISHED_FILE_H
#define TELMOR_VAQ_HOST_PUBLISHED_FILE_H

#include <cstddef>

namespace tv {

// A descriptor for writing the file to be published at path, or -1 with
// errno: EEXIST when anything is at the path already (a link included).
int open_unpublished(const char *path);
// Whether fd is a file waiting for its publication.
bool unpublished(int fd);
// The path fd's file will be published at, for log lines.
bool unpublished_path(int fd, char *out, size_t size);
// A write on fd failed: its close publishes nothing.
void spoil_unpublished(int fd);
// Publishes fd's file under its name unless a write failed, and closes fd.
// 0 when published; -1 with errno otherwise (EEXIST: the name was taken
// meanwhile; nothing was replaced). A spoiled file is dropped and answers 0.
int close_unpublished(int fd);

}  // namespace tv

#endif  // TELMOR_VAQ_HOST_PUBLISHED_FILE_H
