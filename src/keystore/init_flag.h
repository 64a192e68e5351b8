/* SPDX-License-Identifier: Apache-2.0 */
// g_init_flag is read by every key operation's check on any thread, without a
// lock, and written only by initialisation and finalisation.
#ifndef TELMOR_VAQ_KEYSTORE_INIT_FLAG_H
#define TELMOR_VAQ_KEYSTORE_INIT_FLAG_H

#include <atomic>

#include "telmor_vaq_api.h"

namespace tv {

inline bool library_initialised() { return std::atomic_ref<int32_t>(g_init_flag).load(std::memory_order_acquire) == 1; }

inline void set_library_initialised(bool initialised) {
    std::atomic_ref<int32_t>(g_init_flag).store(initialised ? 1 : 0, std::memory_order_release);
}

}  // namespace tv

#endif  // TELMOR_VAQ_KEYSTORE_INIT_FLAG_H
