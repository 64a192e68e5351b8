/* SPDX-License-Identifier: Apache-2.0 */
// What root sets up on a node for a role's keystore owner: the role's
// directories, its secret directory under /etc/telmor/vaq, its own PIN file.
//
// Every step works on descriptors opened without following a link, and
// nothing is handed to an account by name: a file the owner is to have is
// created here, given to the owner while it is still empty, filled, synced and
// then renamed into place. A file of root's found in a role's directory is
// never given away; a copy of it is made for the owner and replaces it.
#ifndef TELMOR_VAQ_TOOL_NODE_SETUP_H
#define TELMOR_VAQ_TOOL_NODE_SETUP_H

#include <sys/types.h>

#include <string>

#include "cli.h"
#include "secret_io.h"

namespace cli {

struct Account {
    uid_t uid = 0;
    gid_t gid = 0;
    // Named by the operator (--owner): what another account owns is given
    // to this one. Otherwise only what is missing is made for it, and modes
    // are repaired.
    bool named = false;
};

// "NAME[:GROUP]" or numbers; the group defaults to the account's primary
// group (a number with no entry: the group of the same number). A
// UsageError for a name that does not exist.
Account parse_account(const std::string &text);
// The group --group names (a name or a number); a UsageError when unknown.
gid_t parse_group(const std::string &text);

// The name of a role's secret directory under /etc/telmor/vaq ("agent").
std::string secret_stem(const Role &r);
// /etc/telmor/vaq/<stem>
std::string secret_dir_path(const Role &r);

// As root: /etc/telmor (0755) and /etc/telmor/vaq (0711) made when missing
// and taken back when an account owns them; the role's secret directory made
// for owner, with the role's files of the earlier flat layout (its node
// secret, marks, TPM authorisation, and `pinFile` when it names a flat file)
// moved into it in one crash-safe step (everything is copied into a new
// directory that is then renamed into place, and the flat files are removed
// after); an existing one repaired to owner's, 0700, and files in it of
// another owner replaced by the owner's copies. Each change is one line on
// stdout.
void settle_secret_dir(const Role &r, const Account &owner, const std::string &pinFile);

// Makes dir (and any missing parent) by descriptor: parents made here are
// root's 0755, dir itself owner's 0700; an existing dir is repaired to owner
// and 0700, and a parent of root's that others cannot pass through gets 0755,
// each change one line. Regular files in dir whose leaf starts with `files`
// (all files with "") that belong to root while owner is another account are
// replaced by owner's copies.
void settle_role_dir(const std::string &dir, const Account &owner, const std::string &files);

// Writes NAME.pin holding pin into the role's secret directory, for owner,
// as one new file renamed into place; answers its path.
std::string write_role_pin(const Role &r, const Account &owner, const std::string &name, const SecretBuffer &pin);

// Records the group the node's System V objects are shared through
// (/etc/telmor/vaq/ipc.group, root's 0644), replacing any earlier one.
void record_ipc_group(gid_t group);

// Writes LEAF, a file root keeps for itself, into /etc/telmor/vaq as root's
// 0600, as one new file renamed into place over any earlier one.
void record_root_file(const std::string &leaf, const std::string &content);

}  // namespace cli

#endif
