// SPDX-License-Identifier: Apache-2.0
#include "keystore/held_keystore.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdint>
#include <ctime>

#include "common/log.h"
#include "host/log_mute.h"
#include "host/repeat_limit.h"
#include "host/sys.h"
#include "keystore/library_state.h"
#include "vaq/vaq_api.h"

namespace tv {

namespace {

// The key library's entries for handing over its keystore, looked up at run
// time: a key library without them (another build) reloads as before,
// unloading first, and a reload that fails leaves no keystore.
struct HoldEntries {
    void *(*detach)(void) = nullptr;
    uint32_t (*attach)(void *) = nullptr;
    void (*drop)(void *) = nullptr;
};

const HoldEntries &entries() {
    static const HoldEntries e = [] {
        HoldEntries found;
        found.detach = reinterpret_cast<void *(*)(void)>(::dlsym(RTLD_DEFAULT, "VaqPrivDetachKeystore"));
        found.attach = reinterpret_cast<uint32_t (*)(void *)>(::dlsym(RTLD_DEFAULT, "VaqPrivAttachKeystore"));
        found.drop = reinterpret_cast<void (*)(void *)>(::dlsym(RTLD_DEFAULT, "VaqPrivDropKeystore"));
        if (!found.detach || !found.attach || !found.drop) found = HoldEntries{};
        return found;
    }();
    return e;
}

// Why a load failed, for the codes after which the keys held are kept: the
// keystore could not be opened now, which says nothing against its files. A
// failure that does (damaged or foreign copies, an untrusted secret, PCRs
// that changed) leaves the process without keys, as a failed load always did.
const char *protector_cause(unsigned long code) {
    switch (code) {
        case VAQ_ERR_NO_MEMORY:
            return "out of memory";
        case VAQ_ERR_IO:
            return "a keystore file could not be read";
        case VAQ_ERR_SECRET_UNREADABLE:
            return "the node secret cannot be read";
        case VAQ_ERR_TPM_ABSENT:
            return "no TPM reached";
        case VAQ_ERR_TPM_REFUSED:
            return "the TPM answered an error";
        case VAQ_ERR_TOKEN_MODULE:
            return "the token's PKCS#11 module cannot be used";
        case VAQ_ERR_TOKEN_ABSENT:
            return "the token is not present (or its module lost it)";
        case VAQ_ERR_TOKEN_PIN:
            return "the token refused the login (PIN wrong, locked or unreadable)";
        case VAQ_ERR_TOKEN_REFUSED:
            return "the token refused an operation (a device error)";
        case VAQ_ERR_PROCESS_LOCK:
            return "the node's process lock could not be taken";
        default:
            return nullptr;
    }
}

std::atomic<bool> g_held{false};
std::atomic<int64_t> g_retry_at_ms{0};
std::atomic<unsigned long> g_held_code{0};

// One WARN line per cause a minute; the codes above lie in 2000-2063.
struct MinuteLimit : RepeatLimit {
    MinuteLimit() : RepeatLimit(60) {}
};
MinuteLimit g_warned[64];

int64_t monotonic_ms() {
    struct timespec ts {};
    if (sys().clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return 0;
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void warn_held(unsigned long code, const char *cause) {
    uint64_t leftOut = 0;
    if (!g_warned[(code - 2000) % 64].admit(&leftOut)) return;
    const LogMute heard(false);
    if (leftOut == 0)
        VAQ_LOG(kWarn,
                "keystore not reloaded (code %lu: %s); serving the keys loaded before, tried again every %d ms\n", code,
                cause, kHeldRetryMs);
    else
        VAQ_LOG(kWarn,
                "keystore not reloaded (code %lu: %s); serving the keys loaded before, tried again every %d ms (%llu "
                "more such failures since the last such line)\n",
                code, cause, kHeldRetryMs, static_cast<unsigned long long>(leftOut));
}

}  // namespace

HeldKeystore::HeldKeystore() {
    if (entries().detach) held_ = entries().detach();
}

HeldKeystore::~HeldKeystore() {
    if (held_ != nullptr) entries().drop(held_);
}

bool HeldKeystore::restore_after(unsigned long code) {
    const char *cause = protector_cause(code);
    if (held_ == nullptr || cause == nullptr) return false;
    void *held = held_;
    held_ = nullptr;
    if (entries().attach(held) != 0) return false;
    g_keystore_loaded = true;
    g_held_code.store(code, std::memory_order_relaxed);
    g_retry_at_ms.store(monotonic_ms() + kHeldRetryMs, std::memory_order_relaxed);
    g_held.store(true, std::memory_order_release);
    warn_held(code, cause);
    return true;
}

bool serving_held_keys() { return g_held.load(std::memory_order_acquire); }

bool reload_backing_off() {
    return serving_held_keys() && monotonic_ms() < g_retry_at_ms.load(std::memory_order_relaxed);
}

void reload_ended(bool loaded, unsigned long code) {
    if (!g_held.exchange(false, std::memory_order_acq_rel)) return;
    // The reload's own lines were held back: these say how it ended.
    const LogMute heard(false);
    const unsigned long heldFor = g_held_code.load(std::memory_order_relaxed);
    if (loaded)
        VAQ_LOG(kInfo, "keystore reloaded; the keys held since a reload failed (code %lu) are served no longer\n",
                heldFor);
    else
        VAQ_LOG(kError,
                "keystore not reloaded (code %lu), a failure that does not keep the keys; those held since a "
                "reload failed (code %lu) are dropped\n",
                code, heldFor);
}

void forget_held_keys() { g_held.store(false, std::memory_order_release); }

}  // namespace tv
