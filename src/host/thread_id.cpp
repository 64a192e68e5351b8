// SPDX-License-Identifier: Apache-2.0
// gettid is exported under the name that newer C libraries also declare; the
// public header declares it with the same type and noexcept, so both
// declarations agree and hosts on older C libraries still find one.
#include "host/thread_id.h"

#include <pthread.h>

#include "host/sys.h"
#include "telmor_vaq_api.h"

extern "C" pid_t gettid(void) noexcept { return tv::sys().gettid(); }

namespace tv {
namespace {

// 0 until the thread first asks. A forked child runs only the thread that
// called fork, so clearing that thread's copy is enough.
thread_local pid_t t_thread_id = 0;

void forget_in_child() { t_thread_id = 0; }

[[maybe_unused]] const int g_fork_handler = pthread_atfork(nullptr, nullptr, forget_in_child);

}  // namespace

pid_t current_thread_id() {
    if (t_thread_id == 0) t_thread_id = sys().gettid();
    return t_thread_id;
}

}  // namespace tv
