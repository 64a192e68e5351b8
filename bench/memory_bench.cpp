// SPDX-License-Identifier: Apache-2.0
#include "memory_bench.h"

#include <benchmark/benchmark.h>
#include <openssl/crypto.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "baselines.h"
#include "library_session.h"
#include "telmor_vaq_api.h"

namespace bench {

namespace {

constexpr int kEncryptions = 100000;

int library_child() {
    if (TELMOR_VAQ_Initialize("HXA") != 0) return 10;
    for (int i = 0; i < kEncryptions; ++i) {
        char *text = nullptr;
        uint32_t len = 0;
        if (TELMOR_VAQ_Encrypt(kDomain, kSecret, kSecretBytes, &text, &len) != 0) return 11;
        HX_VAQ_MemFree(__LINE__, __FILE__, text);
    }
    return TELMOR_VAQ_Finalize() == 0 ? 0 : 12;
}

int openssl_child() {
    if (OPENSSL_init_crypto(0, nullptr) != 1) return 20;
    OpenSslGcm gcm;
    char text[kTextChars + 1];
    return gcm.seal(kSecret, kSecretBytes, text) == kTextChars ? 0 : 21;
}

// Peak resident KiB of a fresh run of this binary in `mode`, or -1.
long peak_kib(const char *mode) {
    const std::string flag = std::string(kMemoryChildFlag) + mode;
    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        char *const args[] = {const_cast<char *>("telmor_bench"), const_cast<char *>(flag.c_str()), nullptr};
        ::execv("/proc/self/exe", args);
        ::_exit(127);
    }
    int status = 0;
    struct rusage usage {};
    if (::wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return usage.ru_maxrss;
}

void BM_PeakMemory(benchmark::State &state) {
    // The children initialise on the keystore this process has made.
    if (!use_keystore(0)) {
        state.SkipWithError("keystore could not be built");
        return;
    }
    long ours = 0;
    long openssl = 0;
    for (auto _ : state) {
        ours = peak_kib("library");
        openssl = peak_kib("openssl");
        if (ours < 0 || openssl < 0) {
            state.SkipWithError("a memory child failed");
            break;
        }
    }
    // The children share this process's log file name; keep it small.
    truncate_library_log();
    state.counters["ours_kib"] = static_cast<double>(ours);
    state.counters["openssl_kib"] = static_cast<double>(openssl);
    state.counters["extra_kib"] = static_cast<double>(ours - openssl);
}

BENCHMARK(BM_PeakMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int run_memory_child(const char *mode) {
    if (std::strcmp(mode, "library") == 0) return library_child();
    if (std::strcmp(mode, "openssl") == 0) return openssl_child();
    return 2;
}

}  // namespace bench
