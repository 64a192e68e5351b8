/* SPDX-License-Identifier: Apache-2.0 */
// Whether a System V object that already exists under one of our keys may be
// trusted: another local account that creates it first could otherwise hold
// every process of the node still or feed them its own keystore version.
#ifndef TELMOR_VAQ_HOST_IPC_OWNER_H
#define TELMOR_VAQ_HOST_IPC_OWNER_H

#include <sys/ipc.h>
#include <unistd.h>

#include "host/sys.h"

namespace tv {

// Why the object must not be used, or null: its owner and its creator must be
// the effective user or root, and nobody else may write it.
inline const char *foreign_ipc_reason(const ipc_perm &perm) {
    const uid_t me = sys().geteuid();
    if ((perm.uid != me && perm.uid != 0) || (perm.cuid != me && perm.cuid != 0))
        return "owned or created by another user";
    if ((perm.mode & 022) != 0) return "writable by others";
    return nullptr;
}

}  // namespace tv

#endif  // TELMOR_VAQ_HOST_IPC_OWNER_H
