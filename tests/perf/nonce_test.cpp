// SPDX-License-Identifier: Apache-2.0
// Nonces come from a per-thread stream that is keyed once, not from a system
// call per encryption. These show that the stream never repeats a nonce: not
// across threads, and not in a child forked from a process that has used it
// (a child that kept its parent's stream would repeat the parent's next
// nonces under the same key).
#include <openssl/evp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "node_layout.h"
#include "telmor_vaq_api.h"

namespace {

using Nonce = std::array<unsigned char, 12>;

constexpr uint32_t kDomain = 50;
constexpr size_t kNonceOffset = 12;

class Nonces : public ::testing::Test {
protected:
    void SetUp() override {
        std::ofstream(node_layout::kAgent.primary, std::ios::trunc).close();
        ASSERT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);
        g_api_log_level = 3;  // the log is not what these look at
    }
    void TearDown() override { TELMOR_VAQ_Finalize(); }
};

// The nonce of a fresh encryption, read back from the cipher bytes; all zero
// when the encryption failed.
Nonce next_nonce() {
    Nonce nonce{};
    const unsigned char plain[32] = {1, 2, 3};
    char *text = nullptr;
    uint32_t len = 0;
    if (TELMOR_VAQ_Encrypt(kDomain, plain, sizeof plain, &text, &len) != 0) return nonce;
    std::vector<unsigned char> cipher(len);
    const int n = EVP_DecodeBlock(cipher.data(), reinterpret_cast<const unsigned char *>(text), static_cast<int>(len));
    HX_VAQ_MemFree(__LINE__, __FILE__, text);
    if (n >= static_cast<int>(kNonceOffset + nonce.size()))
        std::copy_n(cipher.begin() + kNonceOffset, nonce.size(), nonce.begin());
    return nonce;
}

TEST_F(Nonces, ForkedChildNeverRepeatsItsParentsNonces) {
    constexpr int kEach = 40;
    std::set<Nonce> parent;
    for (int i = 0; i < kEach; ++i) parent.insert(next_nonce());  // the stream is keyed and in use

    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::close(fds[0]);
        for (int i = 0; i < kEach; ++i) {
            const Nonce n = next_nonce();
            if (::write(fds[1], n.data(), n.size()) != static_cast<ssize_t>(n.size())) ::_exit(1);
        }
        ::_exit(0);
    }
    ::close(fds[1]);
    for (int i = 0; i < kEach; ++i) parent.insert(next_nonce());
    std::vector<Nonce> child;
    Nonce n;
    while (::read(fds[0], n.data(), n.size()) == static_cast<ssize_t>(n.size())) child.push_back(n);
    ::close(fds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    ASSERT_EQ(parent.size(), 2u * kEach) << "the parent repeated a nonce";
    ASSERT_EQ(child.size(), static_cast<size_t>(kEach));
    for (const Nonce &c : child) {
        EXPECT_NE(c, Nonce{}) << "an encryption in the child failed";
        EXPECT_EQ(parent.count(c), 0u) << "the child repeated one of its parent's nonces";
    }
    EXPECT_EQ(std::set<Nonce>(child.begin(), child.end()).size(), child.size());
}

TEST_F(Nonces, ThreadsNeverShareANonce) {
    constexpr int kThreads = 4;
    constexpr int kEach = 2000;
    std::vector<std::vector<Nonce>> drawn(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&drawn, t] {
            for (int i = 0; i < kEach; ++i) drawn[t].push_back(next_nonce());
        });
    }
    for (auto &t : threads) t.join();
    std::set<Nonce> all;
    for (const auto &v : drawn) all.insert(v.begin(), v.end());
    EXPECT_EQ(all.count(Nonce{}), 0u) << "an encryption failed";
    EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kEach));
}

}  // namespace
