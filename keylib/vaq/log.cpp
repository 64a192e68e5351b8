// SPDX-License-Identifier: Apache-2.0
#include "log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "state.h"

namespace vaq {

namespace {

constexpr size_t kMessageBytes = 1024;

void vlog_to(const Host &host, LogLevel level, const char *module, const char *file, int line, const char *format,
             va_list args) {
    char message[kMessageBytes];
    if (std::vsnprintf(message, sizeof message, format, args) < 0) return;
    host.log(level, module, file, line, message);
}

}  // namespace

void log_to(const Host &host, LogLevel level, const char *module, const char *file, int line, const char *format, ...) {
    va_list args;
    va_start(args, format);
    vlog_to(host, level, module, file, line, format, args);
    va_end(args);
}

void log_line(LogLevel level, const char *module, const char *file, int line, const char *format, ...) {
    va_list args;
    va_start(args, format);
    if (State *s = g_state.load(std::memory_order_acquire)) {
        vlog_to(s->host, level, module, file, line, format, args);
    } else if (g_registered) {
        vlog_to(Host(*g_registered), level, module, file, line, format, args);
    }
    va_end(args);
}

void log_text(LogLevel level, const char *module, const char *file, int line, const char *message) {
    // A message that fits goes as it is; a longer one is cut as a formatted one would be.
    if (std::strlen(message) >= kMessageBytes) {
        log_line(level, module, file, line, "%s", message);
        return;
    }
    if (State *s = g_state.load(std::memory_order_acquire)) {
        s->host.log(level, module, file, line, message);
    } else if (g_registered) {
        Host(*g_registered).log(level, module, file, line, message);
    }
}

}  // namespace vaq
