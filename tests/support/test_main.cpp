// SPDX-License-Identifier: Apache-2.0
// Test entry point: refuses to run outside the sandbox, so no test ever writes
// the node's real keystores, logs or IPC objects.
#include <cstdio>
#include <cstring>

#include <gtest/gtest.h>

#include "in_sandbox.h"

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    bool listing = false;
    for (int i = 1; i < argc; ++i) {
        listing = listing || std::strcmp(argv[i], "--gtest_list_tests") == 0;
    }
    if (!listing && !tvtest::in_sandbox()) {
        std::fprintf(stderr, "tests run only inside the sandbox: scripts/sandbox -- %s\n", argv[0]);
        return 2;
    }
    return RUN_ALL_TESTS();
}
