/* SPDX-License-Identifier: Apache-2.0 */
// Counting the system calls that a child process makes between marks, with
// ptrace: a count, not a time, so the hot paths' promise of no system call
// (or only a log line's) can be tested on any machine.
#ifndef TELMOR_PERF_SYSCALL_COUNTER_H
#define TELMOR_PERF_SYSCALL_COUNTER_H

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace perftest {

// System call number -> calls.
using SyscallCounts = std::map<long, long>;

struct Trace {
    std::string error;  // empty when the child ran and exited under the tracer
    int exitCode = -1;
    std::vector<SyscallCounts> windows;
};

// Runs `body` in a traced child and returns its exit code and the system calls
// of each window. The child opens and closes windows by calling mark(); each
// window also holds the constant calls of the two marks around it, which an
// empty window (two marks in a row) measures.
Trace trace_child(const std::function<int()> &body);
void mark();

// a - b, dropping zeros.
SyscallCounts minus(const SyscallCounts &a, const SyscallCounts &b);
SyscallCounts times(const SyscallCounts &a, long k);
std::string describe(const SyscallCounts &counts);

}  // namespace perftest

#endif
