/* SPDX-License-Identifier: Apache-2.0 */
// What a keystore holds, as the key library answers it, and the starting
// states of the fault loops: a keystore pair on disk with committed keys, in
// the shapes a node can leave it in.
#ifndef TELMOR_TEST_RELIABILITY_KEYSTORE_STATES_H
#define TELMOR_TEST_RELIABILITY_KEYSTORE_STATES_H

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "keylib_fixture.h"

namespace reltest {

using kltest::Bytes;
using kltest::KeyInfo;

// Every master key of the loaded keystore and the root key's version.
struct Snapshot {
    std::vector<KeyInfo> keys;
    uint16_t rootVersion = 0;
    bool operator==(const Snapshot &) const = default;
};
Snapshot snapshot();
std::string describe(const Snapshot &s);
void PrintTo(const Snapshot &s, std::ostream *out);

const KeyInfo *find_key(const Snapshot &s, uint32_t domain, uint32_t id);

// The bytes of both copies, to put back before every run.
struct PairImage {
    bool primaryExists = false;
    bool standbyExists = false;
    Bytes primary;
    Bytes standby;
};
PairImage save_pair(const kltest::KeystoreFiles &ks);
void restore_pair(const kltest::KeystoreFiles &ks, const PairImage &image);

// The u32 at `at`, little-endian.
uint32_t le32(const Bytes &b, size_t at);
// The image a copy holds: its first `total length` bytes, or the whole file
// when the header cannot say.
Bytes image_of(const Bytes &file);

}  // namespace reltest

#endif
