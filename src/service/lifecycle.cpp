// SPDX-License-Identifier: Apache-2.0
// Key lifecycle and keystore maintenance: each operation is one call into the
// key-management library inside the common frame of a key operation.
#include <cstdint>
#include <optional>

#include "common/log.h"
#include "keystore/keystore_version.h"
#include "keystore/reader_lock.h"
#include "service/operation_frame.h"
#include "telmor_vaq_api.h"
#include "vaq/vaq_api.h"

namespace {

// Passed as the work factor of every export; the key library may raise it.
constexpr uint32_t kExportWorkFactor = 1000;

enum class Announce : bool { kNo, kYes };

int32_t version_for_log() { return static_cast<int32_t>(tv::shared_keystore_version()); }

// The frame of every lifecycle operation: this process in step with the
// keystore, then the key library's call under the reader lock. Its answer, or
// nothing when the frame failed (the frame has logged; the operation answers
// 1 and writes no line of its own). With Announce::kYes the node's keystore
// version moves whatever the answer: a failed call may still have changed the
// keystore, and the other processes reload rather than miss that.
template <typename Call>
std::optional<unsigned long> in_frame(Announce announce, Call &&call) {
    if (!tv::keystore_in_step()) return std::nullopt;
    tv::ReaderLock lock;
    if (!lock.held()) return std::nullopt;
    const unsigned long ret = call();
    if (announce == Announce::kYes) tv::announce_keystore_change(true);
    if (!lock.release()) return std::nullopt;
    return ret;
}

}  // namespace

extern "C" {

unsigned long TELMOR_VAQ_CreateMK(uint32_t domainId, uint32_t *keyId) {
    const auto ret = in_frame(Announce::kNo, [&] { return VaqCreateMkEx(domainId, keyId); });
    if (!ret) return 1;
    if (*ret != 0) VAQ_LOG(tv::kError, "VaqCreateMkEx failed, ret=%lu.\n", *ret);
    VAQ_LOG(tv::kInfo, " TELMOR VAQ CreateMK over ret=%lu.\n", *ret);
    return *ret;
}

unsigned long TELMOR_VAQ_UpdateMK(uint32_t domainId, uint32_t keyId, const unsigned char *key, uint32_t keyLen) {
    const auto ret = in_frame(Announce::kYes, [&] { return VaqRegisterMkEx(domainId, keyId, key, keyLen); });
    if (!ret) return 1;
    if (*ret != 0) VAQ_LOG(tv::kError, "VaqRegisterMkEx failed, ret=%lu.\n", *ret);
    VAQ_LOG(tv::kInfo, " TELMOR VAQ UpdateMK over ret=%lu.shm verison %d\n", *ret, version_for_log());
    return *ret;
}

unsigned long TELMOR_VAQ_ActiveMK(uint32_t domainId, uint32_t keyId) {
    const auto ret = in_frame(Announce::kYes, [&] { return VaqActivateMk(domainId, keyId); });
    if (!ret) return 1;
    if (*ret != 0) VAQ_LOG(tv::kError, "VaqActivateMk failed, ret=%lu.\n", *ret);
    VAQ_LOG(tv::kInfo, " TELMOR VAQ ActiveMK over ret=%lu.shm version %d\n", *ret, version_for_log());
    return *ret;
}

unsigned long TELMOR_VAQ_Delete(uint32_t domainId, uint32_t keyId) {
    const auto ret = in_frame(Announce::kNo, [&] { return VaqRmvMk(domainId, keyId); });
    if (!ret) return 1;
    if (*ret != 0) VAQ_LOG(tv::kError, "VaqRmvMk failed, ret=%lu.\n", *ret);
    VAQ_LOG(tv::kInfo, " TELMOR VAQ deletekey over ret=%lu.\n", *ret);
    return *ret;
}

// New root material from the host's entropy.
unsigned long TELMOR_VAQ_UpdateRootKey(void) {
    const auto ret = in_frame(Announce::kNo, [] { return VaqUpdateRootKey(nullptr, 0); });
    if (!ret) return 1;
    if (*ret != 0) VAQ_LOG(tv::kError, "VaqUpdateRootKey failed, ret=%lu.\n", *ret);
    VAQ_LOG(tv::kInfo, " TELMOR VAQ UpdateRootkey over ret=%lu.\n", *ret);
    return *ret;
}

unsigned long TELMOR_VAQ_ExportMkFile(const char *file, const unsigned char *password, uint32_t passwordLen) {
    const auto ret =
        in_frame(Announce::kNo, [&] { return VaqExportMkFileEx(file, password, passwordLen, kExportWorkFactor); });
    if (!ret) return 1;
    if (*ret != 0) VAQ_LOG(tv::kError, "Failed to VaqExportMkFileEx, ret = %lu.\n", *ret);
    VAQ_LOG(tv::kInfo, " TELMOR VAQ ExportMkFile over ret=%lu.\n", *ret);
    return *ret;
}

unsigned long TELMOR_VAQ_ImportMkFile(const char *file, const unsigned char *password, uint32_t passwordLen) {
    const auto ret = in_frame(Announce::kNo, [&] { return VaqImportMkFileEx(file, password, passwordLen); });
    if (!ret) return 1;
    if (*ret != 0) VAQ_LOG(tv::kError, "Failed to VaqImportMkFileEx, ret = %lu.\n", *ret);
    VAQ_LOG(tv::kInfo, " TELMOR VAQ ImportMkFile over ret=%lu.\n", *ret);
    return *ret;
}

// A check that succeeds leaves no line.
unsigned long TELMOR_VAQ_CheckKeyStore(uint32_t repair, uint32_t *result) {
    const auto ret = in_frame(Announce::kNo, [&] { return VaqCheckKeyStore(repair, result); });
    if (!ret) return 1;
    if (*ret != 0) VAQ_LOG(tv::kError, "TELMOR_VAQ_CheckKeyStore failed, ret=%lu.\n", *ret);
    return *ret;
}

}  // extern "C"
