/* SPDX-License-Identifier: Apache-2.0 */
#ifndef TELMOR_VAQ_HOST_THREAD_ID_H
#define TELMOR_VAQ_HOST_THREAD_ID_H

#include <sys/types.h>

namespace tv {

// The calling thread's kernel thread id, asked of the kernel once per thread
// and once more in a forked child, whose thread has an id of its own.
pid_t current_thread_id();

}  // namespace tv

#endif  // TELMOR_VAQ_HOST_THREAD_ID_H
