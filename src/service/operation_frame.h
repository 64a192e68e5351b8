/* SPDX-License-Identifier: Apache-2.0 */
// The first step of every key operation.
#ifndef TELMOR_VAQ_SERVICE_OPERATION_FRAME_H
#define TELMOR_VAQ_SERVICE_OPERATION_FRAME_H

#include "common/log.h"
#include "telmor_vaq_api.h"

namespace tv {

// Brings this process in step with the node's keystore, reloading it when
// another process changed it. False, with the operation's line logged, only
// when the library is not initialised.
inline bool keystore_in_step() {
    if (check_modified_and_load_key() == 0) return true;
    VAQ_LOG(kError, "check failed or load keystore failed.\n");
    return false;
}

}  // namespace tv

#endif  // TELMOR_VAQ_SERVICE_OPERATION_FRAME_H
