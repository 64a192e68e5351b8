// SPDX-License-Identifier: Apache-2.0
// The audit trail's private entries for the tool: set-up, the tool's own
// records, and where the trail is.
#include <openssl/crypto.h>

#include <cstring>

#include "audited.h"
#include "export.h"
#include "vaq/vaq_private.h"

using namespace vaq;

HXB_EXPORT uint32_t VaqPrivAuditInit(uint32_t recordsPerEpoch, uint32_t secondsPerEpoch,
                                     unsigned char *verificationKey) {
    CallName call("VaqPrivAuditInit", "%u records, %u seconds per epoch", recordsPerEpoch, secondsPerEpoch);
    return static_cast<uint32_t>(with_state(call.c_str(), [&](State &s) -> Status {
        if (verificationKey == nullptr) return Fail(VAQ_ERR_NULL_ARG, "no buffer for the verification key");
        ProcessLockGuard pl(s.host, s.process_lock());
        if (!pl.held()) return pl.status();
        hxb::audit::Key v{};
        Status st = s.audit->init(recordsPerEpoch, secondsPerEpoch, v);
        if (st.ok()) std::memcpy(verificationKey, v.data(), v.size());
        OPENSSL_cleanse(v.data(), v.size());
        if (st.ok()) VAQ_KLOG(LogLevel::kInfo, "audit trail begun: %s\n", s.audit->trail_path().c_str());
        return st;
    }));
}

HXB_EXPORT uint32_t VaqPrivAuditNote(const char *op, int64_t domain, const uint32_t *keys, uint32_t keyCount,
                                     const char *file, uint32_t result, const char *detail, uint32_t *recorded) {
    CallName call("VaqPrivAuditNote", "%.64s", op ? op : "null");
    return static_cast<uint32_t>(with_state(call.c_str(), [&](State &s) -> Status {
        if (op == nullptr || *op == '\0' || (keys == nullptr && keyCount != 0))
            return Fail(VAQ_ERR_NULL_ARG, "no operation, or key ids missing");
        if (keyCount > 4096) return Fail(VAQ_ERR_BAD_ARG, "too many key ids");
        AuditEvent event{.op = op};
        if (domain >= 0 && domain <= UINT32_MAX) event.domain = static_cast<uint32_t>(domain);
        event.keys.assign(keys, keys + keyCount);
        if (file) event.file = file;
        if (detail) event.detail = detail;
        Status st = s.record(event, result);
        if (recorded) *recorded = event.recorded ? 1 : 0;
        return st;
    }));
}

HXB_EXPORT uint32_t VaqPrivAuditUsage(uint32_t domainId, uint32_t keyId, uint64_t count) {
    return static_cast<uint32_t>(with_state("VaqPrivAuditUsage", [&](State &s) -> Status {
        AuditEvent event{.op = "usage", .domain = domainId, .keys = {keyId}};
        event.detail = "encryptions=" + std::to_string(count);
        return s.record(event, 0);
    }));
}

HXB_EXPORT void VaqPrivSetUsageHook(void (*hook)(void)) { g_usage_hook.store(hook, std::memory_order_release); }

HXB_EXPORT uint32_t VaqPrivAuditTrailPath(char *out, uint32_t size) {
    return static_cast<uint32_t>(with_state("VaqPrivAuditTrailPath", [&](State &s) -> Status {
        const std::string &path = s.audit->trail_path();
        if (out == nullptr || size <= path.size()) return Fail(VAQ_ERR_BUFFER_TOO_SMALL, "no room for the path");
        std::memcpy(out, path.c_str(), path.size() + 1);
        return Ok();
    }));
}
