// SPDX-License-Identifier: Apache-2.0
#include "session.h"

#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "file_safety.h"
#include "node_layout.h"
#include "telmor_vaq_api.h"

namespace cli {

namespace {

// The keystore format version of a copy, 0 when it is not a keystore image.
unsigned keystore_format(const char *path) {
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return 0;
    unsigned char head[10] = {};
    const ssize_t n = read(fd, head, sizeof head);
    close(fd);
    if (n != static_cast<ssize_t>(sizeof head) || std::memcmp(head, "HXBVAQKS", 8) != 0) return 0;
    return head[8] | head[9] << 8;
}

// The newest keystore format this tool knows; a higher one was written by a
// newer key library.
constexpr unsigned kNewestKnownFormat = 2;

OpenCause g_open_cause = OpenCause::None;

// The key library's code for the load that just failed, from this process's
// own log line "IvexInitializeEx failed, ret=N" (the main library answers
// only 1); 0 when there is none.
unsigned long logged_load_code() {
    if (g_log_name[0] == '\0') return 0;
    const int fd = open(g_log_name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return 0;
    std::string tail(64 * 1024, '\0');
    const off_t size = lseek(fd, 0, SEEK_END);
    const off_t from = size > static_cast<off_t>(tail.size()) ? size - static_cast<off_t>(tail.size()) : 0;
    const ssize_t n = pread(fd, tail.data(), tail.size(), from);
    close(fd);
    if (n <= 0) return 0;
    tail.resize(static_cast<size_t>(n));
    static const std::string kMark = "IvexInitializeEx failed, ret=";
    const size_t at = tail.rfind(kMark);
    if (at == std::string::npos) return 0;
    return std::strtoul(tail.c_str() + at + kMark.size(), nullptr, 10);
}

constexpr key_t kVersionSegmentKey = node_layout::kVersionSegmentKey;
constexpr key_t kLockKey = node_layout::kProcessLockKey;

union semun_arg {
    int val;
    semid_ds *buf;
    unsigned short *array;
};

std::string hex_key(key_t key) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08x", static_cast<unsigned>(key));
    return buf;
}

// Why this user cannot use the node's shared objects, or "".
std::string ipc_problem() {
    const uid_t me = geteuid();
    auto judge = [me](const char *what, key_t key, uid_t owner, unsigned mode) -> std::string {
        if (owner == me || me == 0) return "";
        if (owner != 0) {
            return std::string("the node's ") + what + " (key " + hex_key(key) + ") belongs to user " +
                   user_name(owner) + ", not to this user or root: remove it with 'ipcrm' as root when no process runs";
        }
        if ((mode & 0006) != 0006) {
            return std::string("the node's ") + what + " (key " + hex_key(key) + ") belongs to root (mode " +
                   octal(mode & 0777) + "): run the tool as root or as the user the node's processes run as";
        }
        return "";
    };
    auto denied = [](const char *what, key_t key) {
        return std::string("no permission to use the node's ") + what + " (key " + hex_key(key) +
               "): run the tool as root or as the user the node's processes run as";
    };
    if (const int id = shmget(kVersionSegmentKey, 0, 0); id >= 0) {
        shmid_ds ds{};
        if (shmctl(id, IPC_STAT, &ds) == 0) {
            if (std::string p =
                    judge("keystore version segment", kVersionSegmentKey, ds.shm_perm.uid, ds.shm_perm.mode);
                !p.empty()) {
                return p;
            }
        } else if (errno == EACCES) {
            return denied("keystore version segment", kVersionSegmentKey);
        }
    } else if (errno == EACCES) {
        return denied("keystore version segment", kVersionSegmentKey);
    }
    if (const int id = semget(kLockKey, 0, 0); id >= 0) {
        semid_ds ds{};
        semun_arg arg;
        arg.buf = &ds;
        if (semctl(id, 0, IPC_STAT, arg) == 0) {
            if (std::string p = judge("process lock", kLockKey, ds.sem_perm.uid, ds.sem_perm.mode); !p.empty())
                return p;
        } else if (errno == EACCES) {
            return denied("process lock", kLockKey);
        }
    } else if (errno == EACCES) {
        return denied("process lock", kLockKey);
    }
    return "";
}

// The cause of a failed initialisation, read from the node's shared objects
// and the keystore files.
Failure open_failure(unsigned long rc, const Role &r) {
    const std::string role = r.name;
    Context ctx{role, {}, {}, {}};
    g_open_cause = OpenCause::Other;
    if (rc != 1) return failed(rc, "cannot open the keystore of role " + role, ctx);
    if (const std::string ipc = ipc_problem(); !ipc.empty()) {
        g_open_cause = OpenCause::Access;
        return Failure{rc, "cannot open the keystore of role " + role + ": " + ipc};
    }
    std::string unsafe;
    bool bothData = true;
    for (const char *path : {r.primary, r.standby}) {
        const FileFacts f = file_facts(path);
        const std::string why = unsafe_copy_reason(f);
        if (!why.empty()) unsafe += (unsafe.empty() ? "" : "; ") + std::string(path) + " is " + why;
        if (!f.exists || f.size == 0) bothData = false;
        if (why.empty() && keystore_format(path) > kNewestKnownFormat) {
            g_open_cause = OpenCause::NewerFormat;
            return Failure{rc, "cannot open the keystore of role " + role + ": " + cause(2009, ctx)};
        }
    }
    if (!unsafe.empty()) {
        g_open_cause = OpenCause::Unsafe;
        return Failure{rc, "cannot open the keystore of role " + role + ": no keystore copy is safe to use (" + unsafe +
                               "); the files are left as they are: see 'telmor-vaq status --role " + role + "'"};
    }
    // The root protector's refusals are told by the key library's own code.
    if (const unsigned long code = logged_load_code(); code >= 2028 && code <= 2039) {
        g_open_cause = OpenCause::Other;
        return Failure{code, "cannot open the keystore of role " + role + ": " + cause(code, ctx)};
    }
    for (const char *path : {r.primary, r.standby}) {
        const std::string io = explain_io(path, false);
        if (!io.empty() && file_facts(path).exists) {
            g_open_cause = OpenCause::Access;
            return Failure{rc, "cannot open the keystore of role " + role + ": " + io};
        }
    }
    g_open_cause = OpenCause::Damaged;
    if (bothData) return Failure{rc, "cannot open the keystore of role " + role + ": " + cause(2008, ctx)};
    return Failure{rc, "cannot open the keystore of role " + role +
                           ": the only copy does not verify (damaged "
                           "or altered) and is left as it is: restore it from a backup (see docs/operations.md), "
                           "the role's log in " +
                           std::string(r.logDir) + " names the code"};
}

}  // namespace

OpenCause last_open_cause() { return g_open_cause; }

Session::Session(const std::string &role) {
    const Role &r = need_role(role);
    g_open_cause = OpenCause::None;
    const unsigned long rc = TELMOR_VAQ_Initialize(role.c_str());
    if (rc == 0) return;
    g_open_cause = OpenCause::NoKeystore;
    if (rc == 11) throw failed(rc, "cannot open the keystore of role " + role, Context{role, {}, {}, {}});
    throw open_failure(rc, r);
}

Session::~Session() { TELMOR_VAQ_Finalize(); }

}  // namespace cli
