// SPDX-License-Identifier: Apache-2.0
#include "file_safety.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "node_layout.h"
#include "telmor_vaq_private.h"

namespace cli {

FileFacts file_facts(const std::string &path) {
    FileFacts f;
    f.path = path;
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return f;
    f.exists = true;
    f.symlink = S_ISLNK(st.st_mode);
    f.regular = S_ISREG(st.st_mode);
    f.directory = S_ISDIR(st.st_mode);
    f.nlink = static_cast<unsigned>(st.st_nlink);
    f.mode = st.st_mode & 07777;
    f.uid = st.st_uid;
    f.gid = st.st_gid;
    f.size = static_cast<long long>(st.st_size);
    f.dev = st.st_dev;
    f.ino = st.st_ino;
    return f;
}

std::string user_name(uid_t uid) {
    const passwd *pw = getpwuid(uid);
    return pw != nullptr ? pw->pw_name : std::to_string(uid);
}

std::string group_name(gid_t gid) {
    const group *gr = getgrgid(gid);
    return gr != nullptr ? gr->gr_name : std::to_string(gid);
}

std::string octal(unsigned mode) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04o", mode & 07777);
    return buf;
}

namespace {

std::string judged(uint32_t kind, const std::string &path, int32_t key = 0) {
    char reason[256] = {};
    const uint32_t verdict = telmor_vaq_judge(kind, path.c_str(), key, reason, sizeof reason);
    if (verdict == TELMOR_VAQ_REFUSED) return reason;
    // Not even the library can look at it: it cannot use it either.
    if (verdict == TELMOR_VAQ_UNKNOWN) return std::string("cannot be looked at (") + reason + ")";
    return "";
}

std::string dir_of(const std::string &path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string hex_key(int32_t key) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08x", static_cast<unsigned>(key));
    return buf;
}

}  // namespace

std::string refused_file(const std::string &path) { return judged(TELMOR_VAQ_OBJECT_FILE, path); }

std::string refused_directory(const std::string &path) { return judged(TELMOR_VAQ_OBJECT_DIRECTORY, path); }

std::string copy_refusal(const std::string &path, const std::string &role) {
    const std::string why = refused_file(path);
    if (why.empty()) return "";
    const FileFacts f = file_facts(path);
    std::string remedy;
    if (f.regular && f.nlink > 1) {
        // A copy of its own, with owner and mode kept.
        remedy = "make it a file of its own: 'cp -p " + path + " " + path + ".new && mv " + path + ".new " + path + "'";
    } else if (f.regular) {
        // Whom the library accepts: root, this user, and for root the owner
        // of the directory, which is the account the node's processes run as.
        const FileFacts dir = file_facts(dir_of(path));
        remedy = geteuid() == 0 ? "give it to the owner of its directory: 'chown " + user_name(dir.uid) + " " + path + "'"
                                : "run the tool as " + user_name(f.uid) + " or as root";
    } else if (f.exists) {
        remedy = "while the other copy is good, move it aside ('mv " + path + " " + path +
                 ".unsafe') and run 'telmor-vaq check --repair --role " + role + "'";
    } else {
        remedy = "run the tool as the account that owns the keystore, or as root";
    }
    return "not used by the library (" + why + "): " + remedy;
}

std::vector<std::string> copy_warnings(const std::string &path, const std::string &role) {
    const std::string refusal = copy_refusal(path, role);
    if (refusal.empty()) return {};
    return {path + " is " + refusal};
}

std::vector<std::string> directory_warnings(const std::string &dir) {
    const std::string why = refused_directory(dir);
    if (why.empty()) return {};
    const FileFacts f = file_facts(dir);
    std::string remedy;
    if (f.symlink || !f.directory) {
        remedy = "replace it with a directory";
    } else if (f.mode & 022) {
        remedy = "run 'chmod go-w " + dir + "'";
    } else {
        remedy = "run the tool as " + user_name(f.uid) + " or as root";
    }
    return {dir + " is not trusted by the library (" + why + ", mode " + octal(f.mode) + " " + user_name(f.uid) +
            "): " + remedy};
}

std::vector<std::string> exposure_warnings(const std::string &path) {
    const FileFacts f = file_facts(path);
    if (!f.exists || f.symlink || (!f.regular && !f.directory) || (f.mode & 077) == 0) return {};
    // What the library refuses is warned of already, with its own remedy.
    if (!(f.directory ? refused_directory(path) : refused_file(path)).empty()) return {};
    // Only the owner's processes read a keystore: a copy others can read
    // hands them the sealed root (the root itself in an unprotected copy).
    const std::string mode = f.directory ? "0700" : "0600";
    return {path + (f.directory ? " (a keystore directory)" : " (a keystore copy)") + " is open to " +
            ((f.mode & 070) && (f.mode & 07) ? "group and others" : (f.mode & 070) ? "its group" : "others") +
            " (mode " + octal(f.mode) + "): run 'chmod " + mode.substr(1) + " " + path + "'"};
}

std::string ipc_refusal_sentence() {
    struct Object {
        uint32_t kind;
        int32_t key;
        const char *name;
        const char *ipcrm;
    };
    const Object objects[] = {
        {TELMOR_VAQ_OBJECT_IPC_SEGMENT, node_layout::kVersionSegmentKey, "keystore version segment", "-M"},
        {TELMOR_VAQ_OBJECT_IPC_LOCK, node_layout::kProcessLockKey, "process lock", "-S"},
    };
    for (const Object &o : objects) {
        const std::string why = judged(o.kind, "", o.key);
        if (why.empty()) continue;
        std::string s = std::string("the node's ") + o.name + " (key " + hex_key(o.key) + ") is not used: " + why;
        if (why.rfind("no permission", 0) == 0) {
            s += ": run the tool as the account the node's processes run as, or as root";
        } else {
            s += ": when no process of the node runs, remove it as root ('ipcrm " + std::string(o.ipcrm) + " " +
                 hex_key(o.key) + "'); the next process makes it anew";
        }
        return s;
    }
    return "";
}

}  // namespace cli
