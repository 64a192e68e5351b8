/* SPDX-License-Identifier: Apache-2.0 */
// The fleet's state under one etcd prefix (docs/fleet.md draws it):
//
//   PREFIX members/NODE                  an admitted member
//   PREFIX keys/ROLE/DOMAIN/KEYID        a key's state and its sealed material
//   PREFIX reports/NODE/ROLE             a member's report, under its lease
//
// Names and the JSON of each value, nothing else: reading and writing them
// through etcd is fleet_store's. A node's etcd user gets `read` on PREFIX and
// `readwrite` on PREFIX reports/NODE/ only, so every name a node writes lies
// under report_prefix(NODE).
#ifndef TELMOR_VAQ_FLEET_LAYOUT_H
#define TELMOR_VAQ_FLEET_LAYOUT_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fleet {

// A key's life in the fleet. Old: was active, still held everywhere for
// decryption; Retired: every member may delete it (its material is gone
// from etcd).
enum class KeyState { Staged, Active, Old, Retired };
const char *key_state_name(KeyState s);
std::optional<KeyState> key_state_from(std::string_view name);

struct Member {
    std::string node;
    std::string admitted_at;      // UTC, as the operator's command wrote it
    std::int64_t mod_revision = 0;
};

struct FleetKey {
    std::string role;
    std::uint32_t domain = 0;
    std::uint32_t key_id = 0;
    KeyState state = KeyState::Staged;
    // An export of the role holding this key, sealed to the fleet's token key
    // (`export --wrap-with`); empty once retired.
    std::string material;
    std::string changed_at;       // UTC of the last state change
    std::int64_t mod_revision = 0;
};

struct HeldKey {
    std::uint32_t domain = 0;
    std::uint32_t key_id = 0;
    bool operator<(const HeldKey &o) const { return domain != o.domain ? domain < o.domain : key_id < o.key_id; }
    bool operator==(const HeldKey &o) const = default;
};

struct Report {
    std::string node;
    std::string role;
    std::vector<HeldKey> held;                       // every key in the role's keystore
    std::map<std::uint32_t, std::uint32_t> active;   // domain -> its active key id
    std::int64_t applied_revision = 0;               // the fleet state's revision the agent last applied
    std::string at;                                  // UTC the report was made
    std::int64_t mod_revision = 0;
    std::int64_t lease = 0;
    bool holds(std::uint32_t domain, std::uint32_t key_id) const;
};

// Node names and roles become parts of etcd keys: letters, digits, '.', '_'
// and '-' only (no '/', which would reach into another member's names), at
// most 64 bytes.
bool valid_name(std::string_view name);

class Layout {
public:
    // The prefix ends in '/'; one is added when missing.
    explicit Layout(std::string prefix);
    const std::string &prefix() const { return prefix_; }

    std::string members_prefix() const { return prefix_ + "members/"; }
    std::string member(const std::string &node) const { return members_prefix() + node; }
    std::string keys_prefix() const { return prefix_ + "keys/"; }
    std::string domain_keys(const std::string &role, std::uint32_t domain) const;
    std::string key(const std::string &role, std::uint32_t domain, std::uint32_t key_id) const;
    std::string reports_prefix() const { return prefix_ + "reports/"; }
    std::string report_prefix(const std::string &node) const { return reports_prefix() + node + "/"; }
    std::string report(const std::string &node, const std::string &role) const {
        return report_prefix(node) + role;
    }
    // What an agent applies, keys/ and members/, without the reports: one
    // range [state_begin, state_end), since "keys/" < "members/" <
    // "reports/". An agent's watch of it is not woken by other members'
    // reports, so a member's traffic does not grow with the fleet's size.
    std::string state_begin() const { return keys_prefix(); }
    std::string state_end() const;

    // Which entry an etcd key under the prefix is, from its name alone.
    enum class Kind { Member, Key, Report, Other };
    Kind kind_of(std::string_view etcd_key) const;

private:
    std::string prefix_;
};

// Values: JSON objects. A decode that answers nullopt met a value this
// version does not read; the caller counts it as absent and names it.
std::string encode_member(const Member &m);
std::optional<Member> decode_member(const std::string &node, const std::string &value);
std::string encode_key(const FleetKey &k);
std::optional<FleetKey> decode_key(const std::string &value);
std::string encode_report(const Report &r);
std::optional<Report> decode_report(const std::string &value);

// True when BYTES are an export file sealed to a token key, as
// `export --wrap-with` writes it. Only such material is put into etcd: a
// password export (its password would have to travel too) or anything else
// is refused before it leaves the node. The key library verifies the whole
// file when a node imports it; this looks at the header only.
bool sealed_to_token(std::string_view bytes);

// Now, in UTC, as the values above carry it ("2026-12-11T13:45:00Z").
std::string utc_now();

}  // namespace fleet

#endif
