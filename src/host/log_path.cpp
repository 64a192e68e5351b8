// SPDX-License-Identifier: Apache-2.0
// Where the log lines of this process go: one file per role and process
// name, fixed by the first call that can build it.
#include <fcntl.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "host/bounded.h"
#include "host/log_path.h"
#include "host/sys.h"
#include "node_layout.h"
#include "telmor_vaq_api.h"

char g_log_name[512] = {};
int32_t logInitFlag = 0;

namespace {

constexpr std::size_t kNameSize = 512;

// Serialises building the path, so g_log_name is only ever rewritten with
// the text it already holds or while nobody can be using it yet.
std::mutex g_build_mutex;

const char *path_format(int32_t node_type) {
    for (const node_layout::RoleLayout &row : node_layout::kRoles) {
        if (row.nodeType == node_type) return row.logFormat;
    }
    return nullptr;
}

// The file's first line, up to and with its line end, or as much of it as
// fits in size - 1 bytes; false when nothing could be read.
bool first_line(const char *path, char *line, std::size_t size) {
    const int fd = tv::sys().open(path, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return false;
    std::size_t used = 0;
    while (used + 1 < size) {
        const ssize_t n = tv::sys().read(fd, line + used, size - 1 - used);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        const auto got = static_cast<std::size_t>(n);
        const char *end = static_cast<const char *>(std::memchr(line + used, '\n', got));
        used += got;
        if (end != nullptr) {
            used = static_cast<std::size_t>(end - line) + 1;
            break;
        }
    }
    tv::sys().close(fd);
    line[used] = '\0';
    return used > 0;
}

}  // namespace

extern "C" unsigned long get_name_by_pid(int32_t pid, char *name) {
    if (name == nullptr) return 1;
    char path[kNameSize] = {};
    if (tv::sprintf_s(path, sizeof path, "/proc/%d/status", pid) < 0) return 1;
    char line[1024] = {};
    if (!first_line(path, line, sizeof line)) return 1;
    // The blank also matches the tab after "Name:"; %s stops at a blank in
    // the name.
    return tv::sscanf_s(line, "Name: %s", name, kNameSize) >= 1 ? 0 : 1;
}

extern "C" unsigned long init_log_file(void) {
    char name[kNameSize] = {};
    if (get_name_by_pid(g_vaq_pid, name) != 0) return 1;
    const char *format = path_format(g_node_type);
    if (format == nullptr) return 1;
    char path[sizeof g_log_name] = {};
    // The format is one of the node layout's log formats, with one %s.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    if (tv::sprintf_s(path, sizeof path, format, name) < 0) return 1;
#pragma GCC diagnostic pop
    std::lock_guard<std::mutex> guard(g_build_mutex);
    if (std::strcmp(path, g_log_name) != 0) {
        tv::strcpy_s(g_log_name, sizeof g_log_name, path);
    }
    std::atomic_ref<int32_t>(logInitFlag).store(1, std::memory_order_release);
    return 0;
}

namespace tv {

bool log_path_ready() {
    if (std::atomic_ref<int32_t>(logInitFlag).load(std::memory_order_acquire) != 0) return true;
    return init_log_file() == 0;
}

}  // namespace tv
