// SPDX-License-Identifier: Apache-2.0
// Bringing the library up in a host process, in one of three roles, and taking
// it down again.
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "common/log.h"
#include "host/bounded.h"
#include "host/file_safety.h"
#include "host/host_services.h"
#include "host/last_failure.h"
#include "host/sys.h"
#include "common/error_text.h"
#include "keystore/held_keystore.h"
#include "keystore/init_flag.h"
#include "keystore/library_state.h"
#include "keystore/role_table.h"
#include "telmor_vaq_api.h"
#include "vaq/vaq_api.h"

namespace {

void release_pair() {
    if (g_pstFileName.primary != nullptr) VAQ_FREE(g_pstFileName.primary);
    if (g_pstFileName.standby != nullptr) VAQ_FREE(g_pstFileName.standby);
}

void copy_path(char *buffer, const char *path) {
    tv::memcpy_s(buffer, tv::kPathBufferSize, path, strnlen(path, tv::kMaxPathLength));
}

void destroy_reload_lock() {
    const int ret = tv::sys().rwlock_destroy(&g_vaq_reload_rwlock);
    if (ret != 0) {
        VAQ_LOG(tv::kError, "destroy g_vaq_reload_rwlock failure %s\n", tv::error_text(ret));
        return;
    }
    tv::g_reload_lock_live = false;
}

// Undoes, in reverse order, what a failing initialisation set up itself, so
// that the next one starts from nothing (and never initialises a live lock).
// It owns the keystore path pair from the start: every exit before commit()
// gives it back.
class InitRollback {
public:
    InitRollback() = default;
    InitRollback(const InitRollback &) = delete;
    InitRollback &operator=(const InitRollback &) = delete;
    ~InitRollback() {
        if (committed_) return;
        release_pair();
        if (keystoreLoaded_) TELMOR_VAQ_Unloadkeystore();
        if (segmentAttached_ && g_shm_addr != nullptr) {
            if (tv::sys().shmdt(g_shm_addr) != 0) {
                VAQ_LOG(tv::kError, "detach shm failure %s\n", tv::error_text(errno));
            }
            g_shm_addr = nullptr;
        }
        if (lockCreated_) destroy_reload_lock();
    }
    void lock_created() { lockCreated_ = true; }
    void segment_attached() { segmentAttached_ = true; }
    void keystore_loaded() { keystoreLoaded_ = true; }
    void commit() { committed_ = true; }

private:
    bool lockCreated_ = false;
    bool segmentAttached_ = false;
    bool keystoreLoaded_ = false;
    bool committed_ = false;
};

}  // namespace

extern "C" unsigned long TELMOR_VAQ_Initialize(const char *role) {
    if (tv::library_initialised()) {
        VAQ_LOG(tv::kInfo, "TELMOR VAQ Initialize twice\n");
        return 0;
    }
    tv::clear_last_failure();
    tv::memset_s(&g_pstCallBack, sizeof g_pstCallBack, 0, sizeof g_pstCallBack);
    tv::memset_s(&g_pstFileName, sizeof g_pstFileName, 0, sizeof g_pstFileName);
    if (role == nullptr) return 1;

    InitRollback rollback;
    g_pstFileName.primary = static_cast<char *>(VAQ_ALLOC(tv::kPathBufferSize));
    if (g_pstFileName.primary == nullptr) return 51;
    g_pstFileName.standby = static_cast<char *>(VAQ_ALLOC(tv::kPathBufferSize));
    if (g_pstFileName.standby == nullptr) return 51;
    const tv::RoleRow *row = tv::find_role(role);
    if (row == nullptr) return 151;
    copy_path(g_pstFileName.primary, row->primary);
    copy_path(g_pstFileName.standby, row->standby);
    tv::set_keystore_directory_of(g_pstFileName.primary);
    g_node_type = row->nodeType;

    if (tv::sys().access(g_pstFileName.primary, F_OK) != 0 && tv::sys().access(g_pstFileName.standby, F_OK) != 0) {
        return 11;
    }
    tv::fill_host_services(g_pstCallBack);

    // A lock left live by a finalisation that could not destroy it is used as
    // it is: POSIX leaves initialising a live lock undefined.
    if (!tv::g_reload_lock_live) {
        const int ret = tv::sys().rwlock_init(&g_vaq_reload_rwlock, nullptr);
        if (ret != 0) {
            VAQ_LOG(tv::kError, "pthread mutext init failure %s\n", tv::error_text(ret));
            return 1;
        }
        tv::g_reload_lock_live = true;
        rollback.lock_created();
    }
    if (IvexRegFuncEx(&g_pstCallBack) != 0) {
        VAQ_LOG(tv::kError, "IvexRegFuncEx failed\n");
        return 1;
    }
    const bool attachedBefore = g_shm_addr != nullptr;
    // Recorded before the segment is attached, so that a refused segment is
    // said in the log: without the process id no log line can be written.
    g_vaq_pid = tv::sys().getpid();
    if (load_keystore_version() == 1) return 1;
    if (!attachedBefore) rollback.segment_attached();
    if (TELMOR_VAQ_Loadkeystore() != 0) {
        VAQ_LOG(tv::kError, "init keystore mem failed\n");
        return 1;
    }
    rollback.keystore_loaded();
    if (CRYPTO_thread_setup() != 0) return 1;
    rollback.commit();
    tv::set_library_initialised(true);
    VAQ_LOG(tv::kInfo, "TELMOR VAQ Initialize success\n");
    return 0;
}

extern "C" unsigned long TELMOR_VAQ_Finalize(void) {
    tv::set_library_initialised(false);
    CRYPTO_thread_cleanup();
    release_pair();
    // Without a live reload lock the library was never initialised (or a
    // failed initialisation undid itself): there is no lock to destroy.
    const bool hadLock = tv::g_reload_lock_live;
    if (hadLock) {
        const int ret = tv::sys().rwlock_destroy(&g_vaq_reload_rwlock);
        if (ret != 0) {
            VAQ_LOG(tv::kError, "destory g_vaq_reload_rwlock failure %s\n", tv::error_text(ret));
            return 1;
        }
        tv::g_reload_lock_live = false;
    }
    // Unloads after the paths are released: our key library copies them at
    // load and reads none of them while it unloads.
    if (hadLock || tv::g_keystore_loaded) TELMOR_VAQ_Unloadkeystore();
    // The keys went with the unload: a next initialisation loads afresh.
    tv::forget_held_keys();
    if (hadLock) VAQ_LOG(tv::kInfo, "destory g_vaq_reload_rwlock success\n");
    if (g_shm_addr != nullptr) {
        if (tv::sys().shmdt(g_shm_addr) != 0) {
            VAQ_LOG(tv::kError, "detach shm failure %s\n", tv::error_text(errno));
        } else {
            VAQ_LOG(tv::kInfo, "detach shm_addr %x success\n",
                    static_cast<unsigned int>(reinterpret_cast<uintptr_t>(g_shm_addr)));
        }
        g_shm_addr = nullptr;
    }
    VAQ_LOG(tv::kInfo, "TELMOR_VAQ_Finalize ok\n");
    return 0;
}
