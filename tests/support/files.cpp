// SPDX-License-Identifier: Apache-2.0
#include "files.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace tvtest {

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<uint8_t> read_bytes(const std::string &path) {
    const std::string bytes = read_file(path);
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

void write_file(const std::string &path, const std::string &content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

void write_bytes(const std::string &path, const std::vector<uint8_t> &bytes) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const bool whole = fd >= 0 && write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    if (fd >= 0) close(fd);
    if (!whole) throw std::runtime_error("write failed: " + path);
}

bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

void remove_file(const std::string &path) { unlink(path.c_str()); }

int shell(const std::string &command) {
    const int rc = std::system(command.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

int shell_output(const std::string &command, std::string &out) {
    out.clear();
    FILE *p = popen(command.c_str(), "r");
    if (p == nullptr) return -1;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    const int rc = pclose(p);
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

}  // namespace tvtest
