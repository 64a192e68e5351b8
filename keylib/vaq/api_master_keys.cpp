// SPDX-License-Identifier: Apache-2.0
// Master keys: inventory and lifecycle. Every change goes through
// State::change, so what it decides (is the id free, which key is active) is
// decided on the newest keystore under the process lock.
#include <cstring>

#include "audited.h"
#include "export.h"

using namespace vaq;

namespace {

Status fill_record(const State &s, const MasterKey &k, VaqMkRecord *out) {
    VaqMkRecord r{};
    r.domainId = k.domain;
    r.keyId = k.id;
    r.keyLen = static_cast<uint16_t>(k.material.size());
    r.active = k.active ? 1 : 0;
    r.origin = k.origin;
    int64_t expires = k.created + int64_t{k.lifeDays} * 86400;
    if (!s.host.utc(k.created, &r.created) || !s.host.utc(expires, &r.expires))
        return Fail(VAQ_ERR_INTERNAL, "the host's UTC time service failed");
    *out = r;
    return Ok();
}

// The key type that new keys of a domain take their life from.
Status key_type_of(State &s, uint32_t domainId, uint32_t &lifeDays) {
    Domain *d = s.find_domain(domainId);
    if (d == nullptr) return Fail(VAQ_ERR_UNKNOWN_DOMAIN, "domain not provisioned");
    if (!d->hasKeyType) return Fail(VAQ_ERR_NO_KEY_TYPE, "domain has no key type");
    lifeDays = d->keyType.lifeDays;
    return Ok();
}

}  // namespace

HXB_EXPORT int32_t VaqGetMkCount(void) {
    int32_t count = 0;
    with_state("VaqGetMkCount", [&](State &s) -> Status {
        count = static_cast<int32_t>(s.keystore.keys.size());
        return Ok();
    });
    return count;
}

HXB_EXPORT unsigned long VaqGetMk(uint32_t index, VaqMkRecord *record) {
    CallName call("VaqGetMk", "index %u", index);
    return with_state(call.c_str(), [&](State &s) -> Status {
        if (record == nullptr) return Fail(VAQ_ERR_NULL_ARG, "the master-key record is null");
        if (index >= s.keystore.keys.size()) return Fail(VAQ_ERR_INDEX_RANGE, "index beyond the master-key count");
        return fill_record(s, s.keystore.keys[index], record);
    });
}

HXB_EXPORT unsigned long VaqGetMkDetail(uint32_t domainId, uint32_t keyId, void *record, void *key, void *keyLen) {
    CallName call("VaqGetMkDetail", "domain %u, key %u", domainId, keyId);
    return with_state(call.c_str(), [&](State &s) -> Status {
        if (record == nullptr || keyLen == nullptr) return Fail(VAQ_ERR_NULL_ARG, "the record or the length is null");
        const MasterKey *k = s.keystore.find(domainId, keyId);
        if (k == nullptr) return Fail(VAQ_ERR_UNKNOWN_KEY, "no such master key");
        uint32_t capacity;
        std::memcpy(&capacity, keyLen, sizeof capacity);
        uint32_t needed = static_cast<uint32_t>(k->material.size());
        if (key == nullptr || capacity < needed) {
            std::memcpy(keyLen, &needed, sizeof needed);
            return Fail(VAQ_ERR_BUFFER_TOO_SMALL, "key buffer too small; needed length returned");
        }
        VaqMkRecord r;
        Status st = fill_record(s, *k, &r);
        if (!st.ok()) return st;
        std::memcpy(record, &r, sizeof r);
        std::memcpy(key, k->material.data(), needed);
        std::memcpy(keyLen, &needed, sizeof needed);
        return Ok();
    });
}

HXB_EXPORT unsigned long VaqCreateMkEx(uint32_t domainId, uint32_t *keyId) {
    CallName call("VaqCreateMkEx", "domain %u", domainId);
    auto event = [&] { return AuditEvent{.op = "create-key", .domain = domainId}; };
    return with_audit(call.c_str(), event, [&](State &s) -> Status {
        if (keyId == nullptr) return Fail(VAQ_ERR_NULL_ARG, "the key id pointer is null");
        uint32_t lifeDays = 0;
        Status st = key_type_of(s, domainId, lifeDays);
        if (!st.ok()) return st;
        uint32_t id = 0;
        st = s.change([&](Keystore &next, bool &changed) -> Status {
            Status g = s.generate_key(next, domainId, lifeDays, &id);
            if (g.ok()) next.history.changed(domainId, now_seconds());
            changed = g.ok();
            return g;
        });
        if (st.ok()) *keyId = id;
        return st;
    });
}

HXB_EXPORT unsigned long VaqRegisterMkEx(uint32_t domainId, uint32_t keyId, const unsigned char *key, uint32_t keyLen) {
    CallName call("VaqRegisterMkEx", "domain %u, key %u, %u bytes", domainId, keyId, keyLen);
    auto event = [&] { return AuditEvent{.op = "register-key", .domain = domainId, .keys = {keyId}}; };
    return with_audit(call.c_str(), event, [&](State &s) -> Status {
        if (key == nullptr) return Fail(VAQ_ERR_NULL_ARG, "the key material is null");
        if (keyLen < kMinMaterialBytes || keyLen > kMaxMaterialBytes)
            return Fail(VAQ_ERR_BAD_LENGTH, "key material must be 16 to 256 bytes");
        if (keyId == 0) return Fail(VAQ_ERR_BAD_ARG, "key id 0 is reserved");
        uint32_t lifeDays = 0;
        Status st = key_type_of(s, domainId, lifeDays);
        if (!st.ok()) return st;
        ByteView material(key, keyLen);
        return s.change([&](Keystore &next, bool &changed) -> Status {
            if (const MasterKey *existing = next.find(domainId, keyId)) {
                if (existing->material.equals(material)) return Ok();
                return Fail(VAQ_ERR_KEY_EXISTS, "key id already used in the domain");
            }
            if (next.keys.size() >= kMaxKeys) return Fail(VAQ_ERR_LIMIT, "the keystore holds the most keys it can");
            MasterKey k;
            k.domain = domainId;
            k.id = keyId;
            k.origin = kRegistered;
            k.created = now_seconds();
            k.lifeDays = lifeDays;
            k.material = material_copy(material);
            Status w = wrap_key(s.host, next.root, k);
            if (!w.ok()) return w;
            // Registering an id deleted here is the caller bringing it back.
            next.history.forget(domainId, keyId);
            next.keys.push_back(std::move(k));
            changed = true;
            return Ok();
        });
    });
}

HXB_EXPORT unsigned long VaqActivateMk(uint32_t domainId, uint32_t keyId) {
    CallName call("VaqActivateMk", "domain %u, key %u", domainId, keyId);
    auto event = [&] { return AuditEvent{.op = "activate-key", .domain = domainId, .keys = {keyId}}; };
    return with_audit(call.c_str(), event, [&](State &s) -> Status {
        return s.change([&](Keystore &next, bool &changed) -> Status {
            MasterKey *k = next.find(domainId, keyId);
            if (k == nullptr) return Fail(VAQ_ERR_UNKNOWN_KEY, "no such master key");
            if (k->active) return Ok();
            if (MasterKey *previous = next.active_of(domainId)) previous->active = false;
            k->active = true;
            next.history.changed(domainId, now_seconds());
            changed = true;
            return Ok();
        });
    });
}

HXB_EXPORT unsigned long VaqRmvMk(uint32_t domainId, uint32_t keyId) {
    CallName call("VaqRmvMk", "domain %u, key %u", domainId, keyId);
    auto event = [&] { return AuditEvent{.op = "delete-key", .domain = domainId, .keys = {keyId}}; };
    return with_audit(call.c_str(), event, [&](State &s) -> Status {
        return s.change([&](Keystore &next, bool &changed) -> Status {
            const MasterKey *k = next.find(domainId, keyId);
            if (k == nullptr) return Fail(VAQ_ERR_UNKNOWN_KEY, "no such master key");
            if (k->active) return Fail(VAQ_ERR_KEY_ACTIVE, "the domain's active key cannot be removed");
            std::erase_if(next.keys, [&](const MasterKey &m) { return m.domain == domainId && m.id == keyId; });
            // Remembered, so that no export or restored copy brings it back
            // unasked.
            if (next.history.retire(domainId, keyId, now_seconds()))
                VAQ_KLOG(LogLevel::kWarn, "the keystore remembers %zu deleted keys; the oldest is forgotten\n",
                         kMaxRetiredKeys);
            changed = true;
            return Ok();
        });
    });
}
