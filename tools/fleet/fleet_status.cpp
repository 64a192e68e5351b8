// SPDX-License-Identifier: Apache-2.0
#include "fleet_status.h"

#include <algorithm>
#include <set>

namespace fleet {

namespace {

bool role_converged(const FleetState &s, const std::string &role, const Report &r) {
    for (const auto &k : s.keys) {
        if (k.role != role || k.state == KeyState::Retired) continue;
        if (!r.holds(k.domain, k.key_id)) return false;
        if (k.state != KeyState::Active) continue;
        auto it = r.active.find(k.domain);
        if (it == r.active.end() || it->second != k.key_id) return false;
    }
    return true;
}

}  // namespace

const char *verdict_name(FleetStatus::Verdict v) {
    switch (v) {
    case FleetStatus::Verdict::Converged: return "converged";
    case FleetStatus::Verdict::Waiting: return "waiting";
    case FleetStatus::Verdict::Lost: return "lost";
    }
    return "?";
}

FleetStatus fleet_status(const FleetState &s) {
    FleetStatus out;
    std::set<std::string> roles;
    bool staged = false;
    for (const auto &k : s.keys) {
        roles.insert(k.role);
        staged = staged || k.state == KeyState::Staged;
    }
    out.roles.assign(roles.begin(), roles.end());
    // How far a member is behind: against the last change of the state an
    // agent applies (members and keys), not the store's revision, which every
    // member's report moves on.
    std::int64_t state_revision = 0;
    for (const auto &k : s.keys) state_revision = std::max(state_revision, k.mod_revision);
    for (const auto &[node, m] : s.members) state_revision = std::max(state_revision, m.mod_revision);
    bool lost = false, behind = false;
    for (const auto &[node, m] : s.members) {
        MemberStatus ms;
        ms.node = node;
        std::set<std::string> mine = roles;
        if (mine.empty())
            for (const auto &r : s.reports)
                if (r.node == node) mine.insert(r.role);
        bool all = !mine.empty();
        for (const auto &role : mine) {
            MemberStatus::RoleStatus rs;
            rs.role = role;
            rs.report = s.report(node, role);
            if (rs.report != nullptr) {
                rs.lag = std::max<std::int64_t>(0, state_revision - rs.report->applied_revision);
                rs.converged = role_converged(s, role, *rs.report);
            }
            all = all && rs.report != nullptr;
            behind = behind || !rs.converged;
            ms.roles.push_back(rs);
        }
        ms.reachable = all;
        lost = lost || !ms.reachable;
        out.members.push_back(std::move(ms));
    }
    out.verdict = lost ? FleetStatus::Verdict::Lost
                  : staged || behind ? FleetStatus::Verdict::Waiting
                                     : FleetStatus::Verdict::Converged;
    return out;
}

}  // namespace fleet
