// SPDX-License-Identifier: Apache-2.0
// gettid is exported under the name that newer C libraries also declare; the
// public header declares it with the same type and noexcept, so both
// declarations agree and hosts on older C libraries still find one.
#include <sys/syscall.h>
#include <unistd.h>

#include "telmor_vaq_api.h"

extern "C" pid_t gettid(void) noexcept { return static_cast<pid_t>(syscall(SYS_gettid)); }
