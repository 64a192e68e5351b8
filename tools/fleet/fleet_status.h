/* SPDX-License-Identifier: Apache-2.0 */
// What `fleet status` tells from one read of the fleet's state: each member
// reachable or not (its report alive under its lease), the keys it holds,
// its active key per domain, how far behind the state it is, and the fleet's
// verdict: converged, a rollout waiting, or a member lost.
#ifndef TELMOR_VAQ_FLEET_STATUS_H
#define TELMOR_VAQ_FLEET_STATUS_H

#include <cstdint>
#include <string>
#include <vector>

#include "fleet_store.h"

namespace fleet {

struct MemberStatus {
    std::string node;
    // A member is reachable when it reports for every role the fleet has
    // keys for (for one role at least, while the fleet has no keys yet).
    bool reachable = false;
    struct RoleStatus {
        std::string role;
        const Report *report = nullptr;   // null: no report (lapsed, or never made)
        std::int64_t lag = 0;             // revisions of the state (members, keys) not yet applied
        bool converged = false;           // holds every key not retired, and the fleet's active keys
    };
    std::vector<RoleStatus> roles;
};

struct FleetStatus {
    enum class Verdict { Converged, Waiting, Lost };
    Verdict verdict = Verdict::Converged;
    std::vector<MemberStatus> members;
    std::vector<std::string> roles;   // the roles the fleet has keys for
    // Exit status of `fleet status`: 0 converged, 3 while a rollout waits, 1 when a member is lost.
    int exit_code() const { return verdict == Verdict::Lost ? 1 : verdict == Verdict::Waiting ? 3 : 0; }
};

// STATE must outlive the answer (the members' reports point into it).
FleetStatus fleet_status(const FleetState &state);
const char *verdict_name(FleetStatus::Verdict v);

}  // namespace fleet

#endif
