/* SPDX-License-Identifier: Apache-2.0 */
// Outcome of an internal step of either key library: a code of its ABI header
// (0 is success in both) and a short reason. The exported function that sees
// a failure logs it once, with the reason, at its boundary (boundary.h).
#ifndef HXB_STATUS_H
#define HXB_STATUS_H

#include <cstdint>

namespace hxb {

struct Status {
    uint32_t code = 0;
    const char *why = "";

    bool ok() const { return code == 0; }
};

inline Status Ok() { return {}; }
inline Status Fail(uint32_t code, const char *why) { return {code, why}; }

}  // namespace hxb

#endif
