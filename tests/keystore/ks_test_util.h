/* SPDX-License-Identifier: Apache-2.0 */
// Helpers shared by the keystore tests.
#ifndef TELMOR_TEST_KS_TEST_UTIL_H
#define TELMOR_TEST_KS_TEST_UTIL_H

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "child.h"

namespace kstest {

inline constexpr key_t kVersionKey = 0x20190529;

// Runs body in a child process, whose library state starts as this process's;
// 0 when the child met no test failure.
inline int in_child(const std::function<void()> &body) {
    return tvtest::run_in_child([&] {
        body();
        return ::testing::Test::HasFailure() ? 1 : 0;
    });
}

// The node's keystore-version segment is removed, so the next process to
// attach creates it afresh (the sandbox's IPC namespace is the test's own).
inline void remove_version_segment() {
    const int id = shmget(kVersionKey, 0, 0);
    if (id != -1) shmctl(id, IPC_RMID, nullptr);
}

// Reads or writes the shared version through an attachment of the test's own,
// so it works whether or not the library is attached.
inline uint32_t peek_shared_version() {
    const int id = shmget(kVersionKey, 0, 0);
    if (id == -1) return 0xDEADBEEF;
    void *p = shmat(id, nullptr, SHM_RDONLY);
    uint32_t v = *static_cast<volatile uint32_t *>(p);
    shmdt(p);
    return v;
}

inline void poke_shared_version(uint32_t value) {
    const int id = shmget(kVersionKey, 4096, IPC_CREAT | 0600);
    void *p = shmat(id, nullptr, 0);
    *static_cast<volatile uint32_t *>(p) = value;
    shmdt(p);
}

inline std::string hex32(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%x", v);
    return buf;
}

}  // namespace kstest

#endif
