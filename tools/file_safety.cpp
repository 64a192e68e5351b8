// SPDX-License-Identifier: Apache-2.0
#include "file_safety.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

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

namespace {

bool foreign(uid_t uid) { return uid != 0 && uid != geteuid(); }

}  // namespace

std::string octal(unsigned mode) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04o", mode & 07777);
    return buf;
}

std::string unsafe_copy_reason(const FileFacts &f) {
    if (!f.exists) return "";
    if (f.symlink) return "a symbolic link";
    if (!f.regular) return "not a regular file";
    if (f.nlink > 1) return "has " + std::to_string(f.nlink) + " links";
    if (foreign(f.uid)) return "owned by user " + user_name(f.uid);
    return "";
}

std::vector<std::string> copy_warnings(const FileFacts &f) {
    std::vector<std::string> out;
    if (!f.exists) return out;
    const std::string why = unsafe_copy_reason(f);
    if (!why.empty()) {
        out.push_back(f.path + " is " + why + ": the library will not use it; move it aside ('mv " + f.path + " " +
                      f.path + ".unsafe') and run 'telmor-vaq check --repair'");
    } else if (f.mode & 077) {
        out.push_back(f.path + " has mode " + octal(f.mode) + ": others can reach the keys; run 'chmod 600 " + f.path +
                      "'");
    }
    return out;
}

std::vector<std::string> directory_warnings(const std::string &dir) {
    std::vector<std::string> out;
    const FileFacts f = file_facts(dir);
    if (!f.exists) return out;
    if (f.symlink) {
        out.push_back(dir + " is a symbolic link: others may redirect it; replace it with a directory");
        return out;
    }
    if (f.mode & 022) {
        const char *who = (f.mode & 002) ? "world-writable" : "group-writable";
        out.push_back(dir + " is " + who + " (mode " + octal(f.mode) + "): run 'chmod go-w " + dir + "'");
    }
    if (foreign(f.uid)) {
        out.push_back(dir + " is owned by user " + user_name(f.uid) + ": run 'chown " + user_name(geteuid()) + " " +
                      dir + "'");
    }
    return out;
}

}  // namespace cli
