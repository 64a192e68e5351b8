/* SPDX-License-Identifier: Apache-2.0 */
// The kernel's fence around a keystore change: an open-file-description lock
// on the role's keystore lock file ("keystore.lock" in the keystore
// directory), taken after the node's semaphore and given back before it.
//
// The semaphore can be held twice: a waiter that removes a set it took for
// abandoned while its creator was only stopped, or an operator's ipcrm, leaves
// two processes that each believe they hold it. The file lock needs no
// repair and no guess: the kernel drops it when its open file description is
// closed, by its holder or by its holder's death. So two processes that both
// pass the semaphore are still one after the other where the keystore is
// read, written and announced.
#ifndef TELMOR_VAQ_HOST_KEYSTORE_FENCE_H
#define TELMOR_VAQ_HOST_KEYSTORE_FENCE_H

namespace tv {

// Takes the fence for the process-lock holder `holder` (the handle of the
// semaphore just taken), waiting while another open file description holds
// it. True when it is held, or when this process has no keystore directory
// (the lock services used without a keystore, which then has nothing to
// fence). False, with the reason logged, when the lock file cannot be opened
// or locked: the caller must not go on.
bool fence_keystore(const void *holder);

// Gives back the fence taken for `holder`, if any.
void unfence_keystore(const void *holder);

}  // namespace tv

#endif  // TELMOR_VAQ_HOST_KEYSTORE_FENCE_H
