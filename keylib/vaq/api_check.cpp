// SPDX-License-Identifier: Apache-2.0
// Verification of both keystore copies, with an optional repair.
#include "edge.h"
#include "export.h"

using namespace vaq;

HXB_EXPORT unsigned long VaqCheckKeyStore(uint32_t repair, uint32_t *result) {
    CallName call("VaqCheckKeyStore", "repair %u", repair);
    return with_state(call.c_str(), [&](State &s) -> Status {
        if (result == nullptr) return Fail(VAQ_ERR_NULL_ARG, "the result pointer is null");
        ProcessLockGuard pl(s.host, s.process_lock());
        if (!pl.held()) return pl.status();
        KeystorePair pair = read_pair(s.host, s.paths, *s.protectors);
        // A copy is good when it is valid and as new as the newest one; the
        // result tells what was found, before any repair.
        uint32_t bits = 0;
        for (int i = 0; i < 2; ++i)
            if (pair.copies[i].state == CopyState::kValid && !pair.needs_repair(i)) bits |= 1u << i;
        *result = bits;
        if (repair == 0 || bits == 3) return Ok();
        if (pair.has_newer_format()) return pair.unusable_status();
        if (!pair.has_valid()) {
            if (pair.has_unusable_data()) return pair.unusable_status();
            return Fail(VAQ_ERR_KEYSTORE_CORRUPT, "no valid copy to repair from");
        }
        return repair_pair(s.host, s.paths, pair, kVaqModule);
    });
}
