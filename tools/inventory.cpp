// SPDX-License-Identifier: Apache-2.0
#include "inventory.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <cstdio>

#include "node_layout.h"
#include "telmor_vaq_api.h"

namespace cli {

namespace {

constexpr key_t kVersionSegmentKey = node_layout::kVersionSegmentKey;

Time to_time(const HX_VAQ_DATE_TIME *t) {
    if (t == nullptr) return {};
    return {t->year, t->month, t->day, t->hour, t->minute, t->second, true};
}

}  // namespace

std::string table_time(const Time &t) {
    if (!t.set) return "-";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", t.year, t.month, t.day, t.hour, t.minute, t.second);
    return buf;
}

std::string iso_time(const Time &t) {
    if (!t.set) return "";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02uT%02u:%02u:%02uZ", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
    return buf;
}

std::vector<KeyInfo> list_keys() {
    std::vector<KeyInfo> keys;
    int32_t count = 0;
    require(TELMOR_VAQ_GetMkNum(&count), "counting master keys", {});
    if (count <= 0) return keys;
    HX_VAQ_MK_LIST *list = nullptr;
    require(TELMOR_VAQ_Query_Mk_Info(&list), "listing master keys", {});
    for (int32_t i = 0; list != nullptr && i < list->count; ++i) {
        const HX_VAQ_MK *mk = list->items[i];
        if (mk == nullptr) continue;
        keys.push_back({mk->domainId, mk->keyId, mk->mkAttrA == 1, mk->mkAttrB == 1, mk->mkAttr16, to_time(mk->mkTimeA),
                        to_time(mk->mkTimeB)});
    }
    if (list != nullptr) {
        HX_VAQ_MK_FREE_ARRAY(list->items, list->count);
        HX_VAQ_MemFree(__LINE__, __FILE__, list);
    }
    std::sort(keys.begin(), keys.end(), [](const KeyInfo &a, const KeyInfo &b) {
        return a.domain != b.domain ? a.domain < b.domain : a.keyId < b.keyId;
    });
    return keys;
}

std::vector<DomainInfo> list_domains() {
    std::vector<DomainInfo> out;
    HX_VAQ_DOMAIN_LIST *list = nullptr;
    require(TELMOR_VAQ_Query_Domain_Info(&list), "listing domains", {});
    for (int32_t i = 0; list != nullptr && i < list->count; ++i) {
        if (list->items[i] != nullptr) out.push_back({list->items[i]->domainId, list->items[i]->domainAttr});
    }
    if (list != nullptr) {
        HX_VAQ_DOMAIN_FREE_ARRAY(list->items, list->count);
        HX_VAQ_MemFree(__LINE__, __FILE__, list);
    }
    std::sort(out.begin(), out.end(), [](const DomainInfo &a, const DomainInfo &b) { return a.id < b.id; });
    return out;
}

bool domain_exists(uint32_t domain) {
    for (const DomainInfo &d : list_domains()) {
        if (d.id == domain) return true;
    }
    return false;
}

void need_domain_exists(uint32_t domain, const Context &ctx) {
    if (domain_exists(domain)) return;
    Context c = ctx;
    c.domain = domain;
    throw tool_failure(cause(2010, c));
}

std::vector<uint32_t> key_ids(uint32_t domain) {
    std::vector<uint32_t> ids;
    for (const KeyInfo &k : list_keys()) {
        if (k.domain == domain) ids.push_back(k.keyId);
    }
    return ids;
}

std::optional<uint32_t> active_key(uint32_t domain) {
    for (const KeyInfo &k : list_keys()) {
        if (k.domain == domain && k.active) return k.keyId;
    }
    return std::nullopt;
}

std::optional<uint32_t> node_version() {
    const int id = shmget(kVersionSegmentKey, 0, 0);
    if (id < 0) return std::nullopt;
    void *addr = shmat(id, nullptr, SHM_RDONLY);
    if (addr == reinterpret_cast<void *>(-1)) return std::nullopt;
    const uint32_t v = __atomic_load_n(static_cast<uint32_t *>(addr), __ATOMIC_SEQ_CST);
    shmdt(addr);
    return v;
}

}  // namespace cli
