/* SPDX-License-Identifier: Apache-2.0 */
// The strerror text of an error number, from any thread.
#ifndef TELMOR_VAQ_COMMON_ERROR_TEXT_H
#define TELMOR_VAQ_COMMON_ERROR_TEXT_H

#include <cstring>

namespace tv {

inline const char *error_text(int err) {
    thread_local char buffer[128];
    // The GNU variant: it returns a static text for known numbers and fills
    // the buffer only for unknown ones.
    return strerror_r(err, buffer, sizeof buffer);
}

}  // namespace tv

#endif  // TELMOR_VAQ_COMMON_ERROR_TEXT_H
