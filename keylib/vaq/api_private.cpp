// SPDX-License-Identifier: Apache-2.0
// The private interface for libhxbQor.so (vaq_private.h). These run on every
// encryption that misses its cache, so they take only the key-index lock.
#include "vaq/vaq_private.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "audited.h"
#include "export.h"
#include "token_key.h"

using namespace vaq;

HXB_EXPORT uint64_t VaqPrivKeyEpoch(void) { return g_key_epoch.load(std::memory_order_acquire); }

HXB_EXPORT uint32_t VaqPrivWorkingKey(uint32_t domainId, uint32_t keyId, unsigned char *out, uint64_t *epoch) {
    State *s = g_state.load(std::memory_order_acquire);
    if (s == nullptr || out == nullptr || epoch == nullptr) return VAQ_ERR_NOT_INITIALIZED;
    return s->working_key(domainId, keyId, out, epoch);
}

HXB_EXPORT uint32_t VaqPrivActiveKey(uint32_t domainId, uint32_t *keyId, unsigned char *out, uint64_t *epoch) {
    State *s = g_state.load(std::memory_order_acquire);
    if (s == nullptr || keyId == nullptr || out == nullptr || epoch == nullptr) return VAQ_ERR_NOT_INITIALIZED;
    return s->active_key(domainId, keyId, out, epoch);
}

HXB_EXPORT void VaqPrivSetUnloadHook(void (*hook)(void)) { g_unload_hook.store(hook, std::memory_order_release); }

HXB_EXPORT void VaqPrivLog(int32_t level, const char *module, const char *file, int32_t line, const char *message) {
    if (message == nullptr) return;
    log_text(static_cast<LogLevel>(level), module ? module : "?", file ? file : "?", line, message);
}

HXB_EXPORT uint32_t VaqPrivProtect(uint32_t kind, uint32_t pcrMask) {
    CallName call("VaqPrivProtect", "%u, pcr mask 0x%x", kind, pcrMask);
    auto event = [] { return AuditEvent{.op = "protect"}; };
    return static_cast<uint32_t>(with_audit(call.c_str(), event, [&](State &s) -> Status {
        if (kind == VAQ_PRIV_PROTECTOR_PKCS11)
            return Fail(VAQ_ERR_BAD_ARG, "the pkcs11 protector is chosen with its key's URI (VaqPrivProtectToken)");
        if (kind != VAQ_PRIV_PROTECTOR_FILE && kind != VAQ_PRIV_PROTECTOR_TPM2)
            return Fail(VAQ_ERR_BAD_ARG, "no such root protector");
        if (kind == VAQ_PRIV_PROTECTOR_FILE && pcrMask != 0) return Fail(VAQ_ERR_BAD_ARG, "PCRs bind only a tpm2 seal");
        if (pcrMask >> 24 != 0) return Fail(VAQ_ERR_BAD_ARG, "PCRs are numbered 0 to 23");
        ProtectorOptions options;
        options.pcrMask = pcrMask;
        return s.protect(static_cast<ProtectorKind>(kind), options);
    }));
}

HXB_EXPORT uint32_t VaqPrivProtectToken(const char *keyUri) {
    // The URI is named in the call's line only once parsed: a refused one may
    // carry a PIN (pin-value), which no line may show.
    TokenUri parsed;
    Status parsedStatus = keyUri ? parse_token_uri(keyUri, parsed) : Fail(VAQ_ERR_NULL_ARG, "no key URI");
    CallName call("VaqPrivProtectToken", "%s", parsedStatus.ok() ? parsed.text.c_str() : "(refused URI)");
    auto event = [] { return AuditEvent{.op = "protect"}; };
    return static_cast<uint32_t>(with_audit(call.c_str(), event, [&](State &s) -> Status {
        if (!parsedStatus.ok()) return parsedStatus;
        ProtectorOptions options;
        options.keyUri = parsed.text;
        return s.protect(ProtectorKind::kPkcs11, options);
    }));
}

HXB_EXPORT uint32_t VaqPrivTokenUriRefusal(const char *keyUri, uint32_t forExport, char *why, uint32_t whyLen) {
    if (keyUri == nullptr || (why == nullptr && whyLen != 0)) return VAQ_ERR_NULL_ARG;
    TokenUri parsed;
    Status s = parse_token_uri(keyUri, parsed);
    std::string said = s.ok() ? "" : s.why;
    if (s.ok() && forExport != 0 && !pin_source_is_a_pin(parsed)) {
        s = Fail(VAQ_ERR_BAD_ARG, "refused");
        said = std::string("the key's URI is refused: ") + kExportPinRule;
    }
    // The parser's line, without the prefix every token line carries.
    if (said.rfind("pkcs11: ", 0) == 0) said.erase(0, 8);
    if (whyLen > 0) {
        const size_t n = std::min<size_t>(said.size(), whyLen - 1);
        std::memcpy(why, said.data(), n);
        why[n] = '\0';
    }
    return static_cast<uint32_t>(s.code);
}

HXB_EXPORT uint32_t VaqPrivProtectorInfo(uint32_t *kind, uint32_t *pcrMask, char *location, uint32_t locationLen) {
    return static_cast<uint32_t>(with_state("VaqPrivProtectorInfo", [&](State &s) -> Status {
        if (kind == nullptr || pcrMask == nullptr || (location == nullptr && locationLen != 0))
            return Fail(VAQ_ERR_NULL_ARG, "an output pointer is null");
        *kind = static_cast<uint32_t>(s.keystore.protector);
        *pcrMask = 0;
        std::string where;
        if (RootProtector *p = s.protectors->get(s.keystore.protector)) {
            const ProtectorOptions o = p->options_of(s.keystore.sealedRoot);
            *pcrMask = o.pcrMask;
            where = o.keyUri.empty() ? p->location() : o.keyUri;
        }
        if (locationLen > 0) {
            size_t n = std::min<size_t>(where.size(), locationLen - 1);
            std::memcpy(location, where.data(), n);
            location[n] = '\0';
        }
        return Ok();
    }));
}

HXB_EXPORT void VaqPrivSetInspectOnly(uint32_t on) { g_inspect_only.store(on != 0, std::memory_order_relaxed); }

HXB_EXPORT uint32_t VaqPrivLastLoadFindings(VaqPrivLoadFindings *out) {
    if (out == nullptr) return VAQ_ERR_NULL_ARG;
    const LoadFindings &f = g_load_findings;
    if (!f.taken) return VAQ_ERR_NOT_INITIALIZED;
    *out = VaqPrivLoadFindings{};
    for (int i = 0; i < 2; ++i) {
        switch (f.state[i]) {
            case CopyState::kMissing:
                out->state[i] = VAQ_PRIV_COPY_MISSING;
                break;
            case CopyState::kEmpty:
                out->state[i] = VAQ_PRIV_COPY_EMPTY;
                break;
            case CopyState::kValid:
                out->state[i] = VAQ_PRIV_COPY_VALID;
                break;
            case CopyState::kCorrupt:
                out->state[i] = VAQ_PRIV_COPY_DAMAGED;
                break;
            case CopyState::kNewerFormat:
                out->state[i] = VAQ_PRIV_COPY_NEWER_FORMAT;
                break;
            case CopyState::kUnreadable:
                out->state[i] = VAQ_PRIV_COPY_UNREADABLE;
                break;
            case CopyState::kForeign:
                out->state[i] = VAQ_PRIV_COPY_FOREIGN;
                break;
        }
        const auto bit = [](bool set, uint32_t flag) { return set ? flag : 0u; };
        out->found[i] = bit(f.stale[i], VAQ_PRIV_FOUND_STALE) | bit(f.unsafe[i], VAQ_PRIV_FOUND_UNSAFE) |
                        bit(f.unopened[i], VAQ_PRIV_FOUND_UNOPENED) | bit(f.rewritten[i], VAQ_PRIV_FOUND_REWRITTEN);
        out->generation[i] = f.generation[i];
    }
    out->loaded = f.best;
    out->flags = (f.created ? uint32_t{VAQ_PRIV_LOAD_CREATED} : 0u) |
                 (f.withheld ? uint32_t{VAQ_PRIV_LOAD_WITHHELD} : 0u) |
                 (f.changeWithheld ? uint32_t{VAQ_PRIV_LOAD_CHANGE_WITHHELD} : 0u);
    return 0;
}
