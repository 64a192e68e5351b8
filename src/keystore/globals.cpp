// SPDX-License-Identifier: Apache-2.0
// The process-wide state of the library, exported so that hosts (and their
// tests) can see it. Everything starts zero: the library is uninitialised.
#include <pthread.h>

#include "keystore/library_state.h"
#include "telmor_vaq_api.h"
#include "vaq/vaq_host_services.h"

HX_VAQ_HOST_SERVICES g_pstCallBack = {};
HX_VAQ_KEYSTORE_FILES g_pstFileName = {nullptr, nullptr};
int32_t g_init_flag = 0;
int32_t g_node_type = 0;
void *g_shm_addr = nullptr;
uint32_t g_self_keystore_version = 0;
pthread_rwlock_t g_vaq_reload_rwlock = PTHREAD_RWLOCK_INITIALIZER;
int32_t g_vaq_pid = 0;
pthread_mutex_t *lock_cs = nullptr;

namespace tv {

bool g_reload_lock_live = false;
std::atomic<bool> g_keystore_loaded{false};

}  // namespace tv
