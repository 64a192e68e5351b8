/* SPDX-License-Identifier: Apache-2.0 */
// The edge of an entry that changes keys or hands them out: with_state, with
// the call's audit event in place for the change it makes, and a record of
// the refusal when it is refused.
#ifndef HXB_VAQ_AUDITED_H
#define HXB_VAQ_AUDITED_H

#include <string>

#include "edge.h"
#include "vaq/vaq_private.h"

namespace vaq {

// `make` gives the call's event inside the edge, where an allocation that
// fails is answered with its code.
template <class MakeEvent, class Body>
unsigned long with_audit(const char *function, MakeEvent &&make, Body &&body) noexcept {
    return with_state(function, [&](State &s) -> Status {
        AuditEvent event = make();
        if (event.allKeys)
            for (const MasterKey &k : s.keystore.keys) event.keys.push_back(k.id);
        if (event.first) {
            Status a = s.record(event, 0);
            if (!a.ok()) return a;
        }
        struct Running {
            State &s;
            ~Running() { s.auditing = nullptr; }
        } running{s};
        s.auditing = &event;
        Status st = body(s);
        s.auditing = nullptr;
        // A change recorded before it failed has its second record from
        // State::change already.
        if (!st.ok() && event.recordRefusal && !is_audit_code(st.code) && (!event.recorded || event.first)) {
            const Status why = st;
            if (Status a = s.record(event, st.code); !a.ok())
                VAQ_KLOG(LogLevel::kError, "audit record of a refusal not written: %s\n", a.why);
            st = why;
        }
        return st;
    });
}

// An export hands every key out: recorded, with the keys it holds, before
// the file is written.
inline AuditEvent export_event(const char *file, const char *kind) {
    return {.op = "export", .file = file ? file : "", .detail = kind, .first = true, .allKeys = true};
}

// An import or a join, with what the operator allowed it beyond the rules.
inline AuditEvent arrival_event(uint32_t how, const char *file, const VaqPrivArrivalRules *rules) {
    AuditEvent e{.op = how == VAQ_PRIV_ARRIVE_JOIN ? "join" : "import", .file = file ? file : ""};
    if (rules != nullptr && rules->allowOlder != 0) e.detail = "allowed older";
    if (rules != nullptr && rules->restore != nullptr && rules->restoreCount != 0) {
        std::string ids;
        for (uint32_t i = 0; i < rules->restoreCount && i < 64; ++i)
            ids += (i ? "," : "") + std::to_string(rules->restore[i]);
        e.detail += (e.detail.empty() ? "" : "; ") + ("restore asked for " + ids);
    }
    return e;
}

}  // namespace vaq

#endif
