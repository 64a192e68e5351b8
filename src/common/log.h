/* SPDX-License-Identifier: Apache-2.0 */
// The library's own log and allocation call sites. Every line names one module,
// whichever source file writes it, so the log reads the same after files move.
#ifndef TELMOR_VAQ_COMMON_LOG_H
#define TELMOR_VAQ_COMMON_LOG_H

#include <atomic>
#include <cstdint>

#include "telmor_vaq_api.h"

namespace tv {

inline constexpr const char kModule[] = "telmor_vaq_api.cpp";

enum LogLevel : uint32_t { kInfo = 0, kWarn = 1, kError = 2 };

}  // namespace tv

namespace tv {

// Whether a line at this level would do anything in the writer: it is at or
// above the threshold, or the log's path has yet to be made (the writer makes
// it even for a line it then drops). Every other line is dropped before the
// call and its argument list: the quiet path of every operation passes
// through such lines.
inline bool log_line_wanted(uint32_t level) {
    return level >= g_api_log_level || std::atomic_ref<int32_t>(logInitFlag).load(std::memory_order_relaxed) == 0;
}

}  // namespace tv

#define VAQ_LOG(level, ...) \
    (::tv::log_line_wanted(level) ? HX_VAQ_Wrilog(__LINE__, ::tv::kModule, (level), __VA_ARGS__) : static_cast<void>(0))
#define VAQ_ALLOC(size) HX_VAQ_MemAlloc(__LINE__, ::tv::kModule, (size))
// Releases a block and clears the pointer that held it.
#define VAQ_FREE(ptr)                                   \
    do {                                                \
        HX_VAQ_MemFree(__LINE__, ::tv::kModule, (ptr)); \
        (ptr) = nullptr;                                \
    } while (0)

#endif  // TELMOR_VAQ_COMMON_LOG_H
