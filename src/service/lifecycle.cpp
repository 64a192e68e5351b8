// SPDX-License-Identifier: Apache-2.0
// Key lifecycle and keystore maintenance: each operation is one call into the
// key-management library inside the common frame of a key operation.
#include <cstddef>
#include <cstdint>
#include <iterator>

#include "common/log.h"
#include "keystore/keystore_version.h"
#include "service/operation_frame.h"
#include "telmor_vaq_api.h"
#include "vaq/vaq_api.h"

namespace {

// The caller's values, handed on unchanged; each row picks the ones it needs.
struct LifecycleArgs {
    uint32_t w1 = 0;
    uint32_t w2 = 0;
    uint32_t w3 = 0;
    uint32_t *out = nullptr;
    const void *in1 = nullptr;
    const void *in2 = nullptr;
};

struct LifecycleOp {
    unsigned long (*call)(const LifecycleArgs &);
    void (*log_failed)(unsigned long ret);
    void (*log_over)(unsigned long ret);  // null: success leaves no line
    bool announces;                       // moves the node's keystore version
};

// Passed as the work factor of every export; the key library may raise it.
constexpr uint32_t kExportWorkFactor = 1000;

int32_t version_for_log() { return static_cast<int32_t>(tv::shared_keystore_version()); }

const char *text(const void *p) { return static_cast<const char *>(p); }
const unsigned char *bytes(const void *p) { return static_cast<const unsigned char *>(p); }

enum class Op { kCreateMk, kUpdateMk, kActiveMk, kDelete, kUpdateRootKey, kExport, kImport, kCheck };

constexpr LifecycleOp kLifecycle[] = {
    {   // Op::kCreateMk
        [](const LifecycleArgs &a) { return VaqCreateMkEx(a.w1, a.out); },
        [](unsigned long r) { VAQ_LOG(tv::kError, "VaqCreateMkEx failed, ret=%lu.\n", r); },
        [](unsigned long r) { VAQ_LOG(tv::kInfo, " TELMOR VAQ CreateMK over ret=%lu.\n", r); },
        false},
    {   // Op::kUpdateMk
        [](const LifecycleArgs &a) { return VaqRegisterMkEx(a.w1, a.w2, bytes(a.in1), a.w3); },
        [](unsigned long r) { VAQ_LOG(tv::kError, "VaqRegisterMkEx failed, ret=%lu.\n", r); },
        [](unsigned long r) {
            VAQ_LOG(tv::kInfo, " TELMOR VAQ UpdateMK over ret=%lu.shm verison %d\n", r,
                    version_for_log());
        },
        true},
    {   // Op::kActiveMk
        [](const LifecycleArgs &a) { return VaqActivateMk(a.w1, a.w2); },
        [](unsigned long r) { VAQ_LOG(tv::kError, "VaqActivateMk failed, ret=%lu.\n", r); },
        [](unsigned long r) {
            VAQ_LOG(tv::kInfo, " TELMOR VAQ ActiveMK over ret=%lu.shm version %d\n", r,
                    version_for_log());
        },
        true},
    {   // Op::kDelete
        [](const LifecycleArgs &a) { return VaqRmvMk(a.w1, a.w2); },
        [](unsigned long r) { VAQ_LOG(tv::kError, "VaqRmvMk failed, ret=%lu.\n", r); },
        [](unsigned long r) { VAQ_LOG(tv::kInfo, " TELMOR VAQ deletekey over ret=%lu.\n", r); },
        false},
    {   // Op::kUpdateRootKey: new root material from the host's entropy
        [](const LifecycleArgs &) { return VaqUpdateRootKey(nullptr, 0); },
        [](unsigned long r) { VAQ_LOG(tv::kError, "VaqUpdateRootKey failed, ret=%lu.\n", r); },
        [](unsigned long r) { VAQ_LOG(tv::kInfo, " TELMOR VAQ UpdateRootkey over ret=%lu.\n", r); },
        false},
    {   // Op::kExport
        [](const LifecycleArgs &a) {
            return VaqExportMkFileEx(text(a.in1), bytes(a.in2), a.w1, kExportWorkFactor);
        },
        [](unsigned long r) { VAQ_LOG(tv::kError, "Failed to VaqExportMkFileEx, ret = %lu.\n", r); },
        [](unsigned long r) { VAQ_LOG(tv::kInfo, " TELMOR VAQ ExportMkFile over ret=%lu.\n", r); },
        false},
    {   // Op::kImport
        [](const LifecycleArgs &a) { return VaqImportMkFileEx(text(a.in1), bytes(a.in2), a.w1); },
        [](unsigned long r) { VAQ_LOG(tv::kError, "Failed to VaqImportMkFileEx, ret = %lu.\n", r); },
        [](unsigned long r) { VAQ_LOG(tv::kInfo, " TELMOR VAQ ImportMkFile over ret=%lu.\n", r); },
        false},
    {   // Op::kCheck
        [](const LifecycleArgs &a) { return VaqCheckKeyStore(a.w1, a.out); },
        [](unsigned long r) { VAQ_LOG(tv::kError, "TELMOR_VAQ_CheckKeyStore failed, ret=%lu.\n", r); },
        nullptr,
        false},
};
static_assert(std::size(kLifecycle) == static_cast<size_t>(Op::kCheck) + 1);

unsigned long run(Op which, const LifecycleArgs &args) {
    const LifecycleOp &op = kLifecycle[static_cast<size_t>(which)];
    if (!tv::keystore_in_step()) return 1;
    if (rdlock_vaq_mem() != 0) return 1;
    const unsigned long ret = op.call(args);
    // Announced whatever the answer: a failed call may still have changed the
    // keystore, and the other processes reload rather than miss that.
    if (op.announces) tv::announce_keystore_change(true);
    if (unlock_vaq_mem() != 0) return 1;
    if (ret != 0) op.log_failed(ret);
    if (op.log_over != nullptr) op.log_over(ret);
    return ret;
}

}  // namespace

extern "C" {

unsigned long TELMOR_VAQ_CreateMK(uint32_t domainId, uint32_t *keyId) {
    return run(Op::kCreateMk, {.w1 = domainId, .out = keyId});
}

unsigned long TELMOR_VAQ_UpdateMK(uint32_t domainId, uint32_t keyId, const unsigned char *key,
                                  uint32_t keyLen) {
    return run(Op::kUpdateMk, {.w1 = domainId, .w2 = keyId, .w3 = keyLen, .in1 = key});
}

unsigned long TELMOR_VAQ_ActiveMK(uint32_t domainId, uint32_t keyId) {
    return run(Op::kActiveMk, {.w1 = domainId, .w2 = keyId});
}

unsigned long TELMOR_VAQ_Delete(uint32_t domainId, uint32_t keyId) {
    return run(Op::kDelete, {.w1 = domainId, .w2 = keyId});
}

unsigned long TELMOR_VAQ_UpdateRootKey(void) { return run(Op::kUpdateRootKey, {}); }

unsigned long TELMOR_VAQ_ExportMkFile(const char *file, const unsigned char *password,
                                      uint32_t passwordLen) {
    return run(Op::kExport, {.w1 = passwordLen, .in1 = file, .in2 = password});
}

unsigned long TELMOR_VAQ_ImportMkFile(const char *file, const unsigned char *password,
                                      uint32_t passwordLen) {
    return run(Op::kImport, {.w1 = passwordLen, .in1 = file, .in2 = password});
}

unsigned long TELMOR_VAQ_CheckKeyStore(uint32_t repair, uint32_t *result) {
    return run(Op::kCheck, {.w1 = repair, .out = result});
}

}  // extern "C"
