// SPDX-License-Identifier: Apache-2.0
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "cli.h"

namespace cli {

void write_all(int fd, const void *data, size_t len) {
    const char *p = static_cast<const char *>(data);
    while (len > 0) {
        const ssize_t n = write(fd, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw tool_failure("cannot write output: " + std::string(std::strerror(errno)));
        p += n;
        len -= static_cast<size_t>(n);
    }
}

void write_out(const std::string &text) {
    std::fflush(stdout);
    write_all(STDOUT_FILENO, text.data(), text.size());
}

}  // namespace cli
