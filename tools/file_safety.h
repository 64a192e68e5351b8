/* SPDX-License-Identifier: Apache-2.0 */
// What the tool can tell about keystore files, directories and the node's
// System V objects: their type, mode and owner from the file system, and
// whether the library will use them, which only the library says
// (telmor_vaq_judge): the tool keeps no rule of its own.
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
    dev_t dev = 0;
    ino_t ino = 0;
};

FileFacts file_facts(const std::string &path);  // lstat: a link is reported, not followed
std::string user_name(uid_t uid);               // "root", or the number when unknown
std::string group_name(gid_t gid);
std::string octal(unsigned mode);  // "0600"

// Why the library will not use the file at path (a keystore copy, a node
// secret, a log file), or "" when it will or nothing is there.
std::string refused_file(const std::string &path);
// The same for a directory that holds such files.
std::string refused_directory(const std::string &path);

// Why the library refuses a keystore copy, with a remedy it accepts ("not
// used by the library (REASON): REMEDY"), or "" when it takes the copy.
std::string copy_refusal(const std::string &path, const std::string &role);
// Warnings for a keystore copy the library refuses, each with a remedy the
// library accepts; `role` names the keystore for the remedy.
std::vector<std::string> copy_warnings(const std::string &path, const std::string &role);
// Warnings for a keystore or log directory the library would not trust.
std::vector<std::string> directory_warnings(const std::string &dir);

// A warning, with the remedy, when a keystore copy or a keystore directory at
// `path` gives group or others any access; none for anything else.
std::vector<std::string> exposure_warnings(const std::string &path);

// Why the library refuses one of the node's System V objects, as a sentence
// naming it and the remedy, or "" when it is usable or absent.
std::string ipc_refusal_sentence();

}  // namespace cli

#endif
