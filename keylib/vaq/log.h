/* SPDX-License-Identifier: Apache-2.0 */
// Log lines of the key libraries, through the host's log service (slot 23).
// Every failure an exported function answers is logged once, at its edge.
#ifndef HXB_VAQ_LOG_H
#define HXB_VAQ_LOG_H

#include "host.h"

namespace vaq {

inline constexpr const char kVaqModule[] = "VAQ";

// Formats a message and hands it to the host's log service.
void log_to(const Host &host, LogLevel level, const char *module, const char *file, int line, const char *format, ...)
    __attribute__((format(printf, 6, 7)));

// Logs through the table of the loaded keystore, or else the registered one;
// without either the line is dropped.
void log_line(LogLevel level, const char *module, const char *file, int line, const char *format, ...)
    __attribute__((format(printf, 5, 6)));

// log_line of a finished message: no formatting pass over it.
void log_text(LogLevel level, const char *module, const char *file, int line, const char *message);

}  // namespace vaq

#define VAQ_KLOG(level, ...) ::vaq::log_line((level), ::vaq::kVaqModule, __FILE_NAME__, __LINE__, __VA_ARGS__)

#endif
