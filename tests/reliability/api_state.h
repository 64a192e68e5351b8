/* SPDX-License-Identifier: Apache-2.0 */
// The keystore as the main library answers it, and the node set-up the tests
// through the main library share.
#ifndef TELMOR_TEST_RELIABILITY_API_STATE_H
#define TELMOR_TEST_RELIABILITY_API_STATE_H

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace reltest {

struct RoleFiles {
    const char *role;
    const char *primary;
    const char *standby;
};
extern const RoleFiles kAgentRole;  // "HXA"
extern const RoleFiles kToolsRole;  // "HXM"

// A node that has never held the role's keystore: an empty primary file.
void fresh_node(const RoleFiles &role);

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

std::vector<uint8_t> read_file(const std::string &path);

// Encrypts with the main library: the text, or empty on failure.
std::string api_encrypt(uint32_t domain, const std::string &plain, unsigned long *code = nullptr);
// Decrypts with the main library: the code, the plain bytes in *plain.
unsigned long api_decrypt(uint32_t domain, const std::string &text, std::string *plain);

}  // namespace reltest

#endif
