/* SPDX-License-Identifier: Apache-2.0 */
// The calling thread's last refusal or failure, kept for the project's tool
// (telmor_vaq_last_failure in src/private/telmor_vaq_private.h): which file
// or System V object the library would not use or could not open, and why,
// and the key library's code when a keystore load failed. Each site that
// refuses something records it here with one call. Recording copies into
// thread-local storage: no allocation, no system call.
#ifndef TELMOR_VAQ_HOST_LAST_FAILURE_H
#define TELMOR_VAQ_HOST_LAST_FAILURE_H

#include <cstdint>

#include "private/telmor_vaq_private.h"

namespace tv {

// A file not used: reason is the rule's text when the library refused it, or
// null when the system refused it with err.
void record_file_failure(const char *path, const char *reason, int err);
// A System V object not used (kind: TELMOR_VAQ_OBJECT_IPC_SEGMENT or _LOCK),
// by the rule's reason or, with a null reason, for err.
void record_ipc_failure(uint32_t kind, int32_t key, const char *reason, int err);
// The key library's answer to a keystore load that failed.
void record_code(unsigned long code);
// The calling thread's last recorded code, 0 when none.
unsigned long last_code();
// A new initialisation starts with nothing recorded.
void clear_last_failure();

}  // namespace tv

#endif  // TELMOR_VAQ_HOST_LAST_FAILURE_H
