/* SPDX-License-Identifier: Apache-2.0 */
// What of the library's per-process set-up exists right now, beyond what the
// exported globals show. A failed initialisation undoes its earlier steps by
// it, and finalisation skips the steps whose resource was never set up.
#ifndef TELMOR_VAQ_KEYSTORE_LIBRARY_STATE_H
#define TELMOR_VAQ_KEYSTORE_LIBRARY_STATE_H

#include <atomic>

namespace tv {

// g_vaq_reload_rwlock has been initialised and not destroyed since. POSIX
// leaves initialising a live lock, or destroying a dead one, undefined.
extern bool g_reload_lock_live;
// The key library holds a loaded keystore: set by a successful
// TELMOR_VAQ_Loadkeystore, cleared by TELMOR_VAQ_Unloadkeystore. The version
// check reads it without a lock: a reload whose load failed leaves it clear,
// and the next check loads again.
extern std::atomic<bool> g_keystore_loaded;

}  // namespace tv

#endif  // TELMOR_VAQ_KEYSTORE_LIBRARY_STATE_H
