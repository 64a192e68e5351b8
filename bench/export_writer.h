/* SPDX-License-Identifier: Apache-2.0 */
// Export files for building large keystores in one change: an import of one
// file adds every key at once, where creating keys one by one would rewrite
// the keystore once per key.
#ifndef TELMOR_BENCH_EXPORT_WRITER_H
#define TELMOR_BENCH_EXPORT_WRITER_H

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

struct KeySpec {
    uint32_t domain;
    uint32_t id;
};

// `count` keys spread round-robin over `domains`, with ids that keys the
// library generates never take (it draws random ids; these count up from 1).
std::vector<KeySpec> spread_keys(const std::vector<uint32_t> &domains, uint32_t count);

// Writes an export file of the keys, each with 32 random bytes of material,
// sealed under `password` at the smallest work factor an import accepts.
// False when the file could not be made.
bool write_export_file(const std::string &path, const std::string &password, const std::vector<KeySpec> &keys);

}  // namespace bench

#endif
