// SPDX-License-Identifier: Apache-2.0
#include "child.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace tvtest {

pid_t spawn(const std::function<int()> &fn) {
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int rc = fn();
        std::fflush(nullptr);
        _exit(rc);
    }
    return pid;
}

int wait_child(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

int run_in_child(const std::function<int()> &fn) { return wait_child(spawn(fn)); }

Gate::Gate() {
    if (pipe(fds_) != 0) std::abort();
}

Gate::~Gate() {
    close(fds_[0]);
    close(fds_[1]);
}

void Gate::post() {
    char c = 1;
    if (write(fds_[1], &c, 1) != 1) std::abort();
}

bool Gate::wait(int timeout_ms) {
    pollfd p{fds_[0], POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1) return false;
    char c;
    return read(fds_[0], &c, 1) == 1;
}

int run_bounded(const std::function<int()> &fn, int seconds) {
    const pid_t child = spawn(fn);
    for (int i = 0; i < seconds * 100; ++i) {
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        usleep(10000);
    }
    kill(child, SIGKILL);
    wait_child(child);
    return -1;
}

}  // namespace tvtest
