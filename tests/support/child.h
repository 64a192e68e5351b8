/* SPDX-License-Identifier: Apache-2.0 */
// Running test code in other processes: the library keeps per-process state,
// and several processes on one node are the normal case.
#ifndef TELMOR_TEST_CHILD_H
#define TELMOR_TEST_CHILD_H

#include <sys/types.h>

#include <functional>

namespace tvtest {

// Forks; the child runs fn and exits with its result. Returns the child's pid.
pid_t spawn(const std::function<int()> &fn);
// Waits for a child: its exit code, or 128 + signal number if it was killed.
int wait_child(pid_t pid);
// spawn + wait_child.
int run_in_child(const std::function<int()> &fn);
// Runs fn in a child and waits for it at most `seconds`: its exit code, or
// -1 when it was still running (then it is killed).
int run_bounded(const std::function<int()> &fn, int seconds);

// A one-shot signal between processes (a pipe): one side waits, the other posts.
class Gate {
public:
    Gate();
    ~Gate();
    Gate(const Gate &) = delete;
    Gate &operator=(const Gate &) = delete;
    void post();
    // Returns false on timeout: the default is reached only by a hang.
    bool wait(int timeout_ms = 240000);

private:
    int fds_[2];
};

}  // namespace tvtest

#endif
