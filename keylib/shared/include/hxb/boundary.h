/* SPDX-License-Identifier: Apache-2.0 */
// The boundary of every exported function of either key library: no
// exception leaves it, and every failure is answered with its code and
// logged once, with its reason, through the library's own log function.
#ifndef HXB_BOUNDARY_H
#define HXB_BOUNDARY_H

#include <new>

#include "hxb/status.h"

namespace hxb {

// What a library answers for failures that are not a Status of its own.
struct BoundaryCodes {
    uint32_t noMemory;
    uint32_t unexpected;
};

// log(function, status) writes the failure's one line.
template <class Log, class Body>
unsigned long at_boundary(const char *function, BoundaryCodes codes, Log &&log, Body &&body) noexcept {
    Status s;
    try {
        s = body();
    } catch (const std::bad_alloc &) {
        s = Fail(codes.noMemory, "out of memory");
    } catch (...) {
        s = Fail(codes.unexpected, "unexpected error");
    }
    if (!s.ok()) log(function, s);
    return s.code;
}

}  // namespace hxb

#endif
