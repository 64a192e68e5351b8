/* SPDX-License-Identifier: Apache-2.0 */
// The node as the library finds it: a role's keystore pair and the shared
// keystore-version segment, set up and read by the tests themselves (inside
// the sandbox, whose files and IPC namespace are the test's own).
#ifndef TELMOR_TEST_NODE_STATE_H
#define TELMOR_TEST_NODE_STATE_H

#include <cstdint>
#include <string>

#include "node_layout.h"

namespace tvtest {

// A node that has never held the role's keystore: no standby, an empty primary.
void fresh_keystore(const node_layout::RoleLayout &role);

// Removes the keystore-version segment, so the next process to attach
// creates it afresh.
void remove_version_segment();
// The shared version, read through an attachment of the test's own so it can
// be read whether or not the library is attached; `absent` when there is no
// segment to read.
uint32_t shared_version(uint32_t absent);
// Writes the shared version, creating the segment if need be.
void set_shared_version(uint32_t value);

// An IPC key as the library's log lines print it, in hexadecimal with "0x".
std::string ipc_key_text(int32_t key);

}  // namespace tvtest

#endif
