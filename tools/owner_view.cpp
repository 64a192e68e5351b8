// SPDX-License-Identifier: Apache-2.0
#include "owner_view.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "file_safety.h"

namespace cli {

namespace {

bool g_other_account = false;

std::string dir_of(const std::string &path) { return path.substr(0, path.rfind('/')); }

// Everything the child writes to the pipe; a short write is retried.
bool write_all(int fd, const std::string &bytes) {
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string read_all(int fd) {
    std::string out;
    char buf[8192];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

// The child's first byte says which of the two the rest is.
constexpr char kAnswer = 'A';
constexpr char kFailed = 'F';

[[noreturn]] void child(const KeystoreOwner &owner, const std::function<std::string()> &look, int out) {
    std::string answer;
    // Groups first, then the gid, the uid last: once the uid is given up
    // nothing else can be changed.
    if (setgroups(owner.groups.size(), owner.groups.data()) != 0 || setresgid(owner.gid, owner.gid, owner.gid) != 0 ||
        setresuid(owner.uid, owner.uid, owner.uid) != 0) {
        answer = kFailed + std::string("cannot take the credentials of ") + owner.name + ": " + std::strerror(errno);
    } else if (getuid() != owner.uid || geteuid() != owner.uid || getegid() != owner.gid) {
        answer = kFailed + std::string("the credentials of ") + owner.name + " did not hold";
    } else {
        try {
            answer = kAnswer + look();
        } catch (const Failure &f) {
            answer = kFailed + f.reason;
        } catch (const std::exception &e) {
            answer = kFailed + std::string(e.what());
        }
    }
    _exit(write_all(out, answer) ? 0 : 1);
}

}  // namespace

std::optional<KeystoreOwner> keystore_owner(const Role &r) {
    struct stat st {};
    if (lstat(dir_of(r.primary).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
    KeystoreOwner o;
    o.uid = st.st_uid;
    o.gid = st.st_gid;
    o.name = user_name(st.st_uid);
    if (const passwd *pw = getpwuid(st.st_uid)) {
        o.gid = pw->pw_gid;
        int n = 64;
        std::vector<gid_t> groups(static_cast<size_t>(n));
        const std::string name = pw->pw_name;
        if (getgrouplist(name.c_str(), o.gid, groups.data(), &n) < 0) {
            groups.resize(static_cast<size_t>(n));
            getgrouplist(name.c_str(), o.gid, groups.data(), &n);
        }
        groups.resize(static_cast<size_t>(n));
        o.groups = groups;
    } else {
        o.groups = {o.gid};
    }
    return o;
}

bool looked_as_other_account() { return g_other_account; }

std::string as_keystore_owner(const Role &r, const std::function<std::string()> &look) {
    const std::optional<KeystoreOwner> owner = keystore_owner(r);
    g_other_account = geteuid() == 0 && owner && owner->uid != 0;
    if (!g_other_account) return look();
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) throw tool_failure(std::string("cannot make a pipe: ") + std::strerror(errno));
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        const int err = errno;
        close(pipeFds[0]);
        close(pipeFds[1]);
        throw tool_failure(std::string("cannot start a process as the keystore's owner: ") + std::strerror(err));
    }
    if (pid == 0) {
        close(pipeFds[0]);
        child(*owner, look, pipeFds[1]);
    }
    close(pipeFds[1]);
    const std::string answer = read_all(pipeFds[0]);
    close(pipeFds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    const std::string as = "looking at the keystore as its owner " + owner->name;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || answer.empty()) {
        throw tool_failure(as + ": the process ended without an answer" +
                           (WIFSIGNALED(status) ? " (signal " + std::to_string(WTERMSIG(status)) + ")" : ""));
    }
    if (answer[0] != kAnswer) throw tool_failure(as + ": " + answer.substr(1));
    return answer.substr(1);
}

}  // namespace cli
