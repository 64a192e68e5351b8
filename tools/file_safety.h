/* SPDX-License-Identifier: Apache-2.0 */
// What the tool can tell about keystore files and directories without the
// library: their type, mode and owner, and what makes one unsafe to use.
#ifndef TELMOR_VAQ_TOOL_FILE_SAFETY_H
#define TELMOR_VAQ_TOOL_FILE_SAFETY_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace cli {

struct FileFacts {
    std::string path;
    bool exists = false;
    bool symlink = false;
    bool regular = false;
    bool directory = false;
    unsigned nlink = 0;
    unsigned mode = 0;  // permission bits
    uid_t uid = 0;
    gid_t gid = 0;
    long long size = 0;
};

FileFacts file_facts(const std::string &path);  // lstat: a link is reported, not followed
std::string user_name(uid_t uid);               // "root", or the number when unknown
std::string group_name(gid_t gid);
std::string octal(unsigned mode);  // "0600"

// Why the library will not use this keystore copy (empty: usable, or missing).
std::string unsafe_copy_reason(const FileFacts &f);
// Warnings with their remedies for a keystore copy: unsafe, or readable or
// writable by others than the owner.
std::vector<std::string> copy_warnings(const FileFacts &f);
// Warnings for a keystore or log directory that others can write or that
// another non-root user owns; each names the path and what to run.
std::vector<std::string> directory_warnings(const std::string &dir);

}  // namespace cli

#endif
