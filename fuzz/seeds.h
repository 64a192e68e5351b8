/* SPDX-License-Identifier: Apache-2.0 */
// A target's seed corpus comes from the target itself: run with
// TELMOR_FUZZ_SEEDS_TO=<dir> (scripts/fuzz --seeds does), it writes its seeds
// there and exits. Seeds made this way match the key material and formats the
// target sets up.
#ifndef TELMOR_FUZZ_SEEDS_H
#define TELMOR_FUZZ_SEEDS_H

#include <cstdint>
#include <string>
#include <vector>

namespace fuzzseed {

bool wanted();
void write(const std::string &name, const std::vector<uint8_t> &bytes);
[[noreturn]] void done();

}  // namespace fuzzseed

#endif
