// SPDX-License-Identifier: Apache-2.0
// Keeping this process in step with the node's keystore: the check at the
// start of every key operation, and the reload it leads to.
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>

#include "common/log.h"
#include "host/sys.h"
#include "common/error_text.h"
#include "host/last_failure.h"
#include "host/log_mute.h"
#include "keystore/held_keystore.h"
#include "keystore/init_flag.h"
#include "keystore/keystore_version.h"
#include "keystore/library_state.h"
#include "telmor_vaq_api.h"

extern "C" int32_t is_file_error(const char *path) {
    if (path == nullptr) return 1;
    struct stat st;
    if (tv::sys().stat(path, &st) != 0) {
        VAQ_LOG(tv::kError, "stat %s error %s\n", path, tv::error_text(errno));
        return 1;
    }
    if (st.st_size == 0) {
        VAQ_LOG(tv::kError, "stat %s empty\n", path);
        return 1;
    }
    return 0;
}

extern "C" unsigned long reload_keystore_mem(void) {
    if (is_file_error(g_pstFileName.primary) == 1 && is_file_error(g_pstFileName.standby) == 1) {
        VAQ_LOG(tv::kError, "two keystore not exist, will not reload\n");
        return 1;
    }
    if (wrlock_vaq_mem() != 0) return 1;
    // Read before the unload: a change announced while the reload runs then
    // still differs from the recorded value and leads to one more reload,
    // instead of being recorded without being loaded.
    const bool attached = g_shm_addr != nullptr;
    const uint32_t version = attached ? tv::shared_keystore_version() : 0;
    // The keys in use are set aside, not wiped, until the new load is known
    // to have worked: a load that fails for want of the root protector puts
    // them back, and the reload counts as not done (own version behind), so
    // that a later try loads what the node has.
    tv::HeldKeystore held;
    TELMOR_VAQ_Unloadkeystore();
    tv::record_code(0);
    const unsigned long loaded = TELMOR_VAQ_Loadkeystore();
    if (loaded != 0 && held.restore_after(tv::last_code())) {
        unlock_vaq_mem();
        return 1;
    }
    tv::reload_ended(loaded == 0, tv::last_code());
    if (attached) tv::set_own_keystore_version(version);
    return unlock_vaq_mem() != 0 ? 1 : 0;
}

extern "C" unsigned long check_modified_and_load_key(void) {
    if (!tv::library_initialised()) {
        VAQ_LOG(tv::kError, "TELMOR VAQ not Initialize\n");
        return 1;
    }
    // A reload that could not load left no keystore in memory, and recorded
    // the version all the same: without a second look this process would stay
    // without keys until another process announced a change.
    if (tv::shared_keystore_version() == tv::own_keystore_version() &&
        tv::g_keystore_loaded.load(std::memory_order_relaxed))
        return 0;
    // Keys held from before a reload that could not open the keystore: the
    // next try waits for its back-off, and while they are held the tries'
    // lines give way to the summary line held_keystore.h writes.
    if (tv::reload_backing_off()) return 0;
    const tv::LogMute mute(tv::serving_held_keys());
    VAQ_LOG(tv::kInfo, "self version %d, node version %d\n", static_cast<int32_t>(tv::own_keystore_version()),
            static_cast<int32_t>(tv::shared_keystore_version()));
    // A refused reload leaves the own version behind, so the next check tries
    // again; the keystore in memory stays in use meanwhile.
    reload_keystore_mem();
    return 0;
}
