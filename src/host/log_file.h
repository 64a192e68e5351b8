/* SPDX-License-Identifier: Apache-2.0 */
// The log file's descriptor, kept open between lines.
#ifndef TELMOR_VAQ_HOST_LOG_FILE_H
#define TELMOR_VAQ_HOST_LOG_FILE_H

#include <cstddef>

namespace tv {

// Appends one finished line to the file at g_log_name with one write. Before
// each line one lstat of the path confirms that it still names the file the
// descriptor holds (same device and inode, regular, one link, same owner);
// otherwise the path is opened again as fopen's "a+" would, never through a
// link, and the file is used only if the rule of file_safety.h accepts it. So
// a log renamed, removed or replaced between two lines gets the second line
// in whatever file the path names then, as if each line opened it anew. A
// line that cannot be written is lost: there is no one to tell.
void append_log_line(const char *line, size_t length);

}  // namespace tv

#endif  // TELMOR_VAQ_HOST_LOG_FILE_H
