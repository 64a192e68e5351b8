/* SPDX-License-Identifier: Apache-2.0 */
// Who owns the node-wide System V objects (the keystore-version segment and
// the process lock), and whether one found under our key may be trusted.
//
// A node has two owners: the service account that runs the host processes
// and root, who runs the operator's tool. Whichever starts first creates the
// objects, so they are given at once to the account that owns the roles'
// keystore directories: the service account then uses what root made on its
// behalf, and root uses anything. Where the roles' directories belong to
// several accounts, the objects are shared through the group the operator
// named for them (telmor-vaq init --group, recorded in root's
// /etc/telmor/vaq/ipc.group), 0660, or not made at all: never through a group
// found by search, which on a real node is often one every user is in.
//
// Another local account that creates an object first could otherwise hold
// every process of the node still or feed them its own keystore version.
#ifndef TELMOR_VAQ_HOST_IPC_OWNER_H
#define TELMOR_VAQ_HOST_IPC_OWNER_H

#include <sys/ipc.h>
#include <sys/types.h>

#include <cerrno>

namespace tv {

// What a new object is given right after its creation.
struct IpcOwnership {
    uid_t uid = 0;
    gid_t gid = 0;
    mode_t mode = 0600;
    bool shareGroup = false;  // gid is the node's named group; mode 0660
};

// The ownership for an object this process is about to create under key
// (named `what` in the log). False, with one ERROR line that names the
// accounts and the command that names a group, when the roles' keystore
// directories belong to several accounts and no group is named.
bool plan_ipc_ownership(const char *what, key_t key, IpcOwnership &out);

// Why the object must not be used, or null. Its owner and its creator must be
// the effective user, root or the owner of a role's keystore directory;
// others may not write it, and the group only when it is the node's named
// group.
const char *foreign_ipc_reason(const ipc_perm &perm);

// Whether an object found under our key (trusted by foreign_ipc_reason)
// should be given to its planned owner, and this process may do so: an
// object made for root by an earlier build, or by a creator killed before it
// gave it away. Fills perm with the owner, group and mode to set.
bool hand_over(ipc_perm &perm, const IpcOwnership &owner);

// The owner, creator and mode of an object this user may not even look at,
// from the kernel's list (readable by all); false when it is not listed.
bool listed_ipc_owner(bool segment, key_t key, unsigned &uid, unsigned &cuid, unsigned &mode);
// The line that names an object this process has no permission for (EACCES):
// whose it is, and the command that shares it between accounts.
void log_denied_ipc(const char *what, key_t key);

// The one line that refuses an object: its name and key, the reason, the
// owner, creator and effective uids and the mode.
void log_foreign_ipc(const char *what, key_t key, const char *why, const ipc_perm &perm);

// For a bounded time, asks again while get() fails with EACCES: that can be
// an object another account's process has just created and not yet given to
// its owner. Answers get()'s last answer, errno as it left it.
bool ask_again_after_denial(int &waitedMs);
template <class Get>
int get_once_given(Get get) {
    int waitedMs = 0;
    for (;;) {
        const int id = get();
        if (id != -1 || errno != EACCES || !ask_again_after_denial(waitedMs)) return id;
    }
}

}  // namespace tv

#endif  // TELMOR_VAQ_HOST_IPC_OWNER_H
