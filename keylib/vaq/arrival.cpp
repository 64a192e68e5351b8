// SPDX-License-Identifier: Apache-2.0
#include "arrival.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <map>
#include <set>

#include "log.h"
#include "protector.h"

namespace vaq {

namespace {

// Every domain's key type makes 32-byte (AES-256) keys; a key of another
// length would weaken the domain (shorter) or is not one of ours.
constexpr size_t kDomainKeyBytes = kGeneratedMaterialBytes;

std::string utc_text(int64_t t) {
    time_t at = static_cast<time_t>(t);
    struct tm tm {};
    char text[32] = "?";
    if (gmtime_r(&at, &tm) != nullptr) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return text;
}

VaqPrivArrivalNote note(uint32_t what, uint32_t domain, uint32_t keyId, int64_t when = 0) {
    VaqPrivArrivalNote n{};
    n.what = what;
    n.domain = domain;
    n.keyId = keyId;
    n.when = when;
    return n;
}

// Refuses the file for one key, with the note and sentence that name it.
Status refuse(ArrivalOutcome &out, uint32_t code, const ExportedKey *k, int64_t when, const std::string &why) {
    VaqPrivArrivalNote n = note(VAQ_PRIV_NOTE_REFUSED, k ? k->domain : 0, k ? k->id : 0, when);
    n.code = code;
    out.notes.assign(1, n);
    out.refusal = k ? "key " + std::to_string(k->id) + " of domain " + std::to_string(k->domain) + " " + why : why;
    return Fail(code, reason("export file refused, nothing changed: %s", out.refusal.c_str()));
}

// The file's active key of each domain; two in one domain refuse the file.
Status active_keys(const ExportContents &c, std::map<uint32_t, const ExportedKey *> &active, ArrivalOutcome &out) {
    for (const auto &k : c.keys) {
        if (!k.active) continue;
        auto [it, fresh] = active.emplace(k.domain, &k);
        if (!fresh)
            return refuse(out, VAQ_ERR_ARRIVAL_TWO_ACTIVE, nullptr, 0,
                          "the file marks two keys of domain " + std::to_string(k.domain) + " active (" +
                              std::to_string(it->second->id) + " and " + std::to_string(k.id) +
                              "): a keystore never holds two, so the file was not made by an export");
    }
    return Ok();
}

// Whether a key this call would add or make active may be taken at all.
Status check_sound(const ExportedKey &k, const std::function<bool(uint32_t)> &hasDomain, int64_t now,
                   ArrivalOutcome &out) {
    if (!hasDomain(k.domain))
        return refuse(out, VAQ_ERR_ARRIVAL_DOMAIN, &k, 0, "is for a domain this keystore does not have");
    if (k.created > now + kClockSkewSeconds)
        return refuse(out, VAQ_ERR_ARRIVAL_FUTURE, &k, k.created,
                      "is dated " + utc_text(k.created) + ", later than now (" + utc_text(now) + ")");
    const int64_t expires = k.created + int64_t{k.lifeDays} * 86400;
    if (expires <= now)
        return refuse(out, VAQ_ERR_ARRIVAL_EXPIRED, &k, expires, "expired on " + utc_text(expires));
    if (k.material.size() != kDomainKeyBytes)
        return refuse(out, VAQ_ERR_ARRIVAL_LENGTH, &k, 0,
                      "has " + std::to_string(k.material.size()) + " bytes of material where its domain's keys have " +
                          std::to_string(kDomainKeyBytes));
    const std::string weak = weak_material(k.material.view());
    if (!weak.empty()) return refuse(out, VAQ_ERR_ARRIVAL_WEAK, &k, 0, "is weak: " + weak);
    return Ok();
}

bool named(const ArrivalRules &rules, uint32_t id) {
    return std::find(rules.restore.begin(), rules.restore.end(), id) != rules.restore.end();
}

// Per domain: what the file marks active, and whether the domain is left as
// it was because the file is older than its last change here.
struct DomainPlan {
    const ExportedKey *active = nullptr;
    bool older = false;
};

}  // namespace

std::string weak_material(ByteView m) {
    const size_t n = m.size();
    if (n == 0) return "it is empty";
    char text[96];
    if (std::all_of(m.begin(), m.end(), [&](uint8_t b) { return b == m[0]; })) {
        std::snprintf(text, sizeof text, "all its %zu bytes are 0x%02x", n, m[0]);
        return text;
    }
    for (size_t period = 2; period <= n / 2; ++period) {
        bool repeats = true;
        for (size_t i = period; i < n && repeats; ++i) repeats = m[i] == m[i - period];
        if (repeats) {
            std::snprintf(text, sizeof text, "it repeats a pattern of %zu bytes", period);
            return text;
        }
    }
    const uint8_t step = static_cast<uint8_t>(m[1] - m[0]);
    bool counts = true;
    for (size_t i = 2; i < n && counts; ++i) counts = static_cast<uint8_t>(m[i] - m[i - 1]) == step;
    if (counts) {
        std::snprintf(text, sizeof text, "its bytes count in steps of %u", static_cast<unsigned>(step));
        return text;
    }
    // Random material of 16 bytes or more has nearly as many values as
    // bytes; a quarter is far beyond chance.
    std::array<bool, 256> seen{};
    size_t values = 0;
    for (uint8_t b : m) values += seen[b] ? 0 : (seen[b] = true, 1);
    if (values * 4 < n) {
        std::snprintf(text, sizeof text, "its %zu bytes take only %zu different values", n, values);
        return text;
    }
    return "";
}

Status take_arrival(const Host &host, Keystore &next, const ExportContents &contents, const ArrivalRules &rules,
                    const std::function<bool(uint32_t)> &hasDomain, int64_t now, ArrivalOutcome &out,
                    bool &changed) {
    out = ArrivalOutcome{};
    changed = false;
    if (contents.made > now + kClockSkewSeconds)
        return refuse(out, VAQ_ERR_ARRIVAL_FUTURE, nullptr, contents.made,
                      "the file is dated " + utc_text(contents.made) + ", later than now (" + utc_text(now) + ")");
    std::map<uint32_t, const ExportedKey *> active;
    Status st = active_keys(contents, active, out);
    if (!st.ok()) return st;
    out.marked = static_cast<uint32_t>(active.size());
    // Without the exporter's active keys a join would leave this node
    // encrypting under keys the fleet lacks: the caller is told, and nothing
    // changes.
    if (rules.join && active.empty()) return Ok();
    for (uint32_t id : rules.restore)
        if (std::none_of(contents.keys.begin(), contents.keys.end(), [&](const ExportedKey &k) { return k.id == id; }))
            return refuse(out, VAQ_ERR_RESTORE_ABSENT, nullptr, 0,
                          "key " + std::to_string(id) + " was named to be restored, and the file does not hold it");

    // Each domain's plan, from the keystore as the process lock found it.
    std::map<uint32_t, DomainPlan> plans;
    for (const auto &k : contents.keys) {
        DomainPlan &p = plans[k.domain];
        if (rules.join && !rules.allowOlder) {
            const int64_t last = next.history.last_change(k.domain);
            p.older = last != 0 && contents.made < last;
        }
    }
    for (const auto &[domain, k] : active) plans[domain].active = k;

    // Every check before the first change: a refusal leaves `next` as it was.
    std::vector<const ExportedKey *> toAdd;
    std::set<uint64_t> restored;
    for (const auto &k : contents.keys) {
        if (rules.join && plans[k.domain].older) continue;
        if (const MasterKey *mine = next.find(k.domain, k.id)) {
            if (!mine->material.equals(k.material.view()))
                return Fail(VAQ_ERR_IMPORT_CONFLICT,
                            reason("key %u of domain %u in the file exists here with other material", k.id, k.domain));
            continue;
        }
        const RetiredKey *retired = next.history.retired_key(k.domain, k.id);
        if (retired != nullptr && !named(rules, k.id)) continue;
        st = check_sound(k, hasDomain, now, out);
        if (!st.ok()) return st;
        if (retired != nullptr) restored.insert(key_slot(k.domain, k.id));
        toAdd.push_back(&k);
    }
    if (rules.join)
        for (const auto &[domain, p] : plans)
            if (const MasterKey *mine = p.active && !p.older ? next.find(domain, p.active->id) : nullptr;
                mine != nullptr && !mine->active) {
                // Held here already, and about to be made active: it must
                // not have expired since.
                st = check_sound(*p.active, hasDomain, now, out);
                if (!st.ok()) return st;
            }
    if (next.keys.size() + toAdd.size() > kMaxKeys)
        return Fail(VAQ_ERR_LIMIT, "the keystore would hold more keys than it can");

    // The notes of keys left out, or brought back.
    for (const auto &k : contents.keys) {
        if (rules.join && plans[k.domain].older) continue;
        const RetiredKey *retired = next.history.retired_key(k.domain, k.id);
        if (retired == nullptr) continue;
        const bool restore = named(rules, k.id);
        out.notes.push_back(note(restore ? VAQ_PRIV_NOTE_RESTORED : VAQ_PRIV_NOTE_HELD_BACK, k.domain, k.id,
                                 retired->deleted));
        VAQ_KLOG(restore ? LogLevel::kInfo : LogLevel::kWarn, "key %u of domain %u, deleted here on %s, %s\n", k.id,
                 k.domain, utc_text(retired->deleted).c_str(),
                 restore ? "added back (inactive) as asked" : "not added back: it must be named to be restored");
    }

    std::map<uint32_t, uint32_t> addedIn;
    next.keys.reserve(next.keys.size() + toAdd.size());
    for (const ExportedKey *k : toAdd) {
        MasterKey m;
        m.domain = k->domain;
        m.id = k->id;
        m.origin = kRegistered;
        m.created = k->created;
        m.lifeDays = k->lifeDays;
        m.material = material_copy(k->material.view());
        st = wrap_key(host, next.root, m);
        if (!st.ok()) return st;
        next.history.forget(k->domain, k->id);
        next.keys.push_back(std::move(m));
        ++addedIn[k->domain];
    }
    out.keysAdded = toAdd.size();

    for (const auto &[domain, p] : plans) {
        if (addedIn.count(domain)) {
            VaqPrivArrivalNote n = note(VAQ_PRIV_NOTE_ADDED, domain, 0);
            n.count = addedIn[domain];
            out.notes.push_back(n);
        }
        if (!rules.join) continue;
        if (p.older) {
            const int64_t last = next.history.last_change(domain);
            out.notes.push_back(note(VAQ_PRIV_NOTE_OLDER_FILE, domain, 0, last));
            VAQ_KLOG(LogLevel::kWarn,
                     "domain %u left as it was: its last key change here (%s) is newer than the export file\n",
                     domain, utc_text(last).c_str());
            continue;
        }
        if (p.active == nullptr) continue;
        MasterKey *wanted = next.find(domain, p.active->id);
        // Left out (deleted here), or restored: a restored key comes back
        // inactive, and the operator activates it.
        if (wanted == nullptr || restored.count(key_slot(domain, wanted->id))) continue;
        if (wanted->active) {
            out.notes.push_back(note(VAQ_PRIV_NOTE_IN_USE, domain, wanted->id));
            continue;
        }
        MasterKey *current = next.active_of(domain);
        if (current != nullptr && !rules.allowOlder && next.history.last_change(domain) != 0 &&
            wanted->created < current->created) {
            VaqPrivArrivalNote n = note(VAQ_PRIV_NOTE_OLDER_KEY, domain, wanted->id, wanted->created);
            n.otherKeyId = current->id;
            out.notes.push_back(n);
            VAQ_KLOG(LogLevel::kWarn, "domain %u: key %u is older than the active key %u; not made active\n", domain,
                     wanted->id, current->id);
            continue;
        }
        VaqPrivArrivalNote n = note(VAQ_PRIV_NOTE_SWITCHED, domain, wanted->id);
        if (current != nullptr) {
            n.otherKeyId = current->id;
            current->active = false;
        }
        wanted->active = true;
        if (contents.made != 0) next.history.set_change(domain, contents.made);
        out.notes.push_back(n);
        ++out.switched;
    }
    changed = out.keysAdded > 0 || out.switched > 0;
    return Ok();
}

}  // namespace vaq
