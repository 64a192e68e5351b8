// SPDX-License-Identifier: Apache-2.0
#include "host/ipc_owner.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <string>
#include <vector>

#include "common/log.h"
#include "host/sys.h"
#include "node_layout.h"

namespace tv {
namespace {

// The directory that holds a role's primary keystore copy.
std::string keystore_dir(const node_layout::RoleLayout &role) {
    const std::string primary = role.primary;
    return primary.substr(0, primary.rfind('/'));
}

// Owner of a role's keystore directory; false when it is missing or not a
// directory (a link is not followed and counts for nothing).
bool dir_owner(const node_layout::RoleLayout &role, uid_t &owner) {
    struct stat st {};
    if (sys().lstat(keystore_dir(role).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    owner = st.st_uid;
    return true;
}

// The accounts other than root that own a role's keystore directory, lowest first.
std::vector<uid_t> keystore_accounts() {
    std::vector<uid_t> accounts;
    for (const auto &role : node_layout::kRoles) {
        uid_t owner = 0;
        if (dir_owner(role, owner) && owner != 0 && std::find(accounts.begin(), accounts.end(), owner) == accounts.end())
            accounts.push_back(owner);
    }
    std::sort(accounts.begin(), accounts.end());
    return accounts;
}

struct Account {
    std::string name;
    gid_t primaryGroup = 0;
    std::vector<gid_t> groups;
};

bool look_up(uid_t uid, Account &out) {
    passwd pw{};
    passwd *found = nullptr;
    std::vector<char> buf(16384);
    if (getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) != 0 || found == nullptr) return false;
    out.name = pw.pw_name;
    out.primaryGroup = pw.pw_gid;
    int count = 64;
    out.groups.resize(static_cast<size_t>(count));
    if (getgrouplist(pw.pw_name, pw.pw_gid, out.groups.data(), &count) == -1) {
        out.groups.resize(static_cast<size_t>(count));
        if (getgrouplist(pw.pw_name, pw.pw_gid, out.groups.data(), &count) == -1) return false;
    }
    out.groups.resize(static_cast<size_t>(count));
    return true;
}

// A group other than root's that every account is in; false when there is none.
bool shared_group(const std::vector<uid_t> &accounts, gid_t &out, std::vector<gid_t> *primaries = nullptr) {
    std::vector<gid_t> common;
    for (size_t i = 0; i < accounts.size(); ++i) {
        Account a;
        if (!look_up(accounts[i], a)) return false;
        if (primaries != nullptr) primaries->push_back(a.primaryGroup);
        std::sort(a.groups.begin(), a.groups.end());
        if (i == 0) {
            common = a.groups;
        } else {
            std::vector<gid_t> both;
            std::set_intersection(common.begin(), common.end(), a.groups.begin(), a.groups.end(),
                                  std::back_inserter(both));
            common.swap(both);
        }
    }
    common.erase(std::remove(common.begin(), common.end(), gid_t{0}), common.end());
    if (common.empty()) return false;
    out = common.front();
    return true;
}

std::string name_of(uid_t uid) {
    Account a;
    return look_up(uid, a) ? a.name : "?";
}

}  // namespace

bool plan_ipc_ownership(const char *what, key_t key, IpcOwnership &out) {
    const std::vector<uid_t> accounts = keystore_accounts();
    out = IpcOwnership{};
    uid_t creatingOwner = sys().geteuid();
    const bool knownRole = g_node_type >= 1 && g_node_type <= static_cast<int32_t>(node_layout::kRoles.size());
    const bool creatingDir = knownRole && dir_owner(node_layout::kRoles[static_cast<size_t>(g_node_type - 1)], creatingOwner);
    if (accounts.empty()) {
        out.uid = creatingOwner;
        return true;
    }
    // Root needs no grant, so a directory of root's does not split the node:
    // with one other account the object is that account's.
    out.uid = creatingDir && creatingOwner != 0 ? creatingOwner : accounts.front();
    if (accounts.size() == 1) return true;
    gid_t group = 0;
    if (shared_group(accounts, group)) {
        out.gid = group;
        out.mode = 0660;
        out.shareGroup = true;
        return true;
    }
    std::string names;
    for (uid_t uid : accounts) {
        if (!names.empty()) names += ", ";
        names += std::to_string(uid) + " (" + name_of(uid) + ")";
    }
    VAQ_LOG(kError,
            "%s %#x not created: the roles' keystore directories belong to uids %s, which share no group to use it "
            "through\n",
            what, static_cast<unsigned>(key), names.c_str());
    return false;
}

const char *foreign_ipc_reason(const ipc_perm &perm) {
    const uid_t me = sys().geteuid();
    const std::vector<uid_t> accounts = keystore_accounts();
    auto trusted = [&](uid_t uid) {
        return uid == me || uid == 0 || std::find(accounts.begin(), accounts.end(), uid) != accounts.end();
    };
    if (!trusted(perm.uid) || !trusted(perm.cuid)) return "owned or created by another user";
    if ((perm.mode & 002) != 0) return "writable by others";
    if ((perm.mode & 020) != 0) {
        // Shared through a group only where several accounts need it, and only
        // through their common group (or a trusted account's own, which the
        // kernel grants the creator's group as well).
        gid_t group = 0;
        std::vector<gid_t> primaries;
        if (accounts.size() < 2 || !shared_group(accounts, group, &primaries) || perm.gid != group)
            return "writable by its group";
        if (perm.cgid != 0 && perm.cgid != group &&
            std::find(primaries.begin(), primaries.end(), perm.cgid) == primaries.end())
            return "writable by its creator's group";
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

void log_foreign_ipc(const char *what, key_t key, const char *why, const ipc_perm &perm) {
    VAQ_LOG(kError, "%s %#x not used: %s (owner uid %u, creator uid %u, mode %04o, this process uid %u)\n", what,
            static_cast<unsigned>(key), why, static_cast<unsigned>(perm.uid), static_cast<unsigned>(perm.cuid),
            static_cast<unsigned>(perm.mode & 0777), static_cast<unsigned>(sys().geteuid()));
}

}  // namespace tv
