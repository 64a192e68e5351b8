/* SPDX-License-Identifier: Apache-2.0 */
// The root material of a keystore on disk, worked out from
// docs/keystore-format.md: in the image itself (format 1), or sealed by the
// keystore's node secret (format 2, `file` protector). For tests that watch
// for the root material in memory released unwiped.
#ifndef TELMOR_TEST_KEYSTORE_ROOT_H
#define TELMOR_TEST_KEYSTORE_ROOT_H

#include <cstdint>
#include <string>
#include <vector>

namespace tvtest {

// The node secret's path for a keystore pair, as the key library names it.
std::string node_secret_path(const std::string &primaryPath);
// The tpm2 protector's authorisation file for the same pair.
std::string tpm2_auth_path(const std::string &primaryPath);

// The 32 bytes of root material of the keystore copy at `copyPath`, of the
// pair whose primary is `primaryPath` (which names the node secret; by default
// the copy itself); empty when the copy is not a keystore this can open.
std::vector<uint8_t> keystore_root_material(const std::string &copyPath, const std::string &primaryPath = "");

}  // namespace tvtest

#endif
