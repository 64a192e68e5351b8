// SPDX-License-Identifier: Apache-2.0
// The cost of the next operation after another process announced a keystore
// change: the version check finds the shared version moved, the keystore is
// read, verified and provisioned again, and the decryption runs. Keystores of
// 12 domains x {1, 10, 100} master keys and of 10,000 keys, each built by one
// import into a fresh keystore.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/stat.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "library_session.h"
#include "telmor_vaq_api.h"

namespace bench {
namespace {

void BM_Reload(benchmark::State &state) {
    const auto totalKeys = static_cast<uint32_t>(state.range(0));
    const auto firstKeys = static_cast<uint32_t>(provisioned_domains().size());
    if (!use_keystore(totalKeys - firstKeys)) {
        state.SkipWithError("keystore could not be built");
        return;
    }
    const std::string text = encrypted_secret();
    const uint32_t reloadsBefore = g_self_keystore_version;
    for (auto _ : state) {
        state.PauseTiming();
        // What another process's announcement does to this one: the shared
        // version moves while this process's own version stays.
        TELMOR_update_shm();
        state.ResumeTiming();
        unsigned char *plain = nullptr;
        uint32_t plainLen = 0;
        const unsigned long rc =
            TELMOR_VAQ_Decrypt(kDomain, text.c_str(), static_cast<uint32_t>(text.size()), &plain, &plainLen);
        HX_VAQ_MemFree(__LINE__, __FILE__, plain);
        if (rc != 0) {
            state.SkipWithError("decryption after the reload failed");
            break;
        }
    }
    if (g_self_keystore_version - reloadsBefore != state.iterations()) {
        state.SkipWithError("not every operation reloaded");
    }
    truncate_library_log();
    state.counters["keys"] = totalKeys;
    state.counters["per_key"] = benchmark::Counter(static_cast<double>(state.iterations()) * totalKeys,
                                                   benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

BENCHMARK(BM_Reload)->ArgName("keys")->Arg(12)->Arg(120)->Arg(1200)->Arg(10000)->Unit(benchmark::kMillisecond);

// The least work a reload must do, written plainly with OpenSSL in this
// process: read both copies (a header, N records laid out as the keystore's:
// 28 bytes of record header, a 12-byte nonce, 32 sealed bytes, a 16-byte tag;
// an HMAC-SHA256 trailer), verify each with one HMAC, and unwrap the N keys of
// one copy with AES-256-GCM under one key schedule into plain heap memory.
constexpr size_t kRecordHeader = 28;
constexpr size_t kAadBytes = 10;  // domain id, key id, length: what a record binds
constexpr size_t kKeyBytes = 32;
constexpr size_t kRecordBytes = kRecordHeader + 12 + kKeyBytes + 16;
constexpr size_t kImageHeader = 56 + 68;  // the header and a sealed root
constexpr const char *kBareCopies[2] = {"/opt/telmor/bench_bare_primary", "/opt/telmor/bench_bare_standby"};

struct BareKeys {
    unsigned char wrap[32];
    unsigned char mac[32];
};

bool write_bare_copies(size_t keys, const BareKeys &k) {
    std::vector<unsigned char> image(kImageHeader + keys * kRecordBytes + 32);
    RAND_bytes(image.data(), static_cast<int>(kImageHeader));
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, k.wrap, nullptr) != 1) return false;
    for (size_t i = 0; i < keys; ++i) {
        unsigned char *r = image.data() + kImageHeader + i * kRecordBytes;
        RAND_bytes(r, static_cast<int>(kRecordHeader + 12));
        unsigned char material[kKeyBytes];
        RAND_bytes(material, sizeof material);
        int n = 0;
        if (EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, nullptr, r + kRecordHeader) != 1 ||
            EVP_EncryptUpdate(ctx.get(), nullptr, &n, r, kAadBytes) != 1 ||
            EVP_EncryptUpdate(ctx.get(), r + kRecordHeader + 12, &n, material, kKeyBytes) != 1 ||
            EVP_EncryptFinal_ex(ctx.get(), r + kRecordHeader + 12 + kKeyBytes, &n) != 1 ||
            EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, 16, r + kRecordHeader + 12 + kKeyBytes) != 1)
            return false;
    }
    const size_t body = image.size() - 32;
    unsigned int macLen = 0;
    HMAC(EVP_sha256(), k.mac, sizeof k.mac, image.data(), body, image.data() + body, &macLen);
    for (const char *path : kBareCopies) {
        const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0) return false;
        const bool whole = write(fd, image.data(), image.size()) == static_cast<ssize_t>(image.size());
        close(fd);
        if (!whole) return false;
    }
    return true;
}

bool read_whole(const char *path, std::vector<unsigned char> &out) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    bool ok = fstat(fd, &st) == 0;
    if (ok) {
        out.resize(static_cast<size_t>(st.st_size));
        ok = read(fd, out.data(), out.size()) == static_cast<ssize_t>(out.size());
    }
    close(fd);
    return ok;
}

// One bare reload after another. Out of line, so that a profile or an
// instruction count (callgrind --toggle-collect) can single it out.
class BareReload {
public:
    BareReload(size_t keys, const BareKeys &k) : keys_(keys), k_(k), ctx_(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free) {}

    [[gnu::noinline]] bool run() {
        std::vector<unsigned char> copies[2];
        bool verified = true;
        for (int i = 0; i < 2; ++i) {
            if (!read_whole(kBareCopies[i], copies[i]) || copies[i].size() < 32) return false;
            unsigned char mac[32];
            unsigned int macLen = 0;
            const size_t body = copies[i].size() - 32;
            HMAC(EVP_sha256(), k_.mac, sizeof k_.mac, copies[i].data(), body, mac, &macLen);
            verified = verified && CRYPTO_memcmp(mac, copies[i].data() + body, 32) == 0;
        }
        std::vector<unsigned char> material(keys_ * kKeyBytes);
        bool unwrapped =
            verified && ctx_ && EVP_DecryptInit_ex(ctx_.get(), EVP_aes_256_gcm(), nullptr, k_.wrap, nullptr) == 1;
        for (size_t i = 0; unwrapped && i < keys_; ++i) {
            unsigned char *r = copies[0].data() + kImageHeader + i * kRecordBytes;
            unsigned char *out = material.data() + i * kKeyBytes;
            int n = 0;
            unwrapped =
                EVP_DecryptInit_ex(ctx_.get(), nullptr, nullptr, nullptr, r + kRecordHeader) == 1 &&
                EVP_DecryptUpdate(ctx_.get(), nullptr, &n, r, kAadBytes) == 1 &&
                EVP_DecryptUpdate(ctx_.get(), out, &n, r + kRecordHeader + 12, kKeyBytes) == 1 &&
                EVP_CIPHER_CTX_ctrl(ctx_.get(), EVP_CTRL_GCM_SET_TAG, 16, r + kRecordHeader + 12 + kKeyBytes) == 1 &&
                EVP_DecryptFinal_ex(ctx_.get(), out, &n) == 1;
        }
        OPENSSL_cleanse(material.data(), material.size());
        benchmark::DoNotOptimize(material.data());
        return unwrapped;
    }

private:
    size_t keys_;
    BareKeys k_;
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx_;
};

void BM_Reload_Bare(benchmark::State &state) {
    const auto keys = static_cast<size_t>(state.range(0));
    BareKeys k{};
    RAND_bytes(k.wrap, sizeof k.wrap);
    RAND_bytes(k.mac, sizeof k.mac);
    if (!write_bare_copies(keys, k)) {
        state.SkipWithError("copies could not be written");
        return;
    }
    BareReload bare(keys, k);
    for (auto _ : state) {
        if (!bare.run()) {
            state.SkipWithError("bare reload failed");
            break;
        }
    }
    for (const char *path : kBareCopies) unlink(path);
    state.counters["keys"] = static_cast<double>(keys);
    state.counters["per_key"] = benchmark::Counter(static_cast<double>(state.iterations()) * static_cast<double>(keys),
                                                   benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

BENCHMARK(BM_Reload_Bare)->ArgName("keys")->Arg(12)->Arg(120)->Arg(1200)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace bench
