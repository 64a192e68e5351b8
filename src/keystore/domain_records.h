/* SPDX-License-Identifier: Apache-2.0 */
// The key domains every load provisions, and the records handed to the key
// library for one of them.
#ifndef TELMOR_VAQ_KEYSTORE_DOMAIN_RECORDS_H
#define TELMOR_VAQ_KEYSTORE_DOMAIN_RECORDS_H

#include <array>
#include <cstdint>

namespace tv {

struct DomainRow {
    const char *name;
    uint32_t id;
};

// In the order they are provisioned. Domains 0 and 1 are not among them: each
// load removes those.
inline constexpr std::array<DomainRow, 12> kDomainTable = {{
    {"OLD_ENCRYPT", 150},
    {"OLD_CHAP_TRANSFER", 151},
    {"OLD_CHAP_ENCRYPT", 152},
    {"HXM_ENCRYPT", 2},
    {"HXA_ENCRYPT", 50},
    {"NUV_ENCRYPT", 51},
    {"CHAP_TRANSFER", 100},
    {"CHAP_ENCRYPT", 101},
    {"GAL_TRANSFER", 102},
    {"GAL_ENCRYPT", 103},
    {"NUV_TRANSFER", 104},
    {"YRB_ENCRYPT", 105},
}};

// Every domain gets this key type.
inline constexpr uint16_t kKeyType = 3;
inline constexpr uint32_t kKeyAttr = 112;
inline constexpr uint32_t kKeyLifeDays = 3650;

// Build a fresh zero-filled record and hand it to VaqAddDomainEx or
// VaqAddDomainKeyTypeEx; the key library's answer comes back whole.
unsigned long add_one_domain(const char *name, uint32_t id);
unsigned long add_domain_key_type(uint32_t id);

}  // namespace tv

#endif  // TELMOR_VAQ_KEYSTORE_DOMAIN_RECORDS_H
