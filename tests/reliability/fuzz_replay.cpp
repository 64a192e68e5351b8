// SPDX-License-Identifier: Apache-2.0
// A fuzz target's corpus, replayed through the target in an ordinary build:
// every seed and every input that once found a fault stays a test wherever
// the suite runs, sanitizer builds included. The target's own checks trap on
// a fault.
#include <dirent.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) __attribute__((weak));
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

// One suite name per program (TELMOR_FUZZ_SUITE), so that ctest tells them apart.
#define CORPUS_TEST(suite) TEST(suite, EveryInputPassesTheTargetsChecks)

CORPUS_TEST(TELMOR_FUZZ_SUITE) {
    if (LLVMFuzzerInitialize) {
        int argc = 0;
        char **argv = nullptr;
        ASSERT_EQ(LLVMFuzzerInitialize(&argc, &argv), 0);
    }
    DIR *dir = opendir(TELMOR_FUZZ_CORPUS);
    ASSERT_NE(dir, nullptr) << TELMOR_FUZZ_CORPUS;
    int inputs = 0;
    while (dirent *e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        SCOPED_TRACE(name);
        std::ifstream in(std::string(TELMOR_FUZZ_CORPUS) + "/" + name, std::ios::binary);
        const std::vector<uint8_t> input((std::istreambuf_iterator<char>(in)), {});
        EXPECT_EQ(LLVMFuzzerTestOneInput(input.data(), input.size()), 0);
        ++inputs;
    }
    closedir(dir);
    EXPECT_GT(inputs, 0) << "no corpus";
}
