/* SPDX-License-Identifier: Apache-2.0 */
// Export files made here from the documented format (a password export,
// docs/keystore-format.md), with whatever keys and time a test names: what
// anyone holding a fleet's export password can make, so that tests can show
// what an import or a join does with a file that was never an export.
#ifndef TELMOR_VAQ_TESTS_CRAFTED_EXPORT_H
#define TELMOR_VAQ_TESTS_CRAFTED_EXPORT_H

#include <cstdint>
#include <string>
#include <vector>

namespace tvtest {

struct CraftedKey {
    uint32_t domain = 0;
    uint32_t id = 0;
    bool active = false;
    uint8_t origin = 0;
    int64_t created = 0;
    uint32_t lifeDays = 3650;
    std::vector<uint8_t> material;
};

// The file's bytes: sealed under `password` at the least work an import
// takes, dated `made` (0: not said, as exports before dates were).
std::vector<uint8_t> crafted_export(const std::string &password, int64_t made, const std::vector<CraftedKey> &keys);

// 32 bytes no weakness check refuses, different per seed.
std::vector<uint8_t> sound_key_material(uint32_t seed);

}  // namespace tvtest

#endif
