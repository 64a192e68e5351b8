// SPDX-License-Identifier: Apache-2.0
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string.h>
#include <string>

#include "cli.h"

namespace cli {

std::string read_all(int fd) {
    std::string out;
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            out.append(buf, static_cast<size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            throw Failure{1, "cannot read input: " + std::string(std::strerror(errno))};
        }
    }
    explicit_bzero(buf, sizeof buf);
    return out;
}

void write_all(int fd, const void *data, size_t len) {
    const char *p = static_cast<const char *>(data);
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw Failure{1, "cannot write output: " + std::string(std::strerror(errno))};
        p += n;
        len -= static_cast<size_t>(n);
    }
}

void wipe(std::string &s) {
    wipe(s.data(), s.size());
    s.clear();
}

void wipe(void *data, size_t len) {
    if (data != nullptr) explicit_bzero(data, len);
}

namespace {

// Echo off on the terminal for as long as it lives.
class NoEcho {
public:
    explicit NoEcho(int fd) : fd_(fd) {
        if (tcgetattr(fd_, &saved_) == 0) {
            termios quiet = saved_;
            quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            active_ = tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
        }
    }
    ~NoEcho() {
        if (active_) tcsetattr(fd_, TCSAFLUSH, &saved_);
    }

private:
    int fd_;
    termios saved_{};
    bool active_ = false;
};

std::string read_line(int fd) {
    std::string line;
    char c;
    for (;;) {
        ssize_t n = read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || c == '\n') break;
        line.push_back(c);
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

std::string prompt_tty(const char *prompt) {
    std::fprintf(stderr, "%s", prompt);
    std::fflush(stderr);
    std::string line;
    {
        NoEcho quiet(STDIN_FILENO);
        line = read_line(STDIN_FILENO);
    }
    std::fprintf(stderr, "\n");
    return line;
}

}  // namespace

std::string read_secret(const char *prompt) {
    if (isatty(STDIN_FILENO)) return prompt_tty(prompt);
    return read_all(STDIN_FILENO);
}

std::string read_password(const Options &opt, bool confirm) {
    if (opt.passwordFd >= 0) {
        std::string pw = read_line(opt.passwordFd);
        if (pw.empty()) throw Failure{1, "no password on descriptor " + std::to_string(opt.passwordFd)};
        return pw;
    }
    if (!isatty(STDIN_FILENO)) {
        throw Failure{1, "a password is needed: run on a terminal or give --password-fd N"};
    }
    std::string pw = prompt_tty("Password: ");
    if (confirm) {
        std::string again = prompt_tty("Password again: ");
        bool same = pw == again;
        wipe(again);
        if (!same) {
            wipe(pw);
            throw Failure{1, "the two passwords differ"};
        }
    }
    if (pw.empty()) throw Failure{1, "empty password"};
    return pw;
}

std::string json_escape(const std::string &text) {
    std::string out;
    for (unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out;
}

}  // namespace cli
