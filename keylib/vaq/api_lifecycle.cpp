// SPDX-License-Identifier: Apache-2.0
// Registration of the host table, loading and unloading the keystore.
#include "edge.h"
#include "export.h"
#include "hxb/plain_memory.h"
#include "vaq/vaq_private.h"

using namespace vaq;

HXB_EXPORT uint32_t IvexRegFuncEx(const VaqHostServices *table) {
    if (table == nullptr) {
        return static_cast<uint32_t>(at_edge(
            "IvexRegFuncEx", []() -> Status { return Fail(VAQ_ERR_NULL_ARG, "the host-service table is null"); }));
    }
    if (const char *why = Host::missing_slot(*table)) {
        // The refusal goes to the offered table's log when it has one: the
        // host that made the mistake is the one to tell.
        if (table->wrilog_fn)
            log_to(Host(*table), LogLevel::kError, kVaqModule, __FILE_NAME__, __LINE__,
                   "IvexRegFuncEx failed: %s, ret=%u\n", why, static_cast<unsigned>(VAQ_ERR_BAD_TABLE));
        return VAQ_ERR_BAD_TABLE;
    }
    g_registered = *table;
    return VAQ_OK;
}

// Takes the keystore down: the key index first, so the data-protection library
// sees no keys, then every key in memory is wiped with the state.
static void unload() {
    if (auto usage = g_usage_hook.load(std::memory_order_acquire)) usage();
    State *s = g_state.exchange(nullptr, std::memory_order_acq_rel);
    if (s == nullptr) return;
    {
        ThreadLockGuard g(s->host, s->lock);
        s->unpublish();
    }
    if (auto hook = g_unload_hook.load(std::memory_order_acquire)) hook();
    delete s;
}

HXB_EXPORT unsigned long IvexInitializeEx(uint32_t, const struct HX_VAQ_KEYSTORE_FILES *files, uint32_t, void *) {
    return at_edge("IvexInitializeEx", [&]() -> Status {
        if (!g_registered) return Fail(VAQ_ERR_NOT_REGISTERED, "no host-service table registered");
        if (files == nullptr) return Fail(VAQ_ERR_NULL_ARG, "the keystore file pair is null");
        if (g_state.load(std::memory_order_acquire) != nullptr) {
            // A host that retries its own initialisation finds us loaded:
            // reload rather than refuse.
            VAQ_KLOG(LogLevel::kWarn, "keystore already loaded; loading it again\n");
            unload();
        }
        std::unique_ptr<State> state;
        Status s = State::create(*g_registered, *files, state);
        if (!s.ok()) return s;
        {
            ThreadLockGuard g(state->host, state->lock);
            s = state->load();
            plain::settle();
            if (!s.ok()) {
                state->unpublish();
                return s;
            }
        }
        g_state.store(state.release(), std::memory_order_release);
        return Ok();
    });
}

HXB_EXPORT unsigned long IvexSetRole(uint32_t role) {
    return with_state("IvexSetRole", [&](State &s) -> Status {
        s.role = role;
        return Ok();
    });
}

HXB_EXPORT unsigned long IvexFinalizeEx(void) {
    return at_edge("IvexFinalizeEx", []() -> Status {
        unload();
        return Ok();
    });
}

// The host's reload that must not lose the keys it serves: the loaded
// keystore is taken out of use whole (no key is found through it, the data-
// protection library's caches are dropped as at an unload), and comes back
// only if the load that follows fails.
HXB_EXPORT void *VaqPrivDetachKeystore(void) {
    State *s = g_state.exchange(nullptr, std::memory_order_acq_rel);
    if (s == nullptr) return nullptr;
    {
        ThreadLockGuard g(s->host, s->lock);
        s->unpublish();
    }
    if (auto hook = g_unload_hook.load(std::memory_order_acquire)) hook();
    return s;
}

HXB_EXPORT uint32_t VaqPrivAttachKeystore(void *held) {
    auto *s = static_cast<State *>(held);
    if (s == nullptr) return VAQ_ERR_NULL_ARG;
    return static_cast<uint32_t>(at_edge("VaqPrivAttachKeystore", [&]() -> Status {
        // A keystore loaded meanwhile is newer than the one held.
        if (g_state.load(std::memory_order_acquire) != nullptr) {
            delete s;
            return Fail(VAQ_ERR_ALREADY_INITIALIZED, "a keystore was loaded meanwhile; the one held is dropped");
        }
        std::unique_ptr<KeyIndex> idx;
        try {
            idx = s->index_of(s->keystore);
        } catch (...) {
            delete s;
            throw;
        }
        {
            ThreadLockGuard g(s->host, s->lock);
            s->install(std::move(idx));
        }
        g_state.store(s, std::memory_order_release);
        return Ok();
    }));
}

HXB_EXPORT void VaqPrivDropKeystore(void *held) { delete static_cast<State *>(held); }
