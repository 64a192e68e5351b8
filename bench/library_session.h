/* SPDX-License-Identifier: Apache-2.0 */
// The library as every benchmark finds it: initialised as the agent role, its
// keystore in step, holding the twelve domains' first keys plus any number of
// imported ones. Benchmarks run inside scripts/sandbox, so the keystore and
// the log are the sandbox's, under the real paths.
#ifndef TELMOR_BENCH_LIBRARY_SESSION_H
#define TELMOR_BENCH_LIBRARY_SESSION_H

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

inline constexpr uint32_t kDomain = 50;
inline constexpr uint32_t kSecretBytes = 32;
extern const unsigned char kSecret[kSecretBytes];

// The twelve domains that every load provisions.
const std::vector<uint32_t> &provisioned_domains();

// Brings the library to a fresh keystore holding the domains' first keys plus
// `importedKeys` imported ones, unless it is there already. False, with the
// reason on stderr, when that fails.
bool use_keystore(uint32_t importedKeys);

// Master keys in the keystore now, or -1.
int32_t master_key_count();

void stop_library();

// Base64 text of the secret under kDomain, made by the library.
std::string encrypted_secret();

// The same text with the key id in its cipher header changed to one that no
// keystore holds.
std::string text_under_unknown_key(const std::string &text);

// Bytes that one encryption's closing log line adds to the log file.
size_t encryption_log_line_bytes();

// Empties the library's log file, which grows by one line per encryption.
void truncate_library_log();

}  // namespace bench

#endif
