/* SPDX-License-Identifier: Apache-2.0 */
// The key domains every load provisions, and the records handed to the key
// library for one of them.
#ifndef TELMOR_VAQ_KEYSTORE_DOMAIN_RECORDS_H
#define TELMOR_VAQ_KEYSTORE_DOMAIN_RECORDS_H

#include <cstdint>

#include "node_layout.h"

namespace tv {

using DomainRow = node_layout::DomainLayout;

// In the order they are provisioned; domains 0 and 1 are removed instead.
inline constexpr const auto &kDomainTable = node_layout::kDomains;

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
