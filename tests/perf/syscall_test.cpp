// SPDX-License-Identifier: Apache-2.0
// System calls of the hot paths, counted in a traced child over N and 2N
// operations: a successful decryption makes none, and an encryption makes
// only those of its one log line (the log's directory opened and examined,
// the log opened relative to it and examined, so that a file that is not
// regular or not ours is refused, write, two closes, and the thread id the
// line carries), or none when the log threshold writes no line.
#include <sys/syscall.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "syscall_counter.h"
#include "node_layout.h"
#include "telmor_vaq_api.h"

namespace {

using perftest::describe;
using perftest::mark;
using perftest::minus;
using perftest::SyscallCounts;
using perftest::times;

constexpr uint32_t kDomain = 50;
constexpr int kN = 100;
constexpr unsigned char kSecret[32] = {'t', 'h', 'i', 'r', 't', 'y', '-', 't', 'w', 'o', ' ', 'b', 'y', 't', 'e', 's',
                                       ' ', 'o', 'f', ' ', 's', 'e', 'c', 'r', 'e', 't', ' ', 'd', 'a', 't', 'a', '!'};

// Exit codes of the traced child.
enum : int { kOk = 0, kInitFailed = 10, kEncryptFailed = 11, kDecryptFailed = 12 };

bool encrypt_once(std::string *text = nullptr) {
    char *out = nullptr;
    uint32_t len = 0;
    if (TELMOR_VAQ_Encrypt(kDomain, kSecret, sizeof kSecret, &out, &len) != 0) return false;
    if (text != nullptr) text->assign(out, len);
    HX_VAQ_MemFree(__LINE__, __FILE__, out);
    return true;
}

bool decrypt_once(const std::string &text) {
    unsigned char *plain = nullptr;
    uint32_t len = 0;
    const unsigned long rc =
        TELMOR_VAQ_Decrypt(kDomain, text.c_str(), static_cast<uint32_t>(text.size()), &plain, &len);
    HX_VAQ_MemFree(__LINE__, __FILE__, plain);
    return rc == 0 && len == sizeof kSecret;
}

// Initialises on a fresh keystore, warms the thread's caches with one of each
// operation, then counts windows of 0, N and 2N operations.
int run_windows(bool (*op)(const std::string &)) {
    std::ofstream(node_layout::kAgent.primary, std::ios::trunc).close();
    if (TELMOR_VAQ_Initialize("HXA") != 0) return kInitFailed;
    std::string text;
    if (!encrypt_once(&text) || !decrypt_once(text)) return kDecryptFailed;
    bool ok = true;
    for (int n : {0, kN, 2 * kN}) {
        mark();
        for (int i = 0; i < n; ++i) ok = op(text) && ok;
        mark();
    }
    TELMOR_VAQ_Finalize();
    return ok ? kOk : kEncryptFailed;
}

// The calls that N and 2N operations add to an empty window.
void counted(bool (*op)(const std::string &), SyscallCounts *perN, SyscallCounts *per2N) {
    const perftest::Trace trace = perftest::trace_child([op] { return run_windows(op); });
    ASSERT_EQ(trace.error, "");
    ASSERT_EQ(trace.exitCode, kOk);
    ASSERT_EQ(trace.windows.size(), 3u);
    *perN = minus(trace.windows[1], trace.windows[0]);
    *per2N = minus(trace.windows[2], trace.windows[0]);
}

TEST(SystemCalls, SuccessfulDecryptionsMakeNone) {
    SyscallCounts n, twoN;
    counted(decrypt_once, &n, &twoN);
    EXPECT_EQ(n, SyscallCounts{}) << kN << " decryptions: " << describe(n);
    EXPECT_EQ(twoN, SyscallCounts{}) << 2 * kN << " decryptions: " << describe(twoN);
}

TEST(SystemCalls, EncryptionMakesOnlyItsLogLineCalls) {
    SyscallCounts n, twoN;
    counted([](const std::string &) { return encrypt_once(); }, &n, &twoN);
#if defined(__x86_64__)
    constexpr long kFstat = SYS_newfstatat;  // what the C library's fstat becomes here
#else
    constexpr long kFstat = SYS_fstat;
#endif
    // The log's directory and the log in it, each opened and checked once.
    const SyscallCounts line{{SYS_openat, 2}, {kFstat, 2}, {SYS_write, 1}, {SYS_close, 2}, {SYS_gettid, 1}};
    EXPECT_EQ(n, times(line, kN)) << kN << " encryptions: " << describe(n);
    EXPECT_EQ(twoN, times(line, 2 * kN)) << 2 * kN << " encryptions: " << describe(twoN);
}

TEST(SystemCalls, EncryptionBelowTheLogThresholdMakesNone) {
    SyscallCounts n, twoN;
    counted(
        [](const std::string &) {
            g_api_log_level = 3;  // above ERROR: this library writes no line
            return encrypt_once();
        },
        &n, &twoN);
    EXPECT_EQ(n, SyscallCounts{}) << kN << " encryptions: " << describe(n);
    EXPECT_EQ(twoN, SyscallCounts{}) << 2 * kN << " encryptions: " << describe(twoN);
}

}  // namespace
