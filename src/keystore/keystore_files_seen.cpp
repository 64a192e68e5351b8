// SPDX-License-Identifier: Apache-2.0
#include "keystore/keystore_files_seen.h"

#include <sys/stat.h>

#include <array>
#include <mutex>

#include "host/sys.h"
#include "keystore/keystore_version.h"
#include "telmor_vaq_api.h"

namespace tv {
namespace {

struct CopySeen {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    struct timespec ctime {};

    bool operator==(const CopySeen &o) const {
        return exists == o.exists && dev == o.dev && ino == o.ino && size == o.size &&
               ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
    }
};

using PairSeen = std::array<CopySeen, 2>;

CopySeen look_at(const char *path) {
    CopySeen seen;
    struct stat st {};
    if (path == nullptr || sys().stat(path, &st) != 0) return seen;
    seen.exists = true;
    seen.dev = st.st_dev;
    seen.ino = st.st_ino;
    seen.size = st.st_size;
    seen.ctime = st.st_ctim;
    return seen;
}

PairSeen look_at_pair() { return {look_at(g_pstFileName.primary), look_at(g_pstFileName.standby)}; }

std::mutex g_mutex;
PairSeen g_loaded;  // guarded by g_mutex
bool g_noted = false;  // guarded by g_mutex

}  // namespace

void note_keystore_files() {
    const PairSeen now = look_at_pair();
    std::lock_guard<std::mutex> guard(g_mutex);
    g_loaded = now;
    g_noted = true;
}

bool keystore_may_have_changed() {
    if (g_shm_addr != nullptr && shared_keystore_version() != own_keystore_version()) return true;
    const PairSeen now = look_at_pair();
    std::lock_guard<std::mutex> guard(g_mutex);
    return !g_noted || now != g_loaded;
}

}  // namespace tv
