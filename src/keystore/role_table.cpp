// SPDX-License-Identifier: Apache-2.0
#include "keystore/role_table.h"

#include <cstring>

namespace tv {

const RoleRow *find_role(const char *role) {
    // strcmp stops at the caller's terminating zero, so a short role string is
    // never read past its end; equality still covers both terminators.
    for (const RoleRow &row : node_layout::kRoles) {
        if (std::strcmp(role, row.role) == 0) return &row;
    }
    return nullptr;
}

}  // namespace tv
