/* SPDX-License-Identifier: Apache-2.0 */
// The fleet's state read and changed through EtcdClient, with the rule that
// makes a rollout safe (model/fleet_rollout.pml): a key becomes active only
// when every admitted member's report holds it, and an old key is retired
// only when every admitted member reports another key active, each decided
// by a transaction that holds only if nothing it was decided on (members,
// their reports, the domain's keys) changed after the read it was decided
// from. Only admitted members count; a report of a node that is not one is
// ignored, so a removed member's report cannot stand in for anyone.
#ifndef TELMOR_VAQ_FLEET_STORE_H
#define TELMOR_VAQ_FLEET_STORE_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "etcd_client.h"
#include "fleet_layout.h"

namespace fleet {

// The whole state, from one range read of the prefix.
struct FleetState {
    std::int64_t revision = 0;                 // the store's revision the read was taken at
    std::map<std::string, Member> members;
    std::vector<FleetKey> keys;
    std::vector<Report> reports;
    std::vector<std::string> unreadable;       // etcd keys under the prefix this version does not read

    const FleetKey *find_key(const std::string &role, std::uint32_t domain, std::uint32_t key_id) const;
    const FleetKey *active_key(const std::string &role, std::uint32_t domain) const;
    const Report *report(const std::string &node, const std::string &role) const;
    bool admitted(const std::string &node) const { return members.count(node) != 0; }
};

// Admitted members that do not report holding the key (no report counts as
// not holding it).
std::vector<std::string> lacking(const FleetState &s, const std::string &role, std::uint32_t domain,
                                 std::uint32_t key_id);
// Admitted members that do not report an active key other than KEY_ID in the
// domain.
std::vector<std::string> not_moved_off(const FleetState &s, const std::string &role, std::uint32_t domain,
                                       std::uint32_t key_id);

struct Decision {
    enum class Verdict {
        Done,      // the change was made
        Already,   // the state already was what was asked
        Waiting,   // not yet: `nodes` have not reported what the change needs
        Raced,     // the state changed after the read it was decided on: read again
        Refused,   // never, as asked: `why` says why
    };
    Verdict verdict = Verdict::Refused;
    std::vector<std::string> nodes;
    std::string why;
    std::int64_t revision = 0;   // of the change, when Done
};

class FleetStore {
public:
    FleetStore(EtcdClient &client, Layout layout) : client_(client), layout_(std::move(layout)) {}
    const Layout &layout() const { return layout_; }

    Outcome<FleetState> read();

    Outcome<Decision> admit(const std::string &node);
    Outcome<Decision> remove(const std::string &node);
    // Puts KEY (its material sealed to the token key) as staged, unless the
    // fleet already knows that key id in that role and domain.
    Outcome<Decision> stage(const FleetKey &key);
    // Decided on AT, a state read with read().
    Outcome<Decision> activate(const FleetState &at, const std::string &role, std::uint32_t domain,
                               std::uint32_t key_id);
    Outcome<Decision> retire(const FleetState &at, const std::string &role, std::uint32_t domain,
                             std::uint32_t key_id);
    // A member's report, under its lease (0: none).
    Outcome<std::int64_t> put_report(const Report &report, std::int64_t lease);

private:
    // Compares that hold while the members and the reports counted in AT are
    // as they were read.
    std::vector<Compare> unchanged_since(const FleetState &at, const std::string &role, std::uint32_t domain) const;

    EtcdClient &client_;
    Layout layout_;
};

}  // namespace fleet

#endif
