// SPDX-License-Identifier: Apache-2.0
// Entropy for the key library: buffers from the C allocator, filled from
// OpenSSL's private generator, wiped before they are released.
#include <climits>

#include "common/log.h"
#include "host/bounded.h"
#include "host/host_services.h"
#include "host/sys.h"

namespace tv {

int32_t gen_random_bytes(unsigned char *buf, int32_t count) {
    const int rc = sys().rand_priv_bytes(buf, count);
    if (rc != 1) {
        VAQ_LOG(kError, "generate random data by openssl failed %d", rc);
        return -1;
    }
    return 0;
}

int32_t APP_GetEntropy(unsigned char **out, uint64_t size) {
    if (out == nullptr) return 0;
    *out = static_cast<unsigned char *>(sys().malloc(size));
    if (*out == nullptr) {
        VAQ_LOG(kError, "malloc memory failed.");
        return 0;
    }
    // The generator takes a 32-bit count: a larger request is filled in
    // parts, never cut short behind a success.
    bool filled = true;
    for (uint64_t done = 0; filled && done < size;) {
        const uint64_t part = size - done < INT32_MAX ? size - done : INT32_MAX;
        filled = gen_random_bytes(*out + done, static_cast<int32_t>(part)) == 0;
        done += part;
    }
    if (filled) return 1;
    memset_s(*out, size, 0, size);
    sys().free(*out);
    *out = nullptr;
    return 0;
}

void APP_CleanupEntropy(unsigned char *buf, uint64_t size) {
    if (buf == nullptr) return;
    memset_s(buf, size, 0, size);
    sys().free(buf);
}

}  // namespace tv
