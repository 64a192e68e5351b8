/* SPDX-License-Identifier: Apache-2.0 */
// Helpers for driving the key libraries the way the main library does: a
// private keystore pair, the load sequence with its twelve domains, and a
// readable view of the master keys.
#ifndef TELMOR_TEST_KEYLIB_FIXTURE_H
#define TELMOR_TEST_KEYLIB_FIXTURE_H

#include <cstdint>
#include <string>
#include <vector>

#include "crafted_export.h"
#include "files.h"
#include "node_layout.h"
#include "telmor_vaq_api.h"
#include "test_host.h"
#include "vaq/qor_api.h"
#include "vaq/vaq_api.h"

namespace kltest {

using Bytes = std::vector<uint8_t>;

using DomainRow = node_layout::DomainLayout;
// The main library's domain table, in its provisioning order.
inline constexpr const auto &kDomains = node_layout::kDomains;

// A keystore pair in a fresh directory of its own.
class KeystoreFiles {
public:
    KeystoreFiles();
    std::string dir;
    std::string primary;
    std::string standby;
    HX_VAQ_KEYSTORE_FILES files();
    // Overwrites the path buffers that files() handed out, as a host that
    // frees them would: a library that kept the pointers would now miss.
    void scribble();

private:
    std::string primaryBuf_, standbyBuf_;
};

// Register, initialise, set the role, remove domains 0 and 1, then add the
// first `domains` rows of kDomains with their key type. The first non-zero
// answer, or 0.
unsigned long load(KeystoreFiles &ks, size_t domains = 12);
unsigned long unload();

// load() in a new process, which has never opened a keystore: what a fresh
// node, another machine or a restarted service sees (a process keeps the root
// material it unsealed across its own reloads). The code, the write calls
// the load made and its error lines.
struct FreshLoad {
    unsigned long code = 0;
    uint64_t writes = 0;
    std::vector<std::string> errors;
};
FreshLoad load_in_new_process(KeystoreFiles &ks, size_t domains = 12);
struct KeyInfo {
    uint32_t domain = 0;
    uint32_t id = 0;
    bool active = false;
    uint8_t origin = 0;
    Bytes material;
    bool operator==(const KeyInfo &) const = default;
};
// Every master key of the loaded keystore, in the library's order.
std::vector<KeyInfo> list_keys();
std::vector<KeyInfo> keys_of(const std::vector<KeyInfo> &all, uint32_t domain);
const KeyInfo *active_of(const std::vector<KeyInfo> &all, uint32_t domain);

using tvtest::exists;
using tvtest::read_bytes;
using tvtest::write_bytes;

using tvtest::sound_key_material;

// Encrypts with QorEncryptEx; empty on failure (the code goes to *code).
Bytes encrypt(uint32_t domain, const Bytes &plain, unsigned long *code = nullptr);
// Decrypts with QorDecryptEx into a buffer of `capacity` bytes (default: the
// cipher's length); the code, with the plain bytes in *plain.
unsigned long decrypt(uint32_t domain, const Bytes &cipher, Bytes *plain, long capacity = -1);

}  // namespace kltest

#endif
