// SPDX-License-Identifier: Apache-2.0
#include "syscall_counter.h"

#include <signal.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace perftest {

namespace {

constexpr int kMarkSignal = SIGUSR1;

std::string failure(const char *what) { return std::string(what) + ": " + std::strerror(errno); }

const char *syscall_name(long nr) {
    switch (nr) {
        case SYS_openat:
            return "openat";
        case SYS_read:
            return "read";
        case SYS_write:
            return "write";
        case SYS_close:
            return "close";
        case SYS_gettid:
            return "gettid";
        case SYS_getpid:
            return "getpid";
        case SYS_newfstatat:
            return "newfstatat";
        case SYS_lseek:
            return "lseek";
        case SYS_futex:
            return "futex";
        case SYS_mmap:
            return "mmap";
        case SYS_munmap:
            return "munmap";
        case SYS_brk:
            return "brk";
        case SYS_getrandom:
            return "getrandom";
        case SYS_rt_sigprocmask:
            return "rt_sigprocmask";
        case SYS_tgkill:
            return "tgkill";
        default:
            return nullptr;
    }
}

}  // namespace

void mark() { ::raise(kMarkSignal); }

Trace trace_child(const std::function<int()> &body) {
    Trace trace;
    const pid_t pid = ::fork();
    if (pid < 0) {
        trace.error = failure("fork");
        return trace;
    }
    if (pid == 0) {
        if (::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) ::_exit(120);
        ::raise(SIGSTOP);
        ::_exit(body());
    }

    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFSTOPPED(status)) {
        trace.error = "the child did not stop for its tracer";
        return trace;
    }
    if (::ptrace(PTRACE_SETOPTIONS, pid, nullptr,
                 reinterpret_cast<void *>(PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL)) != 0) {
        trace.error = failure("PTRACE_SETOPTIONS");
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return trace;
    }

    bool counting = false;
    SyscallCounts window;
    int deliver = 0;
    for (;;) {
        if (::ptrace(counting ? PTRACE_SYSCALL : PTRACE_CONT, pid, nullptr,
                     reinterpret_cast<void *>(static_cast<long>(deliver))) != 0) {
            trace.error = failure("resuming the child");
            break;
        }
        deliver = 0;
        if (::waitpid(pid, &status, 0) != pid) {
            trace.error = failure("waitpid");
            break;
        }
        if (WIFEXITED(status)) {
            trace.exitCode = WEXITSTATUS(status);
            if (counting) trace.error = "the child exited inside a window";
            return trace;
        }
        if (WIFSIGNALED(status)) {
            trace.error = std::string("the child died of signal ") + std::to_string(WTERMSIG(status));
            return trace;
        }
        const int sig = WSTOPSIG(status);
        if (sig == (SIGTRAP | 0x80)) {
            __ptrace_syscall_info info{};
            if (::ptrace(PTRACE_GET_SYSCALL_INFO, pid, reinterpret_cast<void *>(sizeof info), &info) <= 0) {
                trace.error = failure("PTRACE_GET_SYSCALL_INFO");
                break;
            }
            if (info.op == PTRACE_SYSCALL_INFO_ENTRY) ++window[static_cast<long>(info.entry.nr)];
        } else if (sig == kMarkSignal) {
            if (counting) trace.windows.push_back(window);
            window.clear();
            counting = !counting;
        } else {
            deliver = sig;
        }
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return trace;
}

SyscallCounts minus(const SyscallCounts &a, const SyscallCounts &b) {
    SyscallCounts out = a;
    for (const auto &[nr, n] : b) out[nr] -= n;
    std::erase_if(out, [](const auto &entry) { return entry.second == 0; });
    return out;
}

SyscallCounts times(const SyscallCounts &a, long k) {
    SyscallCounts out;
    for (const auto &[nr, n] : a) out[nr] = n * k;
    std::erase_if(out, [](const auto &entry) { return entry.second == 0; });
    return out;
}

std::string describe(const SyscallCounts &counts) {
    if (counts.empty()) return "no system calls";
    std::string out;
    for (const auto &[nr, n] : counts) {
        if (!out.empty()) out += ", ";
        const char *name = syscall_name(nr);
        out += (name ? std::string(name) : "syscall " + std::to_string(nr)) + " x" + std::to_string(n);
    }
    return out;
}

}  // namespace perftest
