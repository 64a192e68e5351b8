// SPDX-License-Identifier: Apache-2.0
#include "fleet_layout.h"

#include <algorithm>
#include <charconv>
#include <ctime>

#include "etcd_client.h"
#include "etcd_wire.h"

namespace fleet {

using json = nlohmann::json;

namespace {

// A JSON number that is a key id or a domain: 32 bits, unsigned.
bool u32_of(const json &j, const char *name, std::uint32_t &out) {
    auto it = j.find(name);
    if (it == j.end() || !it->is_number_unsigned()) return false;
    const auto v = it->get<std::uint64_t>();
    if (v > 0xffffffffu) return false;
    out = static_cast<std::uint32_t>(v);
    return true;
}

bool str_of(const json &j, const char *name, std::string &out) {
    auto it = j.find(name);
    if (it == j.end() || !it->is_string()) return false;
    out = it->get<std::string>();
    return true;
}

bool parse_u32(std::string_view s, std::uint32_t &out) {
    if (s.empty() || s.size() > 10) return false;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc{} && end == s.data() + s.size();
}

std::optional<json> object_of(const std::string &value) {
    json j = json::parse(value, nullptr, false);
    if (j.is_discarded() || !j.is_object()) return std::nullopt;
    return j;
}

}  // namespace

const char *key_state_name(KeyState s) {
    switch (s) {
    case KeyState::Staged: return "staged";
    case KeyState::Active: return "active";
    case KeyState::Old: return "old";
    case KeyState::Retired: return "retired";
    }
    return "?";
}

std::optional<KeyState> key_state_from(std::string_view name) {
    for (KeyState s : {KeyState::Staged, KeyState::Active, KeyState::Old, KeyState::Retired})
        if (name == key_state_name(s)) return s;
    return std::nullopt;
}

bool Report::holds(std::uint32_t domain, std::uint32_t key_id) const {
    return std::find(held.begin(), held.end(), HeldKey{domain, key_id}) != held.end();
}

bool valid_name(std::string_view name) {
    if (name.empty() || name.size() > 64 || name == "." || name == "..") return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
               c == '-';
    });
}

Layout::Layout(std::string prefix) : prefix_(std::move(prefix)) {
    if (prefix_.empty() || prefix_.back() != '/') prefix_ += '/';
}

std::string Layout::state_end() const { return prefix_end(members_prefix()); }

std::string Layout::domain_keys(const std::string &role, std::uint32_t domain) const {
    return keys_prefix() + role + "/" + std::to_string(domain) + "/";
}

std::string Layout::key(const std::string &role, std::uint32_t domain, std::uint32_t key_id) const {
    return domain_keys(role, domain) + std::to_string(key_id);
}

Layout::Kind Layout::kind_of(std::string_view k) const {
    if (k.substr(0, prefix_.size()) != prefix_) return Kind::Other;
    k.remove_prefix(prefix_.size());
    auto parts = [](std::string_view s) {
        std::vector<std::string_view> out;
        for (std::size_t at = 0;;) {
            const std::size_t slash = s.find('/', at);
            out.push_back(s.substr(at, slash == std::string_view::npos ? std::string_view::npos : slash - at));
            if (slash == std::string_view::npos) return out;
            at = slash + 1;
        }
    };
    const auto p = parts(k);
    std::uint32_t n = 0;
    if (p.size() == 2 && p[0] == "members" && valid_name(p[1])) return Kind::Member;
    if (p.size() == 4 && p[0] == "keys" && valid_name(p[1]) && parse_u32(p[2], n) && parse_u32(p[3], n))
        return Kind::Key;
    if (p.size() == 3 && p[0] == "reports" && valid_name(p[1]) && valid_name(p[2])) return Kind::Report;
    return Kind::Other;
}

std::string encode_member(const Member &m) { return json{{"node", m.node}, {"admitted_at", m.admitted_at}}.dump(); }

std::optional<Member> decode_member(const std::string &node, const std::string &value) {
    auto j = object_of(value);
    Member m;
    if (!j || !str_of(*j, "node", m.node) || m.node != node) return std::nullopt;
    str_of(*j, "admitted_at", m.admitted_at);
    return m;
}

std::string encode_key(const FleetKey &k) {
    json j{{"role", k.role},
           {"domain", k.domain},
           {"key_id", k.key_id},
           {"state", key_state_name(k.state)},
           {"changed_at", k.changed_at}};
    if (!k.material.empty()) j["material"] = wire::b64(k.material);
    return j.dump();
}

std::optional<FleetKey> decode_key(const std::string &value) {
    auto j = object_of(value);
    FleetKey k;
    std::string state, material;
    if (!j || !str_of(*j, "role", k.role) || !u32_of(*j, "domain", k.domain) || !u32_of(*j, "key_id", k.key_id) ||
        !str_of(*j, "state", state))
        return std::nullopt;
    const auto s = key_state_from(state);
    if (!s) return std::nullopt;
    k.state = *s;
    str_of(*j, "changed_at", k.changed_at);
    if (str_of(*j, "material", material) && !wire::unb64(material, k.material)) return std::nullopt;
    // A key any member may still import carries sealed material, and only that.
    if (k.state != KeyState::Retired && !sealed_to_token(k.material)) return std::nullopt;
    return k;
}

std::string encode_report(const Report &r) {
    json held = json::array();
    for (const auto &h : r.held) held.push_back({{"domain", h.domain}, {"key_id", h.key_id}});
    json active = json::object();
    for (const auto &[d, id] : r.active) active[std::to_string(d)] = id;
    return json{{"node", r.node},
                {"role", r.role},
                {"held", held},
                {"active", active},
                {"applied_revision", r.applied_revision},
                {"at", r.at}}
        .dump();
}

std::optional<Report> decode_report(const std::string &value) {
    auto j = object_of(value);
    Report r;
    if (!j || !str_of(*j, "node", r.node) || !str_of(*j, "role", r.role)) return std::nullopt;
    auto held = j->find("held");
    auto active = j->find("active");
    auto applied = j->find("applied_revision");
    if (held == j->end() || !held->is_array() || active == j->end() || !active->is_object() ||
        applied == j->end() || !applied->is_number_integer())
        return std::nullopt;
    for (const auto &h : *held) {
        HeldKey k;
        if (!h.is_object() || !u32_of(h, "domain", k.domain) || !u32_of(h, "key_id", k.key_id)) return std::nullopt;
        r.held.push_back(k);
    }
    for (const auto &[d, id] : active->items()) {
        std::uint32_t domain = 0;
        if (!parse_u32(d, domain) || !id.is_number_unsigned() || id.get<std::uint64_t>() > 0xffffffffu)
            return std::nullopt;
        r.active[domain] = id.get<std::uint32_t>();
    }
    r.applied_revision = applied->get<std::int64_t>();
    str_of(*j, "at", r.at);
    return r;
}

bool sealed_to_token(std::string_view b) {
    // "HXBVAQEX", format version 2, kind 2 (sealed to a token key), then the
    // token key's URI after the 64-byte fixed header.
    constexpr std::size_t kFixed = 64;
    if (b.size() <= kFixed || b.substr(0, 8) != "HXBVAQEX") return false;
    auto le16 = [&](std::size_t at) {
        return static_cast<unsigned>(static_cast<unsigned char>(b[at])) |
               static_cast<unsigned>(static_cast<unsigned char>(b[at + 1])) << 8;
    };
    const unsigned uri = le16(12);
    return le16(8) == 2 && le16(10) == 2 && uri > 0 && kFixed + uri < b.size();
}

std::string utc_now() {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

}  // namespace fleet
