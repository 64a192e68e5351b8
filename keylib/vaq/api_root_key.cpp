// SPDX-License-Identifier: Apache-2.0
// The root key: what it reports, and its renewal, which rewraps every master
// key in one keystore change.
#include <cstring>

#include "audited.h"
#include "export.h"

using namespace vaq;

namespace {

constexpr uint32_t kMaxCallerEntropy = 4096;

}  // namespace

HXB_EXPORT unsigned long VaqGetRootKeyInfo(VaqRootKeyRecord *record) {
    return with_state("VaqGetRootKeyInfo", [&](State &s) -> Status {
        if (record == nullptr) return Fail(VAQ_ERR_NULL_ARG, "the root-key record is null");
        const RootKey &root = s.keystore.root;
        VaqRootKeyRecord r{};
        r.version = root.version;
        int64_t expires = root.created + int64_t{root.lifeDays} * 86400;
        r.valid = now_seconds() < expires ? 1 : 0;
        r.wrappedKeys = static_cast<uint32_t>(s.keystore.keys.size());
        if (!s.host.utc(root.created, &r.created) || !s.host.utc(expires, &r.expires))
            return Fail(VAQ_ERR_INTERNAL, "the host's UTC time service failed");
        *record = r;
        return Ok();
    });
}

HXB_EXPORT unsigned long VaqGetRootKeyCfg(VaqRootKeyCfgRecord *record) {
    return with_state("VaqGetRootKeyCfg", [&](State &s) -> Status {
        if (record == nullptr) return Fail(VAQ_ERR_NULL_ARG, "the configuration record is null");
        VaqRootKeyCfgRecord r{};
        r.lifeDays = s.keystore.root.lifeDays;
        r.strengthBits = s.keystore.root.strengthBits;
        *record = r;
        return Ok();
    });
}

HXB_EXPORT unsigned long VaqUpdateRootKey(const void *entropy, uint32_t entropyLen) {
    auto event = [] { return AuditEvent{.op = "renew-root"}; };
    return with_audit("VaqUpdateRootKey", event, [&](State &s) -> Status {
        if (entropy == nullptr && entropyLen != 0)
            return Fail(VAQ_ERR_NULL_ARG, "entropy length given without entropy");
        if (entropyLen > kMaxCallerEntropy) return Fail(VAQ_ERR_BAD_LENGTH, "too much entropy given");
        return s.change([&](Keystore &next, bool &changed) -> Status {
            Status st = s.renew_root(next, ByteView(static_cast<const uint8_t *>(entropy), entropyLen));
            if (st.ok()) st = s.reseal(next);
            if (!st.ok()) return st;
            changed = true;
            VAQ_KLOG(LogLevel::kInfo, "root key renewed to version %u, %zu master keys rewrapped\n",
                     static_cast<unsigned>(next.root.version), next.keys.size());
            return Ok();
        });
    });
}
