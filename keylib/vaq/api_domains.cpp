// SPDX-License-Identifier: Apache-2.0
// Key domains and their key types: configuration the host provisions at every
// load. Adding what is there and removing what is not both answer 0.
#include <cstring>

#include "audited.h"
#include "export.h"

using namespace vaq;

HXB_EXPORT unsigned long VaqRmvDomainEx(uint32_t domainId) {
    CallName call("VaqRmvDomainEx", "domain %u", domainId);
    return with_state(call.c_str(), [&](State &s) -> Status {
        // Only the configuration goes; master keys of the domain stay in the
        // keystore, since data may still be sealed under them.
        std::erase_if(s.domains, [&](const Domain &d) { return d.record.domainId == domainId; });
        return Ok();
    });
}

HXB_EXPORT unsigned long VaqAddDomainEx(const VaqDomainRecord *domain) {
    return with_state("VaqAddDomainEx", [&](State &s) -> Status {
        if (domain == nullptr) return Fail(VAQ_ERR_NULL_ARG, "the domain record is null");
        if (strnlen(domain->name, sizeof domain->name) == sizeof domain->name)
            return Fail(VAQ_ERR_BAD_ARG, "the domain name is not terminated");
        if (Domain *d = s.find_domain(domain->domainId)) {
            d->record = *domain;
            return Ok();
        }
        if (s.domains.size() >= kMaxDomains) return Fail(VAQ_ERR_LIMIT, "too many domains");
        Domain d;
        d.record = *domain;
        s.domains.push_back(d);
        return Ok();
    });
}

HXB_EXPORT unsigned long VaqAddDomainKeyTypeEx(uint32_t domainId, const VaqKeyTypeRecord *keyType) {
    CallName call("VaqAddDomainKeyTypeEx", "domain %u", domainId);
    // Provisioning, at every load: only the first key it makes is recorded.
    auto firstKey = [&] {
        return AuditEvent{.op = "create-key",
                          .domain = domainId,
                          .detail = "the domain's first key, made as it was provisioned",
                          .recordUnchanged = false,
                          .recordRefusal = false};
    };
    return with_audit(call.c_str(), firstKey, [&](State &s) -> Status {
        if (keyType == nullptr) return Fail(VAQ_ERR_NULL_ARG, "the key-type record is null");
        Domain *d = s.find_domain(domainId);
        if (d == nullptr) return Fail(VAQ_ERR_UNKNOWN_DOMAIN, "domain not provisioned");
        if (keyType->lifeDays == 0 || keyType->lifeDays > kMaxLifeDays)
            return Fail(VAQ_ERR_BAD_ARG, "key life out of range");
        d->keyType = *keyType;
        d->hasKeyType = true;
        if (d->record.attr != 1 || s.keystore.has_key_in(domainId)) return Ok();
        // Decided again under the process lock, after taking in the disk:
        // another process may have given the domain its first key meanwhile.
        uint32_t lifeDays = keyType->lifeDays;
        return s.change([&](Keystore &next, bool &changed) -> Status {
            if (next.has_key_in(domainId)) return Ok();
            uint32_t id = 0;
            Status st = s.generate_key(next, domainId, lifeDays, &id);
            changed = st.ok();
            if (changed) VAQ_KLOG(LogLevel::kInfo, "first master key %u of domain %u generated\n", id, domainId);
            return st;
        });
    });
}

HXB_EXPORT int32_t VaqGetDomainCount(void) {
    int32_t count = 0;
    with_state("VaqGetDomainCount", [&](State &s) -> Status {
        count = static_cast<int32_t>(s.domains.size());
        return Ok();
    });
    return count;
}

HXB_EXPORT unsigned long VaqGetDomain(uint32_t index, VaqDomainRecord *record) {
    CallName call("VaqGetDomain", "index %u", index);
    return with_state(call.c_str(), [&](State &s) -> Status {
        if (record == nullptr) return Fail(VAQ_ERR_NULL_ARG, "the domain record is null");
        if (index >= s.domains.size()) return Fail(VAQ_ERR_INDEX_RANGE, "index beyond the domain count");
        *record = s.domains[index].record;
        return Ok();
    });
}
