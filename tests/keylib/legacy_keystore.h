/* SPDX-License-Identifier: Apache-2.0 */
// Keystore images in format 1, the unprotected format that keystores made
// before root protectors are in (root material inside the file), built here
// from docs/keystore-format.md with OpenSSL directly rather than by the library,
// which no longer makes them.
#ifndef TELMOR_TEST_KEYLIB_LEGACY_KEYSTORE_H
#define TELMOR_TEST_KEYLIB_LEGACY_KEYSTORE_H

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "node_layout.h"

namespace kltest {

using Bytes = std::vector<uint8_t>;

struct LegacyKey {
    uint32_t domain;
    uint32_t id;
    bool active;
    Bytes material;
};

using Root = std::array<uint8_t, 32>;
Root random_root();

Bytes legacy_image(uint64_t generation, const Root &root, const std::vector<LegacyKey> &keys);
// `out` (an image without its trailer) with its total length set and the
// trailer keyed from `root` appended.
Bytes with_trailer(Bytes out, const Root &root);
// A format-2 image of root material `root` with `sealed` in place of its
// sealed root, lengths and trailer made to match.
Bytes with_sealed_root(const Bytes &image, const Bytes &sealed, const Root &root);

// One active 32-byte key per domain of kDomains, random ids and material.
std::vector<LegacyKey> legacy_keys();

// What someone who knows a root but not the protector's secret can write: a
// protected (format 2) image carrying `sealedFrom`'s protector and sealed
// root, with its keys wrapped and its trailer keyed under `root`.
Bytes forged_protected_image(uint64_t generation, const Bytes &sealedFrom, const Root &root,
                             const std::vector<LegacyKey> &keys);
// Whether the image's trailer verifies under `root`, and how many of its
// master keys `root` unwraps.
bool trailer_opens(const Bytes &image, const Root &root);
size_t keys_opened(const Bytes &image, const Root &root);
// The root of a `file`-protected image, unsealed with the node secret file's
// bytes; none when they do not open it.
std::optional<Root> unseal_with_secret(const Bytes &image, const Bytes &secretFile);

// The files the key library keeps beside a keystore's node secret: its
// protection marks (NAME.protected, NAME.moving for NAME.secret).
std::string protection_mark(const std::string &secretPath, const char *suffix);
// Removes the node secret and both marks: a node that never protected it.
void forget_protection(const std::string &secretPath);

}  // namespace kltest

#endif
