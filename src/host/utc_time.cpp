// SPDX-License-Identifier: Apache-2.0
#include <ctime>

#include "host/host_services.h"
#include "host/sys.h"

namespace tv {

int32_t APP_GmTimeSafe(const time_t *t, struct tm *out) {
    if (t == nullptr || out == nullptr) return 0;
    return sys().gmtime_r(t, out) != nullptr ? 1 : 0;
}

}  // namespace tv
