// SPDX-License-Identifier: Apache-2.0
// gettid is exported under the name that newer C libraries also declare; the
// public header declares it with the same type and noexcept, so both
// declarations agree and hosts on older C libraries still find one.
#include "host/sys.h"
#include "telmor_vaq_api.h"

extern "C" pid_t gettid(void) noexcept { return tv::sys().gettid(); }
