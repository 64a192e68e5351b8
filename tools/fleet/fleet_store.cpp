// SPDX-License-Identifier: Apache-2.0
#include "fleet_store.h"

namespace fleet {

namespace {

using Verdict = Decision::Verdict;

Decision verdict(Verdict v, std::string why = {}, std::vector<std::string> nodes = {}) {
    Decision d;
    d.verdict = v;
    d.why = std::move(why);
    d.nodes = std::move(nodes);
    return d;
}

std::string key_name(const std::string &role, std::uint32_t domain, std::uint32_t key_id) {
    return "key " + std::to_string(key_id) + " of domain " + std::to_string(domain) + " (role " + role + ")";
}

Compare mod_equal(const std::string &key, std::int64_t rev) {
    return Compare{key, "", Compare::Target::Mod, Compare::Result::Equal, rev};
}

Compare absent(const std::string &key) {
    return Compare{key, "", Compare::Target::Version, Compare::Result::Equal, 0};
}

TxnOp put_op(const std::string &key, const std::string &value) { return TxnOp{TxnOp::Kind::Put, key, value, "", 0}; }

}  // namespace

const FleetKey *FleetState::find_key(const std::string &role, std::uint32_t domain, std::uint32_t key_id) const {
    for (const auto &k : keys)
        if (k.role == role && k.domain == domain && k.key_id == key_id) return &k;
    return nullptr;
}

const FleetKey *FleetState::active_key(const std::string &role, std::uint32_t domain) const {
    for (const auto &k : keys)
        if (k.role == role && k.domain == domain && k.state == KeyState::Active) return &k;
    return nullptr;
}

const Report *FleetState::report(const std::string &node, const std::string &role) const {
    for (const auto &r : reports)
        if (r.node == node && r.role == role) return &r;
    return nullptr;
}

std::vector<std::string> lacking(const FleetState &s, const std::string &role, std::uint32_t domain,
                                 std::uint32_t key_id) {
    std::vector<std::string> out;
    for (const auto &[node, m] : s.members) {
        const Report *r = s.report(node, role);
        if (r == nullptr || !r->holds(domain, key_id)) out.push_back(node);
    }
    return out;
}

std::vector<std::string> not_moved_off(const FleetState &s, const std::string &role, std::uint32_t domain,
                                       std::uint32_t key_id) {
    std::vector<std::string> out;
    for (const auto &[node, m] : s.members) {
        const Report *r = s.report(node, role);
        auto it = r == nullptr ? decltype(r->active.end()){} : r->active.find(domain);
        if (r == nullptr || it == r->active.end() || it->second == key_id) out.push_back(node);
    }
    return out;
}

Outcome<FleetState> FleetStore::read() {
    auto got = client_.range_prefix(layout_.prefix());
    if (!got.ok) return Outcome<FleetState>::bad(got.error);
    FleetState s;
    s.revision = got.value.revision;
    for (const auto &kv : got.value.kvs) {
        bool readable = false;
        switch (layout_.kind_of(kv.key)) {
        case Layout::Kind::Member: {
            const std::string node = kv.key.substr(layout_.members_prefix().size());
            if (auto m = decode_member(node, kv.value)) {
                m->mod_revision = kv.mod_revision;
                s.members.emplace(node, std::move(*m));
                readable = true;
            }
            break;
        }
        case Layout::Kind::Key:
            if (auto k = decode_key(kv.value); k && layout_.key(k->role, k->domain, k->key_id) == kv.key) {
                k->mod_revision = kv.mod_revision;
                s.keys.push_back(std::move(*k));
                readable = true;
            }
            break;
        case Layout::Kind::Report:
            // A report counts only under its own node's and role's name: a
            // node's user may write only below its own name, so the name is
            // what etcd vouches for, not the value.
            if (auto r = decode_report(kv.value); r && layout_.report(r->node, r->role) == kv.key) {
                r->mod_revision = kv.mod_revision;
                r->lease = kv.lease;
                s.reports.push_back(std::move(*r));
                readable = true;
            }
            break;
        case Layout::Kind::Other: break;
        }
        if (!readable) s.unreadable.push_back(kv.key);
    }
    return Outcome<FleetState>::good(std::move(s));
}

Outcome<Decision> FleetStore::admit(const std::string &node) {
    if (!valid_name(node)) return Outcome<Decision>::good(verdict(Verdict::Refused, "not a node name: " + node));
    const Member m{node, utc_now(), 0};
    auto t = client_.txn({absent(layout_.member(node))}, {put_op(layout_.member(node), encode_member(m))});
    if (!t.ok) return Outcome<Decision>::bad(t.error);
    Decision d = verdict(t.value.succeeded ? Verdict::Done : Verdict::Already);
    d.revision = t.value.revision;
    return Outcome<Decision>::good(d);
}

Outcome<Decision> FleetStore::remove(const std::string &node) {
    if (!valid_name(node)) return Outcome<Decision>::good(verdict(Verdict::Refused, "not a node name: " + node));
    // Its report goes with it; it would not count anyway.
    const Compare present{layout_.member(node), "", Compare::Target::Version, Compare::Result::Greater, 0};
    const std::string reports = layout_.report_prefix(node);
    auto t = client_.txn({present}, {TxnOp{TxnOp::Kind::Delete, layout_.member(node), "", "", 0},
                                     TxnOp{TxnOp::Kind::Delete, reports, "", prefix_end(reports), 0}});
    if (!t.ok) return Outcome<Decision>::bad(t.error);
    Decision d = verdict(t.value.succeeded ? Verdict::Done : Verdict::Already);
    d.revision = t.value.revision;
    return Outcome<Decision>::good(d);
}

Outcome<Decision> FleetStore::stage(const FleetKey &key) {
    if (!valid_name(key.role)) return Outcome<Decision>::good(verdict(Verdict::Refused, "not a role: " + key.role));
    if (key.key_id == 0)
        return Outcome<Decision>::good(verdict(Verdict::Refused, "key ids run from 1 to 4294967295"));
    if (!sealed_to_token(key.material)) {
        return Outcome<Decision>::good(verdict(
            Verdict::Refused, "the material of " + key_name(key.role, key.domain, key.key_id) +
                                  " is not an export sealed to a token key (export --wrap-with): nothing else is "
                                  "put into etcd"));
    }
    FleetKey staged = key;
    staged.state = KeyState::Staged;
    staged.changed_at = utc_now();
    const std::string name = layout_.key(key.role, key.domain, key.key_id);
    auto t = client_.txn({absent(name)}, {put_op(name, encode_key(staged))});
    if (!t.ok) return Outcome<Decision>::bad(t.error);
    if (t.value.succeeded) {
        Decision d = verdict(Verdict::Done);
        d.revision = t.value.revision;
        return Outcome<Decision>::good(d);
    }
    // Known already: a retired key id is never staged again.
    auto now = client_.get(name);
    if (!now.ok) return Outcome<Decision>::bad(now.error);
    if (now.value.kvs.empty()) return Outcome<Decision>::good(verdict(Verdict::Raced));
    auto known = decode_key(now.value.kvs.front().value);
    if (known && known->state == KeyState::Staged) return Outcome<Decision>::good(verdict(Verdict::Already));
    return Outcome<Decision>::good(verdict(
        Verdict::Refused, key_name(key.role, key.domain, key.key_id) + " is known to the fleet already (" +
                              (known ? key_state_name(known->state) : "unreadable") + "): it is not staged again"));
}

std::vector<Compare> FleetStore::unchanged_since(const FleetState &at, const std::string &role,
                                                 std::uint32_t domain) const {
    // No member added or changed after the read (a removal only lowers what
    // is needed), no key of the domain changed, and every admitted member's
    // report is the one read (a report that lapsed has mod revision 0 now).
    const std::int64_t after = at.revision + 1;
    const std::string members = layout_.members_prefix();
    const std::string domain_keys = layout_.domain_keys(role, domain);
    std::vector<Compare> c{
        {members, prefix_end(members), Compare::Target::Mod, Compare::Result::Less, after},
        {domain_keys, prefix_end(domain_keys), Compare::Target::Mod, Compare::Result::Less, after},
    };
    for (const auto &[node, m] : at.members) {
        const Report *r = at.report(node, role);
        c.push_back(mod_equal(layout_.report(node, role), r == nullptr ? 0 : r->mod_revision));
    }
    return c;
}

Outcome<Decision> FleetStore::activate(const FleetState &at, const std::string &role, std::uint32_t domain,
                                       std::uint32_t key_id) {
    const FleetKey *k = at.find_key(role, domain, key_id);
    if (k == nullptr)
        return Outcome<Decision>::good(verdict(Verdict::Refused, key_name(role, domain, key_id) + " is not staged"));
    if (k->state == KeyState::Active) return Outcome<Decision>::good(verdict(Verdict::Already));
    if (k->state != KeyState::Staged) {
        return Outcome<Decision>::good(verdict(Verdict::Refused, key_name(role, domain, key_id) + " is " +
                                                                     key_state_name(k->state) + ", not staged"));
    }
    if (at.members.empty())
        return Outcome<Decision>::good(verdict(Verdict::Refused, "the fleet has no admitted member"));
    if (auto missing = lacking(at, role, domain, key_id); !missing.empty())
        return Outcome<Decision>::good(verdict(Verdict::Waiting, {}, std::move(missing)));

    FleetKey active = *k;
    active.state = KeyState::Active;
    active.changed_at = utc_now();
    std::vector<TxnOp> ops{put_op(layout_.key(role, domain, key_id), encode_key(active))};
    if (const FleetKey *prior = at.active_key(role, domain)) {
        FleetKey old = *prior;
        old.state = KeyState::Old;
        old.changed_at = active.changed_at;
        ops.push_back(put_op(layout_.key(role, domain, prior->key_id), encode_key(old)));
    }
    auto t = client_.txn(unchanged_since(at, role, domain), ops);
    if (!t.ok) return Outcome<Decision>::bad(t.error);
    Decision d = verdict(t.value.succeeded ? Verdict::Done : Verdict::Raced);
    d.revision = t.value.revision;
    return Outcome<Decision>::good(d);
}

Outcome<Decision> FleetStore::retire(const FleetState &at, const std::string &role, std::uint32_t domain,
                                     std::uint32_t key_id) {
    const FleetKey *k = at.find_key(role, domain, key_id);
    if (k == nullptr)
        return Outcome<Decision>::good(verdict(Verdict::Refused, key_name(role, domain, key_id) + " is not known"));
    if (k->state == KeyState::Retired) return Outcome<Decision>::good(verdict(Verdict::Already));
    if (k->state != KeyState::Old) {
        return Outcome<Decision>::good(verdict(
            Verdict::Refused, key_name(role, domain, key_id) + " is " + key_state_name(k->state) +
                                  ": only a key that another has replaced as active is retired"));
    }
    if (auto missing = not_moved_off(at, role, domain, key_id); !missing.empty())
        return Outcome<Decision>::good(verdict(Verdict::Waiting, {}, std::move(missing)));
    FleetKey retired = *k;
    retired.state = KeyState::Retired;
    retired.material.clear();   // nobody imports it again
    retired.changed_at = utc_now();
    auto t = client_.txn(unchanged_since(at, role, domain),
                         {put_op(layout_.key(role, domain, key_id), encode_key(retired))});
    if (!t.ok) return Outcome<Decision>::bad(t.error);
    Decision d = verdict(t.value.succeeded ? Verdict::Done : Verdict::Raced);
    d.revision = t.value.revision;
    return Outcome<Decision>::good(d);
}

Outcome<std::int64_t> FleetStore::put_report(const Report &report, std::int64_t lease) {
    if (!valid_name(report.node) || !valid_name(report.role)) {
        EtcdError e;
        e.kind = EtcdError::Kind::Failed;
        e.message = "a report names no valid node or role";
        return Outcome<std::int64_t>::bad(e);
    }
    Report r = report;
    if (r.at.empty()) r.at = utc_now();
    return client_.put(layout_.report(r.node, r.role), encode_report(r), lease);
}

}  // namespace fleet
