// SPDX-License-Identifier: Apache-2.0
#include "keystore/role_table.h"

#include <array>
#include <cstring>

namespace tv {
namespace {

constexpr std::array<RoleRow, 3> kRoles = {{
    {"HXA", 1, "/opt/telmor/agent/conf/vaq/conf/primary_ks.key",
     "/opt/telmor/agent/conf/vaq/bkp/standby_ks.key"},
    {"HXM", 2, "/opt/telmor/tools/vaq/conf/primary_ks.key", "/opt/telmor/tools/vaq/bkp/standby_ks.key"},
    {"HXM_CLIENT", 3, "/opt/telmor/client/vaq/conf/primary_ks.key",
     "/opt/telmor/client/vaq/bkp/standby_ks.key"},
}};

}  // namespace

const RoleRow *find_role(const char *role) {
    // strcmp stops at the caller's terminating zero, so a short role string is
    // never read past its end; equality still covers both terminators.
    for (const RoleRow &row : kRoles) {
        if (std::strcmp(role, row.role) == 0) return &row;
    }
    return nullptr;
}

}  // namespace tv
