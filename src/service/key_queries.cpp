// SPDX-License-Identifier: Apache-2.0
// Queries of single facts about master keys: the key ids of one domain, one
// key's details, and the number of keys.
#include <cstdint>

#include "common/log.h"
#include "host/bounded.h"
#include "keystore/reader_lock.h"
#include "service/mem_block.h"
#include "service/operation_frame.h"
#include "telmor_vaq_api.h"
#include "vaq/vaq_api.h"

namespace {

// This library's own code for a domain that holds no master key.
constexpr unsigned long kNoKeyInDomain = 268;

// The ids of the domain's keys, in the key library's index order. Runs under
// the reader lock.
unsigned long collect_key_ids(uint32_t ulDomainId, uint32_t **keyIdList, uint32_t *count) {
    const int32_t n = VaqGetMkCount();
    if (n == 0) {
        VAQ_LOG(tv::kError, "master key count is 0.\n");
        return 1;
    }
    const tv::MemBlock<uint32_t> tmpKeyId(static_cast<uint32_t *>(VAQ_ALLOC(tv::array_bytes(n, sizeof(uint32_t)))));
    if (tmpKeyId == nullptr) {
        VAQ_LOG(tv::kError, "alloc tmpKeyId mem fail\n");
        return 1;
    }
    tv::MemBlock<VaqMkRecord> record(static_cast<VaqMkRecord *>(VAQ_ALLOC(static_cast<int32_t>(sizeof(VaqMkRecord)))));
    if (record == nullptr) {
        VAQ_LOG(tv::kError, "HX_VAQ_ALLOC failed.\n");
        return 1;
    }

    uint32_t j = 0;
    for (int32_t i = 0; i < n; ++i) {
        tv::memset_s(record.get(), sizeof(VaqMkRecord), 0, sizeof(VaqMkRecord));
        const unsigned long ret = VaqGetMk(static_cast<uint32_t>(i), record.get());
        if (ret != 0) {
            VAQ_LOG(tv::kError, "Failed to VaqGetMk, i=%d, ulDomainId=%d.\n", i, static_cast<int32_t>(ulDomainId));
            return ret;
        }
        if (record->domainId == ulDomainId) tmpKeyId.get()[j++] = record->keyId;
    }
    record.reset();
    if (j == 0) {
        VAQ_LOG(tv::kError, "the Mk_Info num is zero in domain[%d].\n", static_cast<int32_t>(ulDomainId));
        return kNoKeyInDomain;
    }

    const int32_t bytes = static_cast<int32_t>(j * sizeof(uint32_t));  // j <= n: fits
    *keyIdList = static_cast<uint32_t *>(VAQ_ALLOC(bytes));
    if (*keyIdList == nullptr) {
        VAQ_LOG(tv::kError, "HX_VAQ_ALLOC failed.\n");
        return 1;
    }
    if (tv::memcpy_s(*keyIdList, static_cast<size_t>(bytes), tmpKeyId.get(), static_cast<size_t>(bytes)) != 0) {
        VAQ_LOG(tv::kError, " TELMOR VAQ getkeyidlist memcpy keyIdList error.\n");
        VAQ_FREE(*keyIdList);
        return 1;
    }
    *count = j;
    return 0;
}

}  // namespace

extern "C" unsigned long TELMOR_VAQ_GetKeyId_List(uint32_t ulDomainId, uint32_t **keyIdList, uint32_t *count) {
    if (count == nullptr || keyIdList == nullptr) {
        VAQ_LOG(tv::kError, "parameter is null.\n");
        return 1;
    }
    *count = 0;
    if (!tv::keystore_in_step()) return 1;
    tv::ReaderLock lock;
    if (!lock.held()) return 1;
    const unsigned long result = collect_key_ids(ulDomainId, keyIdList, count);
    if (!lock.release()) return 1;
    VAQ_LOG(tv::kInfo, " TELMOR VAQ getkeyidlist over ret=%lu.\n", result);
    return result;
}

extern "C" unsigned long TELMOR_VAQ_GetMkInfo(uint32_t domainId, uint32_t keyId, void *mkRecord, void *keyBuf,
                                              void *keyLen) {
    if (!tv::keystore_in_step()) return 1;
    tv::ReaderLock lock;
    if (!lock.held()) return 1;
    const unsigned long ret = VaqGetMkDetail(domainId, keyId, mkRecord, keyBuf, keyLen);
    if (!lock.release()) return 1;
    if (ret != 0) {
        VAQ_LOG(tv::kError, "VaqGetMkDetail failed, ret=%lu.\n", ret);
        return ret;
    }
    VAQ_LOG(tv::kInfo, " TELMOR VAQ GetMkInfo over ret=%lu.\n", 0UL);
    return 0;
}

extern "C" unsigned long TELMOR_VAQ_GetMkNum(int32_t *count) {
    if (count == nullptr) {
        VAQ_LOG(tv::kError, "parameter is null.\n");
        return 1;
    }
    if (!tv::keystore_in_step()) return 1;
    tv::ReaderLock lock;
    if (!lock.held()) return 1;
    *count = VaqGetMkCount();
    if (!lock.release()) return 1;

    unsigned long result = 0;
    if (*count < 0) {
        VAQ_LOG(tv::kError, "get mk_num is invalid, num=%d.\n", *count);
        result = 1;
    }
    VAQ_LOG(tv::kInfo, " TELMOR VAQ GetMkNum over ret=%lu.\n", result);
    return result;
}
