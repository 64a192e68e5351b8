// SPDX-License-Identifier: Apache-2.0
#include "keystore/domain_records.h"

#include "common/log.h"
#include "host/bounded.h"
#include "vaq/vaq_api.h"
#include "vaq/vaq_records.h"

namespace tv {

unsigned long add_one_domain(const char *name, uint32_t id) {
    VaqDomainRecord record;
    tv::memset_s(&record, sizeof record, 0, sizeof record);
    record.domainId = id;
    record.attr = 1;
    if (tv::strcpy_s(record.name, sizeof record.name, name) != 0) {
        VAQ_LOG(tv::kError, "strcpy_s fail\n");
        record.name[0] = '\0';
    }
    return VaqAddDomainEx(&record);
}

unsigned long add_domain_key_type(uint32_t id) {
    VaqKeyTypeRecord record;
    tv::memset_s(&record, sizeof record, 0, sizeof record);
    record.keyType = kKeyType;
    record.keyAttr = kKeyAttr;
    record.lifeDays = kKeyLifeDays;
    return VaqAddDomainKeyTypeEx(id, &record);
}

}  // namespace tv
