/* SPDX-License-Identifier: Apache-2.0 */
// Nonces for algorithm 5 without a system call per encryption. RAND_bytes
// asks the kernel for the process id on every call, to reseed after a fork;
// here each thread draws from an AES-256-CTR keystream keyed from RAND_bytes,
// which gives values as unpredictable, and learns of a fork from a page that
// the kernel zeroes in the child (MADV_WIPEONFORK), so a child never repeats
// its parent's nonces. Where no such page can be had, every nonce comes from
// RAND_bytes.
#ifndef HXB_QOR_NONCE_SOURCE_H
#define HXB_QOR_NONCE_SOURCE_H

#include <cstdint>

#include "cipher_format.h"

namespace qor {

// 12 fresh random bytes from the calling thread's stream; false when no
// randomness could be had.
bool draw_nonce(uint8_t out[kNonceBytes]);

}  // namespace qor

#endif
