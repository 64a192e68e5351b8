/* SPDX-License-Identifier: Apache-2.0 */
// The node's keystore version: a 32-bit word at the start of the System V
// segment that every process of the node attaches, compared with the version
// this process last loaded (g_self_keystore_version). Only equality matters.
//
// The word is shared between processes with no lock of its own, so every read
// is an atomic 32-bit load and every increment an atomic fetch-and-add on the
// segment: two processes announcing at the same moment raise it by two.
#ifndef TELMOR_VAQ_KEYSTORE_KEYSTORE_VERSION_H
#define TELMOR_VAQ_KEYSTORE_KEYSTORE_VERSION_H

#include <cstdint>

namespace tv {

// The shared version as it is now. The segment must be attached (the library
// is initialised).
uint32_t shared_keystore_version();

// This process's own version, and recording a value as it.
uint32_t own_keystore_version();
void set_own_keystore_version(uint32_t version);

// Announces a keystore change to every process of the node: adds one to the
// shared version (wrapping from 0xFFFFFFFF to 0) and returns the value after
// this increment. The segment must be attached.
//
// With adopt_if_in_step, the caller has just made the change itself and
// need not reload: it takes the new value as its own, but only when the value
// before its increment equalled its own version. Otherwise another change
// (another process's, or one this process has not loaded) is covered by the
// same count, and the process stays behind so that its next check reloads.
uint32_t announce_keystore_change(bool adopt_if_in_step);

}  // namespace tv

#endif  // TELMOR_VAQ_KEYSTORE_KEYSTORE_VERSION_H
