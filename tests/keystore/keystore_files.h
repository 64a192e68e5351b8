/* SPDX-License-Identifier: Apache-2.0 */
// Keystore files of the three roles, as the tests lay them out in the sandbox.
#ifndef TELMOR_TEST_KEYSTORE_FILES_H
#define TELMOR_TEST_KEYSTORE_FILES_H

#include "files.h"
#include "node_layout.h"

namespace kstest {

using RolePaths = node_layout::RoleLayout;
using node_layout::kAgent;
using node_layout::kRoles;

using tvtest::remove_file;
using tvtest::write_file;

}  // namespace kstest

#endif
