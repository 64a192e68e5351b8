// SPDX-License-Identifier: Apache-2.0
#include "service/record_copy.h"

#include "common/log.h"

namespace tv {
namespace {

template <typename T>
T *alloc_record() {
    return static_cast<T *>(VAQ_ALLOC(static_cast<int32_t>(sizeof(T))));
}

}  // namespace

int32_t copy_date_time(const VaqDateTime *src, HX_VAQ_DATE_TIME **dst) {
    *dst = nullptr;
    if (src == nullptr) return 1;
    HX_VAQ_DATE_TIME *out = alloc_record<HX_VAQ_DATE_TIME>();
    if (out == nullptr) return 0;
    out->year = src->year;
    out->month = src->month;
    out->day = src->day;
    out->hour = src->hour;
    out->minute = src->minute;
    out->second = src->second;
    out->weekday = src->weekday;
    *dst = out;
    return 1;
}

int32_t copy_mk_info(const VaqMkRecord *src, HX_VAQ_MK **dst) {
    *dst = nullptr;
    if (src == nullptr) return 1;
    HX_VAQ_MK *out = alloc_record<HX_VAQ_MK>();
    if (out == nullptr) return 0;
    const int32_t a = copy_date_time(&src->created, &out->mkTimeA);
    const int32_t b = copy_date_time(&src->expires, &out->mkTimeB);
    if (a == 0 || b == 0) {
        HX_VAQ_MK_FREE(out);
        return 0;
    }
    out->keyId = src->keyId;
    out->domainId = src->domainId;
    out->mkAttr16 = src->keyLen;
    out->mkAttrA = src->active;
    out->mkAttrB = src->origin;
    *dst = out;
    return 1;
}

int32_t copy_root_key_info(const VaqRootKeyRecord *src, HX_VAQ_RK **dst) {
    *dst = nullptr;
    if (src == nullptr) return 1;
    HX_VAQ_RK *out = alloc_record<HX_VAQ_RK>();
    if (out == nullptr) return 0;
    const int32_t a = copy_date_time(&src->created, &out->rkTimeA);
    const int32_t b = copy_date_time(&src->expires, &out->rkTimeB);
    if (a == 0 || b == 0) {
        HX_VAQ_RK_FREE(out);  // takes the record and whichever date-time was made
        return 0;
    }
    out->rkAttr16 = src->version;
    out->rkAttr32 = src->valid;
    out->rkValue = src->wrappedKeys;
    *dst = out;
    return 1;
}

int32_t copy_root_key_cfg(const VaqRootKeyCfgRecord *src, HX_VAQ_RK_CFG **dst) {
    *dst = nullptr;
    if (src == nullptr) return 1;
    HX_VAQ_RK_CFG *out = alloc_record<HX_VAQ_RK_CFG>();
    if (out == nullptr) return 0;
    out->cfgValueA = src->lifeDays;
    out->cfgValueB = src->strengthBits;
    *dst = out;
    return 1;
}

int32_t copy_domain_info(const VaqDomainRecord *src, HX_VAQ_DOMAIN **dst) {
    *dst = nullptr;
    if (src == nullptr) return 1;
    HX_VAQ_DOMAIN *out = alloc_record<HX_VAQ_DOMAIN>();
    if (out == nullptr) return 0;
    out->domainId = src->domainId;
    out->domainAttr = src->attr;
    *dst = out;
    return 1;
}

}  // namespace tv
