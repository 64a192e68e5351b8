// SPDX-License-Identifier: Apache-2.0
// Encryption and decryption of a 32-byte secret through the library, each
// beside what a caller could write with OpenSSL or libsodium for the same
// work. scripts/bench pairs the figures into ratios.
#include <benchmark/benchmark.h>
#include <pthread.h>

#include <cstring>
#include <string>

#include "baselines.h"
#include "library_session.h"
#include "telmor_vaq_api.h"

namespace bench {
namespace {

constexpr char kBaselineLog[] = "/var/log/oam/hxa/run/bench_baseline.log";
constexpr uint32_t kQuiet = 3;  // above every level: no line of the library is written

// Library in step with a fresh keystore; false (and the run marked failed) otherwise.
bool ready(benchmark::State &state) {
    if (use_keystore(0)) return true;
    state.SkipWithError("library could not be started");
    return false;
}

// ---- decryption ----------------------------------------------------------

void BM_Decrypt_Ours(benchmark::State &state) {
    if (!ready(state)) return;
    const std::string mine = encrypted_secret();
    for (auto _ : state) {
        unsigned char *plain = nullptr;
        uint32_t plainLen = 0;
        if (TELMOR_VAQ_Decrypt(kDomain, mine.c_str(), static_cast<uint32_t>(mine.size()), &plain, &plainLen) != 0 ||
            plainLen != kSecretBytes) {
            state.SkipWithError("decryption failed");
            HX_VAQ_MemFree(__LINE__, __FILE__, plain);
            break;
        }
        benchmark::DoNotOptimize(plain[0]);
        HX_VAQ_MemFree(__LINE__, __FILE__, plain);
    }
    state.SetItemsProcessed(state.iterations());
}

// A text under a key id that this keystore lacks, the keystore unchanged
// since it was loaded: what anyone holding a text can make the library do at
// will. The first such text after a load that wrote the copies reloads once;
// it is taken before the timing.
void BM_DecryptUnknownKey_Ours(benchmark::State &state) {
    if (!ready(state)) return;
    const std::string text = text_under_unknown_key(encrypted_secret());
    auto once = [&text] {
        unsigned char *plain = nullptr;
        uint32_t plainLen = 0;
        const unsigned long rc =
            TELMOR_VAQ_Decrypt(kDomain, text.c_str(), static_cast<uint32_t>(text.size()), &plain, &plainLen);
        HX_VAQ_MemFree(__LINE__, __FILE__, plain);
        return rc;
    };
    if (once() != 268) {
        state.SkipWithError("the text did not name an unknown key");
        return;
    }
    for (auto _ : state) {
        if (once() != 268) {
            state.SkipWithError("the text did not name an unknown key");
            break;
        }
    }
    truncate_library_log();
    state.SetItemsProcessed(state.iterations());
}

// One baseline's decryption loop; with a lock, its reader side is taken and
// released around every call, as the interface does around ours.
template <typename Gcm>
void decrypt_baseline(benchmark::State &state, const char *failure, pthread_rwlock_t *lock = nullptr) {
    Gcm gcm;
    char text[kTextChars + 1];
    const size_t chars = gcm.seal(kSecret, kSecretBytes, text);
    uint8_t plain[64];
    for (auto _ : state) {
        size_t n = 0;
        if (lock != nullptr) pthread_rwlock_rdlock(lock);
        const bool ok = gcm.open(text, chars, plain, &n);
        if (lock != nullptr) pthread_rwlock_unlock(lock);
        if (!ok || n != kSecretBytes) {
            state.SkipWithError(failure);
            break;
        }
        benchmark::DoNotOptimize(plain[0]);
    }
    state.SetItemsProcessed(state.iterations());
}

bool sodium_available(benchmark::State &state) {
    if (SodiumGcm::available()) return true;
    state.SkipWithError("libsodium's AES-256-GCM is not available on this CPU");
    return false;
}

void BM_Decrypt_OpenSSL(benchmark::State &state) { decrypt_baseline<OpenSslGcm>(state, "baseline decryption failed"); }

void BM_Decrypt_Sodium(benchmark::State &state) {
    if (sodium_available(state)) decrypt_baseline<SodiumGcm>(state, "libsodium decryption failed");
}

// The baseline with what the interface adds around every library call: the
// reader side of one process-wide reader/writer lock, taken and released.
void BM_Decrypt_OpenSSLUnderReadLock(benchmark::State &state) {
    static pthread_rwlock_t lock = PTHREAD_RWLOCK_INITIALIZER;
    decrypt_baseline<OpenSslGcm>(state, "baseline decryption failed", &lock);
}

// ---- encryption ----------------------------------------------------------

void encrypt_ours(benchmark::State &state, uint32_t logLevel) {
    if (!ready(state)) return;
    truncate_library_log();
    const uint32_t saved = g_api_log_level;
    g_api_log_level = logLevel;
    for (auto _ : state) {
        char *text = nullptr;
        uint32_t len = 0;
        if (TELMOR_VAQ_Encrypt(kDomain, kSecret, kSecretBytes, &text, &len) != 0) {
            state.SkipWithError("encryption failed");
            break;
        }
        benchmark::DoNotOptimize(text[0]);
        HX_VAQ_MemFree(__LINE__, __FILE__, text);
    }
    g_api_log_level = saved;
    state.SetItemsProcessed(state.iterations());
}

void BM_EncryptLogged_Ours(benchmark::State &state) { encrypt_ours(state, 0); }
void BM_EncryptQuiet_Ours(benchmark::State &state) { encrypt_ours(state, kQuiet); }

void BM_EncryptLogged_OpenSSL(benchmark::State &state) {
    if (!ready(state)) return;
    const size_t lineBytes = encryption_log_line_bytes();
    if (lineBytes == 0) {
        state.SkipWithError("the library's log line could not be measured");
        return;
    }
    PlainLog log(kBaselineLog, lineBytes);
    log.truncate();
    OpenSslGcm gcm;
    char text[kTextChars + 1];
    for (auto _ : state) {
        if (gcm.seal(kSecret, kSecretBytes, text) != kTextChars || !log.append()) {
            state.SkipWithError("baseline encryption failed");
            break;
        }
        benchmark::DoNotOptimize(text[0]);
    }
    state.counters["line_bytes"] = static_cast<double>(lineBytes);
    state.SetItemsProcessed(state.iterations());
}

template <typename Gcm>
void encrypt_baseline(benchmark::State &state, const char *failure) {
    Gcm gcm;
    char text[kTextChars + 1];
    for (auto _ : state) {
        if (gcm.seal(kSecret, kSecretBytes, text) != kTextChars) {
            state.SkipWithError(failure);
            break;
        }
        benchmark::DoNotOptimize(text[0]);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_EncryptQuiet_OpenSSL(benchmark::State &state) {
    encrypt_baseline<OpenSslGcm>(state, "baseline encryption failed");
}

void BM_EncryptQuiet_Sodium(benchmark::State &state) {
    if (sodium_available(state)) encrypt_baseline<SodiumGcm>(state, "libsodium encryption failed");
}

BENCHMARK(BM_Decrypt_Ours);
BENCHMARK(BM_DecryptUnknownKey_Ours);
BENCHMARK(BM_Decrypt_OpenSSL);
BENCHMARK(BM_Decrypt_Sodium);
BENCHMARK(BM_EncryptLogged_Ours);
BENCHMARK(BM_EncryptLogged_OpenSSL);
BENCHMARK(BM_EncryptQuiet_Ours);
BENCHMARK(BM_EncryptQuiet_OpenSSL);
BENCHMARK(BM_EncryptQuiet_Sodium);

// Throughput as threads are added; the machine's cores bound what can scale.
BENCHMARK(BM_Decrypt_Ours)->Name("BM_DecryptThreads_Ours")->DenseThreadRange(1, 4)->UseRealTime();
BENCHMARK(BM_Decrypt_OpenSSL)->Name("BM_DecryptThreads_OpenSSL")->DenseThreadRange(1, 4)->UseRealTime();
BENCHMARK(BM_Decrypt_OpenSSLUnderReadLock)
    ->Name("BM_DecryptThreads_OpenSSLReadLock")
    ->DenseThreadRange(1, 4)
    ->UseRealTime();

}  // namespace
}  // namespace bench
