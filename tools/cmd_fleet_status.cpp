// SPDX-License-Identifier: Apache-2.0
// fleet status: each member's state from one read of the fleet's prefix, for
// a person (a table) or a script (--json); the exit status is the verdict.
#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "cmd_fleet.h"
#include "fleet_status.h"

namespace cli {

namespace {

using Json = nlohmann::ordered_json;

std::string held_text(const fleet::Report &r) {
    std::string out;
    for (const auto &h : r.held) out += (out.empty() ? "" : " ") + std::to_string(h.domain) + ":" + std::to_string(h.key_id);
    return out.empty() ? "-" : out;
}

std::string active_text(const fleet::Report &r) {
    std::string out;
    for (const auto &[d, id] : r.active) out += (out.empty() ? "" : " ") + std::to_string(d) + ":" + std::to_string(id);
    return out.empty() ? "-" : out;
}

Json status_json(const fleet::FleetState &s, const fleet::FleetStatus &st) {
    Json members = Json::array();
    for (const auto &m : st.members) {
        Json roles = Json::array();
        for (const auto &r : m.roles) {
            Json one{{"role", r.role}, {"reporting", r.report != nullptr}};
            if (r.report != nullptr) {
                Json held = Json::array();
                for (const auto &h : r.report->held) held.push_back({{"domain", h.domain}, {"key_id", h.key_id}});
                Json active = Json::object();
                for (const auto &[d, id] : r.report->active) active[std::to_string(d)] = id;
                one["held"] = held;
                one["active"] = active;
                one["applied_revision"] = r.report->applied_revision;
                one["lag"] = r.lag;
                one["converged"] = r.converged;
                one["reported_at"] = r.report->at;
            }
            roles.push_back(one);
        }
        members.push_back({{"node", m.node}, {"reachable", m.reachable}, {"roles", roles}});
    }
    Json keys = Json::array();
    for (const auto &k : s.keys)
        keys.push_back({{"role", k.role},
                        {"domain", k.domain},
                        {"key_id", k.key_id},
                        {"state", fleet::key_state_name(k.state)},
                        {"changed_at", k.changed_at}});
    return Json{{"verdict", fleet::verdict_name(st.verdict)},
                {"revision", s.revision},
                {"members", members},
                {"keys", keys},
                {"unreadable", s.unreadable}};
}

void print_table(const fleet::FleetState &s, const fleet::FleetStatus &st) {
    std::printf("%-20s %-10s %-11s %-28s %-20s %s\n", "NODE", "REACHABLE", "ROLE", "KEYS (domain:id)",
                "ACTIVE", "LAG");
    for (const auto &m : st.members) {
        if (m.roles.empty()) std::printf("%-20s %-10s %-11s\n", m.node.c_str(), "no", "-");
        for (const auto &r : m.roles) {
            if (r.report == nullptr) {
                std::printf("%-20s %-10s %-11s %s\n", m.node.c_str(), m.reachable ? "yes" : "no", r.role.c_str(),
                            "(no report: agent down, cut off, or not started)");
                continue;
            }
            std::printf("%-20s %-10s %-11s %-28s %-20s %lld%s\n", m.node.c_str(), m.reachable ? "yes" : "no",
                        r.role.c_str(), held_text(*r.report).c_str(), active_text(*r.report).c_str(),
                        static_cast<long long>(r.lag), r.converged ? "" : " (catching up)");
        }
    }
    for (const auto &k : s.keys) {
        if (k.state != fleet::KeyState::Staged) continue;
        std::printf("rollout waiting: key %u of domain %u (role %s) staged", k.key_id, k.domain, k.role.c_str());
        const auto missing = fleet::lacking(s, k.role, k.domain, k.key_id);
        std::string names;
        for (const auto &n : missing) names += (names.empty() ? "" : ", ") + n;
        std::printf(missing.empty() ? ", held by every member\n" : ", not yet held by %s\n", names.c_str());
    }
    for (const auto &u : s.unreadable) std::printf("not read (this version cannot read it): %s\n", u.c_str());
    std::printf("fleet %s: %zu members\n", fleet::verdict_name(st.verdict), st.members.size());
}

}  // namespace

int fleet_status_command(const Options &opt) {
    const fleet::FleetConfig c = load_fleet_config();
    auto client = fleet_client(c);
    fleet::FleetStore store(*client, fleet::Layout(c.prefix));
    const fleet::FleetState s = read_fleet(store);
    const fleet::FleetStatus st = fleet::fleet_status(s);
    if (opt.json) {
        write_out(status_json(s, st).dump(2) + "\n");
    } else {
        print_table(s, st);
    }
    std::fflush(stdout);
    return st.exit_code();
}

}  // namespace cli
