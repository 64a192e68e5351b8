// SPDX-License-Identifier: Apache-2.0
#include "nonce_source.h"

#include "hxb/openssl_owner.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <pthread.h>
#include <sys/mman.h>

#include <atomic>
#include <cstring>
#include <new>

namespace qor {

namespace {

constexpr size_t kPageBytes = 4096;
// Nonces made per keystream refill.
constexpr size_t kBatchNonces = 32;
// A new stream key after this much keystream, far below where AES-CTR output
// becomes distinguishable from random.
constexpr uint64_t kRekeyBytes = uint64_t{1} << 32;

// Non-zero while this process keeps the streams its threads keyed; zero in a
// child the kernel has just forked (the page is wiped there). Null when the
// kernel offers no such page.
std::atomic<uint64_t> *fork_word() {
    static std::atomic<uint64_t> *word = []() -> std::atomic<uint64_t> * {
        void *page = ::mmap(nullptr, kPageBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (page == MAP_FAILED) return nullptr;
        if (::madvise(page, kPageBytes, MADV_WIPEONFORK) != 0) {
            ::munmap(page, kPageBytes);
            return nullptr;
        }
        return new (page) std::atomic<uint64_t>(0);
    }();
    return word;
}

// The process's current stream generation, 0 when forks cannot be detected.
// A child starts a generation that none of its threads has keyed under: the
// counter it inherits has already handed out every value they hold.
uint64_t stream_generation() {
    std::atomic<uint64_t> *word = fork_word();
    if (word == nullptr) return 0;
    uint64_t current = word->load(std::memory_order_acquire);
    if (current != 0) return current;
    static std::atomic<uint64_t> issued{0};
    const uint64_t fresh = issued.fetch_add(1, std::memory_order_relaxed) + 1;
    if (word->compare_exchange_strong(current, fresh, std::memory_order_acq_rel)) return fresh;
    return current;
}

class NonceStream {
public:
    NonceStream() = default;
    ~NonceStream() { wipe(); }
    NonceStream(const NonceStream &) = delete;
    NonceStream &operator=(const NonceStream &) = delete;

    bool draw(uint8_t out[kNonceBytes]) {
        const uint64_t generation = stream_generation();
        if (generation == 0) return RAND_bytes(out, kNonceBytes) == 1;
        if (generation != generation_ || ctx_ == nullptr || streamed_ >= kRekeyBytes) {
            if (!rekey(generation)) return RAND_bytes(out, kNonceBytes) == 1;
        }
        if (used_ == sizeof batch_ && !refill()) {
            wipe();
            return RAND_bytes(out, kNonceBytes) == 1;
        }
        std::memcpy(out, batch_ + used_, kNonceBytes);
        used_ += kNonceBytes;
        return true;
    }

private:
    bool rekey(uint64_t generation) {
        wipe();
        uint8_t key[32];
        uint8_t counter[16];
        ctx_.reset(EVP_CIPHER_CTX_new());
        const bool ok = ctx_ != nullptr && RAND_bytes(key, sizeof key) == 1 &&
                        RAND_bytes(counter, sizeof counter) == 1 &&
                        EVP_EncryptInit_ex(ctx_.get(), EVP_aes_256_ctr(), nullptr, key, counter) == 1;
        OPENSSL_cleanse(key, sizeof key);
        if (!ok) {
            wipe();
            return false;
        }
        generation_ = generation;
        return true;
    }

    // The keystream itself: CTR output over zero bytes.
    bool refill() {
        std::memset(batch_, 0, sizeof batch_);
        int n = 0;
        if (EVP_EncryptUpdate(ctx_.get(), batch_, &n, batch_, static_cast<int>(sizeof batch_)) != 1 ||
            n != static_cast<int>(sizeof batch_))
            return false;
        streamed_ += sizeof batch_;
        used_ = 0;
        return true;
    }

    void wipe() {
        ctx_.reset();
        OPENSSL_cleanse(batch_, sizeof batch_);
        used_ = sizeof batch_;
        streamed_ = 0;
        generation_ = 0;
    }

    hxb::OpenSslOwner<EVP_CIPHER_CTX> ctx_;
    uint64_t generation_ = 0;
    uint64_t streamed_ = 0;
    uint8_t batch_[kBatchNonces * kNonceBytes] = {};
    size_t used_ = sizeof batch_;
};

// The thread's stream hangs off a pthread key, not a thread_local object:
// glibc registers a thread_local's destructor with an allocation of its own and
// ends the process when that allocation fails. Without a stream a nonce comes
// straight from the generator.
NonceStream *thread_stream() {
    thread_local NonceStream *mine = nullptr;
    if (mine != nullptr) return mine;
    static pthread_key_t key;
    static const bool keyed = pthread_key_create(&key, [](void *s) { delete static_cast<NonceStream *>(s); }) == 0;
    if (!keyed) return nullptr;
    auto *stream = new (std::nothrow) NonceStream;
    if (stream == nullptr) return nullptr;
    if (pthread_setspecific(key, stream) != 0) {
        delete stream;
        return nullptr;
    }
    mine = stream;
    return mine;
}

}  // namespace

bool draw_nonce(uint8_t out[kNonceBytes]) {
    NonceStream *stream = thread_stream();
    return stream != nullptr ? stream->draw(out) : RAND_bytes(out, kNonceBytes) == 1;
}

}  // namespace qor
