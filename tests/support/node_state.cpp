// SPDX-License-Identifier: Apache-2.0
#include "node_state.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <string>

namespace tvtest {

void fresh_keystore(const node_layout::RoleLayout &role) {
    std::remove(role.primary);
    std::remove(role.standby);
    // A fresh node has no keystore lock file either: one left by an earlier
    // test may belong to another user than the next one's.
    const std::string primary = role.primary;
    std::remove((primary.substr(0, primary.rfind('/') + 1) + "keystore.lock").c_str());
    std::ofstream(role.primary, std::ios::trunc);
}

void remove_version_segment() {
    const int id = shmget(node_layout::kVersionSegmentKey, 0, 0);
    if (id != -1) shmctl(id, IPC_RMID, nullptr);
}

uint32_t shared_version(uint32_t absent) {
    const int id = shmget(node_layout::kVersionSegmentKey, 0, 0);
    if (id == -1) return absent;
    void *addr = shmat(id, nullptr, SHM_RDONLY);
    if (addr == reinterpret_cast<void *>(-1)) return absent;
    const uint32_t v = std::atomic_ref<uint32_t>(*static_cast<uint32_t *>(addr)).load();
    shmdt(addr);
    return v;
}

void set_shared_version(uint32_t value) {
    const int id = shmget(node_layout::kVersionSegmentKey, node_layout::kVersionSegmentSize, IPC_CREAT | 0600);
    void *addr = shmat(id, nullptr, 0);
    std::atomic_ref<uint32_t>(*static_cast<uint32_t *>(addr)).store(value);
    shmdt(addr);
}

std::string ipc_key_text(int32_t key) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%#x", static_cast<unsigned>(key));
    return buf;
}

}  // namespace tvtest
