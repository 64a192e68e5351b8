/* SPDX-License-Identifier: Apache-2.0 */
// The keystore as the main library answers it, and the node set-up the tests
// through the main library share.
#ifndef TELMOR_TEST_RELIABILITY_API_STATE_H
#define TELMOR_TEST_RELIABILITY_API_STATE_H

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "files.h"
#include "node_layout.h"
#include "node_state.h"

namespace reltest {

using RoleFiles = node_layout::RoleLayout;
inline constexpr const RoleFiles &kAgentRole = node_layout::kAgent;  // "HXA"
inline constexpr const RoleFiles &kToolsRole = node_layout::kTools;  // "HXM"

// A node that has never held the role's keystore: an empty primary file.
inline void fresh_node(const RoleFiles &role) { tvtest::fresh_keystore(role); }

struct ApiKey {
    uint32_t domain = 0;
    uint32_t id = 0;
    bool active = false;
    std::vector<uint8_t> material;
    bool operator==(const ApiKey &) const = default;
};
// Every master key with its material, through TELMOR_VAQ_Query_Mk_Info and
// TELMOR_VAQ_GetMkInfo. Throws when a query fails.
std::vector<ApiKey> api_keys();
std::string describe(const std::vector<ApiKey> &keys);

inline std::vector<uint8_t> read_file(const std::string &path) { return tvtest::read_bytes(path); }

// Encrypts with the main library: the text, or empty on failure.
std::string api_encrypt(uint32_t domain, const std::string &plain, unsigned long *code = nullptr);
// Decrypts with the main library: the code, the plain bytes in *plain.
unsigned long api_decrypt(uint32_t domain, const std::string &text, std::string *plain);

}  // namespace reltest

#endif
