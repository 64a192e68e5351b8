/* SPDX-License-Identifier: Apache-2.0 */
// Looking at a role's keystore as its owner sees it. Root can open what the
// service account cannot (a secret directory only root may enter, say), so a
// verdict formed with root's rights would say "good" where every process of
// the account fails. Root's status and check therefore open the keystore in a
// child process that holds the owner's uid, gid and supplementary groups.
#ifndef TELMOR_VAQ_TOOL_OWNER_VIEW_H
#define TELMOR_VAQ_TOOL_OWNER_VIEW_H

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "cli.h"

namespace cli {

// The account whose processes open the role's keystore: the owner of the
// primary copy's directory, with its primary group (from the account
// database, or the directory's group for an account known only by number)
// and its supplementary groups.
struct KeystoreOwner {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
    std::string name;  // the account's name, or its number
};
std::optional<KeystoreOwner> keystore_owner(const Role &r);

// Runs `look` with the owner's credentials and answers what it returned: in
// a child process when this process is root and the owner is not, else here.
// `look` must not print; a child that fails to take the credentials, or
// dies, is a Failure naming the account.
std::string as_keystore_owner(const Role &r, const std::function<std::string()> &look);

// True when the last as_keystore_owner ran as another account than this one.
bool looked_as_other_account();

}  // namespace cli

#endif
