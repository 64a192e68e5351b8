// SPDX-License-Identifier: Apache-2.0
#include "host/ipc_owner.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/log.h"
#include "host/last_failure.h"
#include "host/sys.h"
#include "node_layout.h"

namespace tv {
namespace {

// Nothing here allocates: these run inside the lock and segment services,
// which must not fail (or throw) for want of memory.
constexpr size_t kRoles = node_layout::kRoles.size();

// Owner of the directory that holds a role's primary keystore copy; false
// when it is missing or not a directory (a link is not followed and counts
// for nothing).
bool dir_owner(const node_layout::RoleLayout &role, uid_t &owner) {
    char dir[256];
    const char *slash = std::strrchr(role.primary, '/');
    const size_t length = slash == nullptr ? 0 : static_cast<size_t>(slash - role.primary);
    if (length == 0 || length >= sizeof dir) return false;
    std::memcpy(dir, role.primary, length);
    dir[length] = '\0';
    struct stat st {};
    if (sys().lstat(dir, &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    owner = st.st_uid;
    return true;
}

// The accounts other than root that own a role's keystore directory, lowest first.
struct Accounts {
    uid_t uid[kRoles] = {};
    size_t count = 0;
    bool has(uid_t u) const { return std::find(uid, uid + count, u) != uid + count; }
};

Accounts keystore_accounts() {
    Accounts a;
    for (const auto &role : node_layout::kRoles) {
        uid_t owner = 0;
        if (!dir_owner(role, owner) || owner == 0 || a.has(owner)) continue;
        size_t at = a.count++;
        for (; at > 0 && a.uid[at - 1] > owner; --at) a.uid[at] = a.uid[at - 1];
        a.uid[at] = owner;
    }
    return a;
}

// The account's name, or "?".
void look_up(uid_t uid, char (&name)[64]) {
    std::strcpy(name, "?");
    passwd pw{};
    passwd *found = nullptr;
    char buf[4096];
    if (getpwuid_r(uid, &pw, buf, sizeof buf, &found) == 0 && found != nullptr)
        std::snprintf(name, sizeof name, "%s", pw.pw_name);
}

// The group the operator named for the node's objects (telmor-vaq init
// --group), recorded in root's /etc/telmor/vaq/ipc.group; false when none is.
// Only a file of root's, in root's directories, that no one else can write is
// believed: the group decides who may take the lock.
bool recorded_group(gid_t &out) {
    const int fd = sys().open("/etc/telmor/vaq/ipc.group", O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
    if (fd < 0) return false;
    struct stat st {}, dir {};
    char text[32] = {};
    const bool trusted = sys().fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == 0 &&
                         (st.st_mode & 022) == 0 && sys().lstat("/etc/telmor/vaq", &dir) == 0 && S_ISDIR(dir.st_mode) &&
                         dir.st_uid == 0 && (dir.st_mode & 022) == 0 && sys().read(fd, text, sizeof text - 1) > 0;
    sys().close(fd);
    if (!trusted) return false;
    char *end = nullptr;
    const unsigned long gid = std::strtoul(text, &end, 10);
    if (end == text || (*end != '\n' && *end != '\0') || gid == 0 || gid > 0xfffffffful) return false;
    out = static_cast<gid_t>(gid);
    return true;
}

// Whether the account is in the group (its primary group or a supplementary
// one, as the user and group databases say).
bool member_of(uid_t uid, gid_t group) {
    passwd pw{};
    passwd *found = nullptr;
    char buf[4096];
    if (getpwuid_r(uid, &pw, buf, sizeof buf, &found) != 0 || found == nullptr) return false;
    gid_t groups[256];
    int count = 256;
    if (getgrouplist(pw.pw_name, pw.pw_gid, groups, &count) == -1) return false;
    return std::find(groups, groups + count, group) != groups + count;
}

}  // namespace

bool plan_ipc_ownership(const char *what, key_t key, IpcOwnership &out) {
    const Accounts accounts = keystore_accounts();
    out = IpcOwnership{};
    uid_t creatingOwner = sys().geteuid();
    const bool knownRole = g_node_type >= 1 && g_node_type <= static_cast<int32_t>(kRoles);
    const bool creatingDir =
        knownRole && dir_owner(node_layout::kRoles[static_cast<size_t>(g_node_type - 1)], creatingOwner);
    if (accounts.count == 0) {
        out.uid = creatingOwner;
        return true;
    }
    // Root needs no grant, so a directory of root's does not split the node:
    // with one other account the object is that account's.
    out.uid = creatingDir && creatingOwner != 0 ? creatingOwner : accounts.uid[0];
    gid_t group = 0;
    if (recorded_group(group)) {
        out.gid = group;
        out.mode = 0660;
        out.shareGroup = true;
        return true;
    }
    if (accounts.count == 1) return true;
    char names[kRoles * 80] = "";
    size_t used = 0;
    for (size_t i = 0; i < accounts.count && used < sizeof names; ++i) {
        char name[64];
        look_up(accounts.uid[i], name);
        const int n = std::snprintf(names + used, sizeof names - used, "%s%u (%s)", i == 0 ? "" : ", ",
                                    static_cast<unsigned>(accounts.uid[i]), name);
        if (n < 0) break;
        used += static_cast<size_t>(n);
    }
    VAQ_LOG(kError,
            "%s %#x not created: the roles' keystore directories belong to uids %s, and no group is named for them "
            "to share it through; as root, name one: telmor-vaq init --role ROLE --group GROUP\n",
            what, static_cast<unsigned>(key), names);
    return false;
}

const char *foreign_ipc_reason(const ipc_perm &perm) {
    const uid_t me = sys().geteuid();
    const Accounts accounts = keystore_accounts();
    // A role's account may keep its keystore directories where other
    // accounts cannot look; the node's named group makes it known instead.
    gid_t named = 0;
    const bool hasGroup = recorded_group(named);
    auto trusted = [&](uid_t uid) {
        return uid == me || uid == 0 || accounts.has(uid) || (hasGroup && member_of(uid, named));
    };
    if (!trusted(perm.uid) || !trusted(perm.cuid)) return "owned or created by another user";
    if ((perm.mode & 002) != 0) return "writable by others";
    if ((perm.mode & 020) != 0) {
        // Shared through a group only where the operator named one, and only
        // through that group.
        if (!hasGroup || perm.gid != named) return "writable by its group";
    }
    return nullptr;
}

bool hand_over(ipc_perm &perm, const IpcOwnership &owner) {
    const uid_t me = sys().geteuid();
    if (me != 0 && me != perm.uid && me != perm.cuid) return false;
    const mode_t mode = perm.mode & 0777;
    if (owner.shareGroup) {
        // Any of the sharing accounts may own it; processes of different
        // roles do not hand it back and forth.
        if (perm.uid != 0 && perm.gid == owner.gid && mode == owner.mode) return false;
        if (perm.uid == 0) perm.uid = owner.uid;
        perm.gid = owner.gid;
    } else {
        if (perm.uid == owner.uid && mode == owner.mode) return false;
        perm.uid = owner.uid;
    }
    perm.mode = owner.mode;
    return true;
}

bool ask_again_after_denial(int &waitedMs) {
    constexpr int kGivingWaitMs = 2000;
    constexpr int kPollMs = 10;
    if (waitedMs >= kGivingWaitMs) {
        errno = EACCES;
        return false;
    }
    timespec ts{0, kPollMs * 1000000L};
    while (sys().nanosleep(&ts, &ts) == -1 && errno == EINTR) {}
    waitedMs += kPollMs;
    return true;
}

bool listed_ipc_owner(bool segment, key_t key, unsigned &uid, unsigned &cuid, unsigned &mode) {
    FILE *list = std::fopen(segment ? "/proc/sysvipc/shm" : "/proc/sysvipc/sem", "re");
    if (list == nullptr) return false;
    char line[512];
    bool found = false;
    bool header = true;
    while (!found && std::fgets(line, sizeof line, list) != nullptr) {
        if (header) {
            header = false;
            continue;
        }
        long k = 0;
        unsigned long skip = 0;
        unsigned perms = 0, u = 0, g = 0, cu = 0;
        // shm: key shmid perms size cpid lpid nattch uid gid cuid ...
        // sem: key semid perms nsems uid gid cuid ...
        const int n = segment ? std::sscanf(line, "%ld %lu %o %lu %lu %lu %lu %u %u %u", &k, &skip, &perms, &skip,
                                            &skip, &skip, &skip, &u, &g, &cu)
                              : std::sscanf(line, "%ld %lu %o %lu %u %u %u", &k, &skip, &perms, &skip, &u, &g, &cu);
        if (n == (segment ? 10 : 7) && static_cast<int32_t>(k) == key) {
            uid = u;
            cuid = cu;
            mode = perms & 0777;
            found = true;
        }
    }
    std::fclose(list);
    return found;
}

void log_denied_ipc(const char *what, key_t key) {
    unsigned uid = 0, cuid = 0, mode = 0;
    if (!listed_ipc_owner(std::strcmp(what, "shared segment") == 0, key, uid, cuid, mode)) return;
    VAQ_LOG(kError,
            "%s %#x is not open to this process (uid %u): made by uid %u, owner uid %u, mode %04o; where roles run "
            "under different accounts, root names a group for them: telmor-vaq init --role ROLE --group GROUP\n",
            what, static_cast<unsigned>(key), static_cast<unsigned>(sys().geteuid()), cuid, uid, mode);
}

void log_foreign_ipc(const char *what, key_t key, const char *why, const ipc_perm &perm) {
    const bool segment = std::strcmp(what, "shared segment") == 0;
    record_ipc_failure(segment ? TELMOR_VAQ_OBJECT_IPC_SEGMENT : TELMOR_VAQ_OBJECT_IPC_LOCK, key, why, 0);
    VAQ_LOG(kError, "%s %#x not used: %s (owner uid %u, creator uid %u, mode %04o, this process uid %u)\n", what,
            static_cast<unsigned>(key), why, static_cast<unsigned>(perm.uid), static_cast<unsigned>(perm.cuid),
            static_cast<unsigned>(perm.mode & 0777), static_cast<unsigned>(sys().geteuid()));
}

}  // namespace tv
