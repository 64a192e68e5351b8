// SPDX-License-Identifier: Apache-2.0
// The private interface for libhxbQor.so (vaq_private.h). These run on every
// encryption that misses its cache, so they take only the key-index lock.
#include "vaq/vaq_private.h"

#include "edge.h"
#include "export.h"

using namespace vaq;

HXB_EXPORT uint64_t VaqPrivKeyEpoch(void) { return g_key_epoch.load(std::memory_order_acquire); }

HXB_EXPORT uint32_t VaqPrivWorkingKey(uint32_t domainId, uint32_t keyId, unsigned char *out,
                                      uint64_t *epoch) {
    State *s = g_state.load(std::memory_order_acquire);
    if (s == nullptr || out == nullptr || epoch == nullptr) return VAQ_ERR_NOT_INITIALIZED;
    return s->working_key(domainId, keyId, out, epoch);
}

HXB_EXPORT uint32_t VaqPrivActiveKey(uint32_t domainId, uint32_t *keyId, unsigned char *out,
                                     uint64_t *epoch) {
    State *s = g_state.load(std::memory_order_acquire);
    if (s == nullptr || keyId == nullptr || out == nullptr || epoch == nullptr)
        return VAQ_ERR_NOT_INITIALIZED;
    return s->active_key(domainId, keyId, out, epoch);
}

HXB_EXPORT void VaqPrivSetUnloadHook(void (*hook)(void)) {
    g_unload_hook.store(hook, std::memory_order_release);
}

HXB_EXPORT void VaqPrivLog(int32_t level, const char *module, const char *file, int32_t line,
                           const char *message) {
    if (message == nullptr) return;
    log_line(static_cast<LogLevel>(level), module ? module : "?", file ? file : "?", line, "%s",
             message);
}
