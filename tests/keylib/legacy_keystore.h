/* SPDX-License-Identifier: Apache-2.0 */
// Keystore images in format 1, the unprotected format that keystores made
// before root protectors are in (root material inside the file), built here
// from docs/keystore-format.md with OpenSSL directly rather than by the library,
// which no longer makes them.
#ifndef TELMOR_TEST_KEYLIB_LEGACY_KEYSTORE_H
#define TELMOR_TEST_KEYLIB_LEGACY_KEYSTORE_H

#include <array>
#include <cstdint>
#include <vector>

#include "keylib_fixture.h"

namespace kltest {

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

}  // namespace kltest

#endif
