/* SPDX-License-Identifier: Apache-2.0 */
// Helpers shared by the keystore tests.
#ifndef TELMOR_TEST_KS_TEST_UTIL_H
#define TELMOR_TEST_KS_TEST_UTIL_H

#include <sys/ipc.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "child.h"
#include "node_layout.h"
#include "node_state.h"

namespace kstest {

inline constexpr key_t kVersionKey = node_layout::kVersionSegmentKey;

// Runs body in a child process, whose library state starts as this process's;
// 0 when the child met no test failure.
inline int in_child(const std::function<void()> &body) {
    return tvtest::run_in_child([&] {
        body();
        return ::testing::Test::HasFailure() ? 1 : 0;
    });
}

using tvtest::remove_version_segment;

// The shared version, 0xDEADBEEF when there is no segment.
inline uint32_t peek_shared_version() { return tvtest::shared_version(0xDEADBEEF); }
inline void poke_shared_version(uint32_t value) { tvtest::set_shared_version(value); }

inline std::string hex32(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%x", v);
    return buf;
}

}  // namespace kstest

#endif
