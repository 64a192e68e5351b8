/* SPDX-License-Identifier: Apache-2.0 */
// Copies of the key library's packed records into the result records that
// callers own. Each returns 1 with *dst set, or 0 when an allocation failed
// (then *dst is null and nothing is left allocated). A null source gives a
// null *dst and counts as success.
#ifndef TELMOR_VAQ_SERVICE_RECORD_COPY_H
#define TELMOR_VAQ_SERVICE_RECORD_COPY_H

#include <cstdint>

#include "telmor_vaq_api.h"
#include "vaq/vaq_records.h"

namespace tv {

int32_t copy_date_time(const VaqDateTime *src, HX_VAQ_DATE_TIME **dst);
int32_t copy_mk_info(const VaqMkRecord *src, HX_VAQ_MK **dst);
int32_t copy_root_key_info(const VaqRootKeyRecord *src, HX_VAQ_RK **dst);
int32_t copy_root_key_cfg(const VaqRootKeyCfgRecord *src, HX_VAQ_RK_CFG **dst);
int32_t copy_domain_info(const VaqDomainRecord *src, HX_VAQ_DOMAIN **dst);

}  // namespace tv

#endif  // TELMOR_VAQ_SERVICE_RECORD_COPY_H
