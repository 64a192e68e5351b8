/* SPDX-License-Identifier: Apache-2.0 */
// Peak resident memory, measured in child processes that this binary starts
// again: one that initialises the library, encrypts 100,000 times and
// finalises, and one that only loads OpenSSL and seals once with it.
#ifndef TELMOR_BENCH_MEMORY_BENCH_H
#define TELMOR_BENCH_MEMORY_BENCH_H

namespace bench {

inline constexpr char kMemoryChildFlag[] = "--memory-child=";

// The child's work; returns its exit code.
int run_memory_child(const char *mode);

}  // namespace bench

#endif
