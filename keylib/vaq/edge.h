/* SPDX-License-Identifier: Apache-2.0 */
// The edge of every exported function: no exception leaves the library, and
// every failure is answered with its code and logged once, with its reason.
#ifndef HXB_VAQ_EDGE_H
#define HXB_VAQ_EDGE_H

#include <cstdarg>
#include <cstdio>
#include <new>

#include "log.h"
#include "hxb/boundary.h"
#include "state.h"
#include "status.h"

namespace vaq {

// The name of a call with the arguments an operator needs to find it again,
// e.g. "VaqRmvMk(domain 50, key 123)", for its failure line.
class CallName {
public:
    CallName(const char *function, const char *format, ...) __attribute__((format(printf, 3, 4))) {
        int n = std::snprintf(text_, sizeof text_, "%s(", function);
        if (n < 0 || static_cast<size_t>(n) >= sizeof text_) return;
        va_list args;
        va_start(args, format);
        int m = std::vsnprintf(text_ + n, sizeof text_ - n, format, args);
        va_end(args);
        if (m >= 0 && static_cast<size_t>(n + m) + 1 < sizeof text_) {
            text_[n + m] = ')';
            text_[n + m + 1] = '\0';
        }
    }
    const char *c_str() const { return text_; }

private:
    char text_[320] = {};
};

template <class Body>
unsigned long at_edge(const char *function, Body &&body) noexcept {
    return hxb::at_boundary(
        function, {VAQ_ERR_NO_MEMORY, VAQ_ERR_INTERNAL},
        [](const char *name, Status s) { VAQ_KLOG(LogLevel::kError, "%s failed: %s, ret=%u\n", name, s.why, s.code); },
        body);
}

// Runs body with the loaded state, its thread lock held.
template <class Body>
unsigned long with_state(const char *function, Body &&body) noexcept {
    return at_edge(function, [&]() -> Status {
        State *s = g_state.load(std::memory_order_acquire);
        if (s == nullptr) return Fail(VAQ_ERR_NOT_INITIALIZED, "no keystore loaded");
        ThreadLockGuard g(s->host, s->lock);
        return body(*s);
    });
}

}  // namespace vaq

#endif
