// SPDX-License-Identifier: Apache-2.0
// Queries that hand out copies of the key library's records: every master
// key, the root key with its configuration, every domain. A query that fails
// hands out nothing.
#include <cstdint>

#include "common/log.h"
#include "host/bounded.h"
#include "keystore/reader_lock.h"
#include "service/handed_out.h"
#include "service/mem_block.h"
#include "service/operation_frame.h"
#include "service/record_copy.h"
#include "telmor_vaq_api.h"
#include "vaq/vaq_api.h"

namespace {

template <typename T>
T *alloc_one() {
    return static_cast<T *>(VAQ_ALLOC(static_cast<int32_t>(sizeof(T))));
}

// Fills the list under the reader lock; count says how many slots hold a copy.
unsigned long fill_mk_list(HX_VAQ_MK_LIST *list) {
    const int32_t n = VaqGetMkCount();
    list->items = static_cast<HX_VAQ_MK **>(VAQ_ALLOC(tv::array_bytes(n, sizeof(HX_VAQ_MK *))));
    if (list->items == nullptr) {
        VAQ_LOG(tv::kError, "Failed to HX_VAQ_ALLOC.\n");
        return 1;
    }
    const tv::MemBlock<VaqMkRecord> record(alloc_one<VaqMkRecord>());
    if (record == nullptr) {
        VAQ_LOG(tv::kError, "Failed to HX_VAQ_ALLOC.\n");
        return 1;
    }
    for (int32_t i = 0; i < n; ++i) {
        tv::memset_s(record.get(), sizeof(VaqMkRecord), 0, sizeof(VaqMkRecord));
        const unsigned long ret = VaqGetMk(static_cast<uint32_t>(i), record.get());
        if (ret != 0) return ret;
        if (tv::copy_mk_info(record.get(), &list->items[i]) == 0) return 1;
        ++list->count;
    }
    return 0;
}

// Any code of the key library comes back as itself; the caller maps it to 1.
unsigned long fill_root_key(HX_VAQ_ROOT_KEY *rootKey) {
    unsigned long result = 1;
    if (const tv::MemBlock<VaqRootKeyRecord> record(alloc_one<VaqRootKeyRecord>()); record) {
        result = VaqGetRootKeyInfo(record.get());
        if (result == 0 && tv::copy_root_key_info(record.get(), &rootKey->rk) == 0) result = 1;
    }
    if (result != 0) return result;

    const tv::MemBlock<VaqRootKeyCfgRecord> cfg(alloc_one<VaqRootKeyCfgRecord>());
    if (cfg == nullptr) return 1;
    result = VaqGetRootKeyCfg(cfg.get());
    if (result == 0 && tv::copy_root_key_cfg(cfg.get(), &rootKey->rkCfg) == 0) result = 1;
    return result;
}

unsigned long fill_domain_list(HX_VAQ_DOMAIN_LIST *list, int32_t n) {
    for (int32_t i = 0; i < n; ++i) {
        VaqDomainRecord record;
        tv::memset_s(&record, sizeof(record), 0, sizeof(record));
        const unsigned long ret = VaqGetDomain(static_cast<uint32_t>(i), &record);
        if (ret != 0) return ret;
        if (tv::copy_domain_info(&record, &list->items[i]) == 0) return 1;
        ++list->count;
    }
    return 0;
}

// What each query hands out, freed as a whole when the query fails.
void release_mk_list(HX_VAQ_MK_LIST *list) {
    HX_VAQ_MK_FREE_ARRAY(list->items, list->count);
    VAQ_FREE(list);
}

void release_root_key(HX_VAQ_ROOT_KEY *rootKey) {
    HX_VAQ_RK_FREE(rootKey->rk);
    HX_VAQ_RK_CFG_FREE(rootKey->rkCfg);
    VAQ_FREE(rootKey);
}

void release_domain_list(HX_VAQ_DOMAIN_LIST *list) {
    HX_VAQ_DOMAIN_FREE_ARRAY(list->items, list->count);
    VAQ_FREE(list);
}

}  // namespace

extern "C" unsigned long TELMOR_VAQ_Query_Mk_Info(HX_VAQ_MK_LIST **list) {
    if (list == nullptr) {
        VAQ_LOG(tv::kError, "parameter is null.\n");
        return 1;
    }
    *list = alloc_one<HX_VAQ_MK_LIST>();
    if (*list == nullptr) {
        VAQ_LOG(tv::kError, "Failed to HX_VAQ_ALLOC.\n");
        return 1;
    }
    tv::HandedOut<HX_VAQ_MK_LIST, release_mk_list> out(list);
    out->count = 0;
    if (!tv::keystore_in_step()) return 1;
    tv::ReaderLock lock;
    if (!lock.held()) return 1;
    const unsigned long result = fill_mk_list(*list);
    // A complete list stays with the caller even when the unlock fails.
    if (result == 0) out.commit();
    if (!lock.release()) return 1;
    VAQ_LOG(tv::kInfo, " TELMOR VAQ queryMkInfo over ret=%lu.\n", result);
    return result;
}

extern "C" unsigned long TELMOR_VAQ_Query_Root_Key(HX_VAQ_ROOT_KEY **rootKey) {
    if (rootKey == nullptr) {
        VAQ_LOG(tv::kError, "parameter is null.\n");
        return 1;
    }
    if (!tv::keystore_in_step()) return 1;
    *rootKey = alloc_one<HX_VAQ_ROOT_KEY>();
    if (*rootKey == nullptr) {
        VAQ_LOG(tv::kInfo, " TELMOR VAQ queryRootInfo over ret=%lu.\n", 1UL);
        return 1;
    }
    tv::HandedOut<HX_VAQ_ROOT_KEY, release_root_key> out(rootKey);
    tv::ReaderLock lock;
    if (!lock.held()) return 1;
    unsigned long result = fill_root_key(*rootKey);
    if (!lock.release() || result != 0) {
        result = 1;
    } else {
        out.commit();
    }
    VAQ_LOG(tv::kInfo, " TELMOR VAQ queryRootInfo over ret=%lu.\n", result);
    return result;
}

extern "C" unsigned long TELMOR_VAQ_Query_Domain_Info(HX_VAQ_DOMAIN_LIST **list) {
    if (list == nullptr) {
        VAQ_LOG(tv::kError, "parameter is null.\n");
        return 1;
    }
    const unsigned long check = check_modified_and_load_key();
    if (check != 0) {
        VAQ_LOG(tv::kError, "check failed or load keystore failed: %llu\n", static_cast<unsigned long long>(check));
        return 1;
    }
    *list = alloc_one<HX_VAQ_DOMAIN_LIST>();
    if (*list == nullptr) {
        VAQ_LOG(tv::kError, "Failed to HX_VAQ_ALLOC.\n");
        return 1;
    }
    tv::HandedOut<HX_VAQ_DOMAIN_LIST, release_domain_list> out(list);
    out->count = 0;
    tv::ReaderLock lock;
    if (!lock.held()) return 1;
    const int32_t n = VaqGetDomainCount();
    out->items = static_cast<HX_VAQ_DOMAIN **>(VAQ_ALLOC(tv::array_bytes(n, sizeof(HX_VAQ_DOMAIN *))));
    if (out->items == nullptr) {
        VAQ_LOG(tv::kError, "Failed to HX_VAQ_ALLOC.\n");
        return 1;
    }
    const unsigned long ret = fill_domain_list(*list, n);
    if (lock.release() && ret == 0) {
        out.commit();
        VAQ_LOG(tv::kInfo, "TELMOR VAQ query domain info success.\n");
        return 0;
    }
    VAQ_LOG(tv::kError, "TELMOR VAQ query domain info failed.\n");
    return 1;
}
