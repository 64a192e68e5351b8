/* SPDX-License-Identifier: Apache-2.0 */
// Outcome of an internal step: a code of vaq_api.h and a short reason. The
// exported function that sees a failure logs it once, with the reason.
#ifndef HXB_VAQ_STATUS_H
#define HXB_VAQ_STATUS_H

#include <cstdint>

#include "vaq/vaq_api.h"

namespace vaq {

struct Status {
    uint32_t code = VAQ_OK;
    const char *why = "";

    bool ok() const { return code == VAQ_OK; }
};

inline Status Ok() { return {}; }
inline Status Fail(uint32_t code, const char *why) { return {code, why}; }

}  // namespace vaq

#endif
