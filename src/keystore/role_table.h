/* SPDX-License-Identifier: Apache-2.0 */
// The three roles a host process can take, and the keystore pair of each.
#ifndef TELMOR_VAQ_KEYSTORE_ROLE_TABLE_H
#define TELMOR_VAQ_KEYSTORE_ROLE_TABLE_H

#include <cstddef>
#include <cstdint>

#include "node_layout.h"

namespace tv {

using RoleRow = node_layout::RoleLayout;

// Each keystore path buffer of g_pstFileName holds this many bytes; a path is
// copied into it up to kMaxPathLength characters, its zero from the zero fill.
inline constexpr int32_t kPathBufferSize = 1024;
inline constexpr size_t kMaxPathLength = 512;

// The row whose role string equals `role` exactly (case and length), or null.
const RoleRow *find_role(const char *role);

}  // namespace tv

#endif  // TELMOR_VAQ_KEYSTORE_ROLE_TABLE_H
