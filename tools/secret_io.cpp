// SPDX-License-Identifier: Apache-2.0
#include "secret_io.h"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace cli {

SecretBuffer::~SecretBuffer() { clear(); }

SecretBuffer::SecretBuffer(SecretBuffer &&other) noexcept
    : data_(other.data_), size_(other.size_), capacity_(other.capacity_) {
    other.data_ = nullptr;
    other.size_ = other.capacity_ = 0;
}

SecretBuffer &SecretBuffer::operator=(SecretBuffer &&other) noexcept {
    if (this != &other) {
        clear();
        data_ = other.data_;
        size_ = other.size_;
        capacity_ = other.capacity_;
        other.data_ = nullptr;
        other.size_ = other.capacity_ = 0;
    }
    return *this;
}

void SecretBuffer::clear() {
    if (data_ != nullptr) {
        explicit_bzero(data_, capacity_);
        std::free(data_);
    }
    data_ = nullptr;
    size_ = capacity_ = 0;
}

void SecretBuffer::reserve(size_t capacity) {
    if (capacity <= capacity_) return;
    // One spare byte keeps the content zero-terminated for callers that need it.
    auto *fresh = static_cast<unsigned char *>(std::calloc(capacity + 1, 1));
    if (fresh == nullptr) throw std::bad_alloc();
    if (size_ > 0) std::memcpy(fresh, data_, size_);
    const size_t keep = size_;
    clear();
    data_ = fresh;
    size_ = keep;
    capacity_ = capacity + 1;
}

void SecretBuffer::append(const void *bytes, size_t n) {
    if (size_ + n + 1 > capacity_) reserve(std::max<size_t>(64, (size_ + n) * 2));
    std::memcpy(data_ + size_, bytes, n);
    size_ += n;
}

namespace {

// The terminal's settings while a prompt has echo off, for the signal handler
// to put back. Written before echo goes off, cleared after it comes back.
volatile sig_atomic_t g_quiet_fd = -1;
termios g_saved_termios{};

extern "C" void restore_terminal_and_die(int sig) {
    const int fd = g_quiet_fd;
    if (fd >= 0) tcsetattr(fd, TCSAFLUSH, &g_saved_termios);
    const char nl = '\n';
    (void)!write(STDERR_FILENO, &nl, 1);
    signal(sig, SIG_DFL);
    raise(sig);
}

// Echo off on a terminal for as long as it lives; SIGINT, SIGTERM, SIGHUP and
// SIGQUIT put the terminal back before the process ends.
class NoEcho {
public:
    explicit NoEcho(int fd) : fd_(fd) {
        if (tcgetattr(fd_, &g_saved_termios) != 0) return;
        struct sigaction sa {};
        sa.sa_handler = restore_terminal_and_die;
        sigemptyset(&sa.sa_mask);
        for (int i = 0; i < kSignals; ++i) sigaction(kSignal[i], &sa, &old_[i]);
        g_quiet_fd = fd_;
        termios quiet = g_saved_termios;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        active_ = tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
        if (!active_) release_signals();
    }
    ~NoEcho() {
        if (!active_) return;
        tcsetattr(fd_, TCSAFLUSH, &g_saved_termios);
        release_signals();
    }
    NoEcho(const NoEcho &) = delete;
    NoEcho &operator=(const NoEcho &) = delete;

private:
    static constexpr int kSignals = 4;
    static constexpr int kSignal[kSignals] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    void release_signals() {
        g_quiet_fd = -1;
        for (int i = 0; i < kSignals; ++i) sigaction(kSignal[i], &old_[i], nullptr);
    }
    int fd_;
    bool active_ = false;
    struct sigaction old_[kSignals] {};
};

// One line from fd, without its end of line, at most `limit` bytes.
SecretBuffer read_line(int fd, size_t limit) {
    SecretBuffer line;
    char c;
    for (;;) {
        ssize_t n = read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw tool_failure("cannot read descriptor " + std::to_string(fd) + ": " + std::strerror(errno));
        if (n == 0 || c == '\n') break;
        if (line.size() >= limit) throw tool_failure("input longer than " + std::to_string(limit) + " bytes");
        line.push_back(c);
    }
    explicit_bzero(&c, sizeof c);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

// The prompt appears only once echo is off, so nothing typed after it shows.
SecretBuffer prompt_quietly(int fd, const char *prompt, size_t limit) {
    SecretBuffer line;
    {
        NoEcho quiet(fd);
        std::fprintf(stderr, "%s", prompt);
        std::fflush(stderr);
        line = read_line(fd, limit);
    }
    std::fprintf(stderr, "\n");
    return line;
}

constexpr size_t kPasswordLimit = 1024;

}  // namespace

SecretBuffer read_all_secret(int fd, size_t limit) {
    SecretBuffer out;
    unsigned char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            if (out.size() + static_cast<size_t>(n) > limit) {
                explicit_bzero(buf, sizeof buf);
                throw tool_failure("input longer than " + std::to_string(limit) + " bytes");
            }
            out.append(buf, static_cast<size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            explicit_bzero(buf, sizeof buf);
            throw tool_failure("cannot read input: " + std::string(std::strerror(errno)));
        }
    }
    explicit_bzero(buf, sizeof buf);
    return out;
}

SecretBuffer read_secret(const char *prompt, size_t limit) {
    if (isatty(STDIN_FILENO)) return prompt_quietly(STDIN_FILENO, prompt, limit);
    return read_all_secret(STDIN_FILENO, limit);
}

SecretBuffer read_password(const Options &opt, bool confirm, size_t minLength) {
    SecretBuffer pw;
    if (opt.passwordFd >= 0) {
        if (isatty(opt.passwordFd)) {
            pw = prompt_quietly(opt.passwordFd, "Password: ", kPasswordLimit);
        } else {
            pw = read_line(opt.passwordFd, kPasswordLimit);
        }
        if (pw.empty()) throw tool_failure("no password on descriptor " + std::to_string(opt.passwordFd));
    } else {
        if (!isatty(STDIN_FILENO)) {
            throw tool_failure("a password is needed: run on a terminal or give --password-fd N");
        }
        pw = prompt_quietly(STDIN_FILENO, "Password: ", kPasswordLimit);
        if (confirm && pw.size() >= minLength) {
            SecretBuffer again = prompt_quietly(STDIN_FILENO, "Password again: ", kPasswordLimit);
            if (!(pw == again)) throw tool_failure("the two passwords differ");
        }
    }
    if (pw.empty()) throw tool_failure("empty password");
    if (pw.size() < minLength) {
        throw tool_failure("the password is too short: export passwords need at least " + std::to_string(minLength) +
                           " characters");
    }
    return pw;
}

std::string ask(const char *question) {
    std::fprintf(stderr, "%s", question);
    std::fflush(stderr);
    std::string answer;
    char c;
    for (;;) {
        ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || c == '\n') break;
        if (answer.size() < 64) answer.push_back(c);
    }
    return answer;
}

}  // namespace cli
