// SPDX-License-Identifier: Apache-2.0
// The tool's secret buffers give back no block that still holds a secret:
// every free() of the process is looked at (the link wraps free) while a
// secret and a password are read through growing buffers and released.
#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "secret_io.h"

extern "C" void __real_free(void *block);

namespace {

// Blocks freed while `armed` that still held the marker.
std::atomic<bool> armed{false};
std::atomic<int> dirty{0};
std::atomic<int> watched{0};
constexpr char kMarker[] = "Qz7-secret-marker-Qz7";

bool holds_marker(const void *block, size_t n) { return memmem(block, n, kMarker, sizeof kMarker - 1) != nullptr; }

}  // namespace

extern "C" void __wrap_free(void *block) {
    if (block != nullptr && armed.load()) {
        ++watched;
        if (holds_marker(block, malloc_usable_size(block))) ++dirty;
    }
    __real_free(block);
}

namespace {

// A pipe holding `copies` markers (plus a line end), written from a fixed
// array so the test itself keeps no heap copy.
int pipe_with(int copies, bool lineEnd) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    if (fork() == 0) {
        close(fds[0]);
        for (int i = 0; i < copies; ++i) (void)!write(fds[1], kMarker, sizeof kMarker - 1);
        if (lineEnd) (void)!write(fds[1], "\n", 1);
        _exit(0);
    }
    close(fds[1]);
    return fds[0];
}

TEST(SecretBuffer, GrowingAndReleasingLeavesNoCopyInFreedBlocks) {
    const int fd = pipe_with(5000, false);  // about 100 KiB: many growths
    ASSERT_GE(fd, 0);
    armed = true;
    {
        cli::SecretBuffer secret = cli::read_all_secret(fd, size_t{1} << 20);
        EXPECT_EQ(secret.size(), 5000 * (sizeof kMarker - 1));
        EXPECT_TRUE(holds_marker(secret.data(), secret.size()));
        cli::SecretBuffer moved = std::move(secret);
        EXPECT_EQ(secret.size(), 0u);
    }
    armed = false;
    close(fd);
    EXPECT_GE(watched.load(), 3);  // the buffer grew more than once
    EXPECT_EQ(dirty.load(), 0);
}

TEST(SecretBuffer, APasswordFromADescriptorLeavesNoCopyInFreedBlocks) {
    const int fd = pipe_with(40, true);  // 840 characters, read one at a time
    ASSERT_GE(fd, 0);
    cli::Options opt;
    opt.passwordFd = fd;
    armed = true;
    {
        cli::SecretBuffer pw = cli::read_password(opt, true, 12);
        EXPECT_EQ(pw.size(), 40 * (sizeof kMarker - 1));
    }
    armed = false;
    close(fd);
    EXPECT_GT(watched.load(), 0);
    EXPECT_EQ(dirty.load(), 0);
}

}  // namespace
