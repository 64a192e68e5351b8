// The edge of every exported function: no exception leaves the library, and
// every failure is answered with its code and logged once, with its reason.
#ifndef HXB_VAQ_EDGE_H
#define HXB_VAQ_EDGE_H

#include <new>

#include "log.h"
#include "state.h"
#include "status.h"

namespace vaq {

template <class Body>
unsigned long at_edge(const char *function, Body &&body) noexcept {
    try {
        Status s = body();
        if (!s.ok())
            VAQ_KLOG(LogLevel::kError, "%s failed: %s, ret=%u\n", function, s.why, s.code);
        return s.code;
    } catch (const std::bad_alloc &) {
        VAQ_KLOG(LogLevel::kError, "%s failed: out of memory, ret=%u\n", function,
                 static_cast<unsigned>(VAQ_ERR_NO_MEMORY));
        return VAQ_ERR_NO_MEMORY;
    } catch (...) {
        VAQ_KLOG(LogLevel::kError, "%s failed: unexpected error, ret=%u\n", function,
                 static_cast<unsigned>(VAQ_ERR_INTERNAL));
        return VAQ_ERR_INTERNAL;
    }
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
