// SPDX-License-Identifier: Apache-2.0
#include "node_setup.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "file_safety.h"

namespace cli {

namespace {

constexpr char kEtc[] = "/etc";
constexpr char kTelmor[] = "/etc/telmor";
constexpr char kSecretDir[] = "/etc/telmor/vaq";
constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// The files of one keystore in its secret directory, after its stem.
constexpr const char *kSecretSuffixes[] = {".secret", ".protected", ".tpm2-auth", ".moving"};

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) close(fd_);
    }
    Fd(Fd &&o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    Fd &operator=(Fd &&o) noexcept {
        std::swap(fd_, o.fd_);
        return *this;
    }
    int get() const { return fd_; }

private:
    int fd_;
};

[[noreturn]] void cannot(const std::string &what, const std::string &path) {
    throw tool_failure("cannot " + what + " " + path + ": " + std::strerror(errno));
}

void say(const std::string &line) { std::printf("%s\n", line.c_str()); }

std::string owner_text(uid_t uid, gid_t gid) { return user_name(uid) + ":" + group_name(gid); }

// The directory `name` in `at`, made with `mode` and root's when missing;
// never through a link.
Fd open_or_make(int at, const char *name, const std::string &path, mode_t mode, bool &made,
                const char *what = "directory") {
    made = mkdirat(at, name, mode) == 0;
    if (!made && errno != EEXIST) cannot("create", path);
    Fd fd(openat(at, name, kDirFlags));
    if (fd.get() < 0) {
        if (errno == ELOOP || errno == ENOTDIR)
            throw tool_failure(std::string(what) + " " + path +
                               " is a symbolic link or not a directory; nothing was changed: move it aside and run "
                               "'telmor-vaq init' again");
        cannot("open", path);
    }
    if (made) {
        if (fchown(fd.get(), 0, 0) != 0 || fchmod(fd.get(), mode) != 0) cannot("set up", path);
        if (fsync(at) != 0) cannot("sync the directory holding", path);
        say("made " + path + " (" + octal(mode) + " root:root)");
    }
    return fd;
}

// Brings a directory to owner (unless `owners` is false) and mode, one line
// per change.
void settle(int fd, const std::string &path, uid_t uid, gid_t gid, mode_t mode, bool owners = true) {
    struct stat st {};
    if (fstat(fd, &st) != 0) cannot("examine", path);
    if (owners && (st.st_uid != uid || st.st_gid != gid)) {
        if (fchown(fd, uid, gid) != 0) cannot("change the owner of", path);
        say(path + ": owner " + owner_text(st.st_uid, st.st_gid) + " -> " + owner_text(uid, gid));
    }
    if ((st.st_mode & 07777) != mode) {
        if (fchmod(fd, mode) != 0) cannot("change the mode of", path);
        say(path + ": mode " + octal(st.st_mode & 07777) + " -> " + octal(mode));
    }
}

// The content of a regular file with one link in dir, or false.
bool read_file_at(int dir, const char *leaf, SecretBuffer &out, struct stat &st) {
    Fd fd(openat(dir, leaf, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) return false;
    out = read_all_secret(fd.get(), size_t{64} << 20);
    return true;
}

// A new file in dir under a private name, given to owner before it holds
// anything, filled and synced, then renamed to leaf. The directory is synced.
void write_new_at(int dir, const std::string &dirPath, const std::string &leaf, const Account &owner, mode_t mode,
                  const SecretBuffer &content) {
    const std::string temp = "." + leaf + ".new";
    unlinkat(dir, temp.c_str(), 0);  // a leftover of a run cut short
    Fd fd(openat(dir, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    const std::string path = dirPath + "/" + leaf;
    if (fd.get() < 0) cannot("create", dirPath + "/" + temp);
    bool ok = fchown(fd.get(), owner.uid, owner.gid) == 0 && fchmod(fd.get(), mode) == 0;
    size_t done = 0;
    while (ok && done < content.size()) {
        const ssize_t n = write(fd.get(), content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<size_t>(n);
    }
    ok = ok && fsync(fd.get()) == 0 && renameat(dir, temp.c_str(), dir, leaf.c_str()) == 0 && fsync(dir) == 0;
    if (!ok) {
        const int err = errno;
        unlinkat(dir, temp.c_str(), 0);
        errno = err;
        cannot("write", path);
    }
}

// Files of root's in dir (those whose leaf begins with `prefix`) replaced by
// owner's copies, so that owner's processes can use them; another account's
// file is left as it is, with a warning.
void take_over_files(int dir, const std::string &dirPath, const Account &owner, const std::string &prefix) {
    if (owner.uid == 0) return;
    const int listFd = dup(dir);
    DIR *d = listFd >= 0 ? fdopendir(listFd) : nullptr;
    if (d == nullptr) cannot("list", dirPath);
    std::vector<std::string> leaves;
    while (const dirent *e = readdir(d)) {
        const std::string leaf = e->d_name;
        if (leaf == "." || leaf == ".." || leaf.rfind(prefix, 0) != 0 || leaf[0] == '.') continue;
        leaves.push_back(leaf);
    }
    closedir(d);
    for (const std::string &leaf : leaves) {
        struct stat st {};
        if (fstatat(dir, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) || st.st_uid == owner.uid)
            continue;
        const std::string path = dirPath + "/" + leaf;
        SecretBuffer content;
        // Judged on the file opened, not on the name looked at before.
        if (!read_file_at(dir, leaf.c_str(), content, st) || st.st_uid != 0) {
            std::fprintf(stderr, "warning: %s belongs to %s, not to %s, and is left as it is\n", path.c_str(),
                         user_name(st.st_uid).c_str(), user_name(owner.uid).c_str());
            continue;
        }
        write_new_at(dir, dirPath, leaf, owner, st.st_mode & 0700, content);
        say(path + ": replaced by a copy of " + user_name(owner.uid) + "'s (it was root's)");
    }
}

// /etc/telmor/vaq, root's 0711, each step from /etc checked.
Fd node_secret_dir() {
    Fd etc(open(kEtc, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (etc.get() < 0) cannot("open", kEtc);
    bool made = false;
    Fd telmor = open_or_make(etc.get(), "telmor", kTelmor, 0755, made, "node-secret directory");
    struct stat st {};
    if (fstat(telmor.get(), &st) != 0) cannot("examine", kTelmor);
    // Not init's to repair: /etc/telmor may hold more than the keys.
    const std::string why = st.st_uid != 0 ? "owned by " + user_name(st.st_uid) + ", not root"
                            : (st.st_mode & 022) != 0
                                ? "writable by group or others (mode " + octal(st.st_mode & 07777) + ")"
                                : "";
    if (!why.empty())
        throw tool_failure(std::string("node-secret directory ") + kTelmor + " is " + why +
                           "; nothing was changed, and the key library will not use it: as root: chown root:root " +
                           kTelmor + " && chmod 0755 " + kTelmor + ", after checking what it holds");
    Fd vaq = open_or_make(telmor.get(), "vaq", kSecretDir, 0711, made, "node-secret directory");
    // Never an account's: each role's secrets live in a directory of its own
    // beneath it, which its owner could otherwise swap.
    settle(vaq.get(), kSecretDir, 0, 0, 0711);
    return vaq;
}

bool exists_at(int dir, const std::string &leaf, struct stat &st) {
    return fstatat(dir, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

// Removes what a migration cut short left under the temporary name.
void clear_leftover(int vaq, const std::string &temp) {
    Fd d(openat(vaq, temp.c_str(), kDirFlags));
    if (d.get() < 0) return;
    const int listFd = dup(d.get());
    if (DIR *list = listFd >= 0 ? fdopendir(listFd) : nullptr) {
        while (const dirent *e = readdir(list)) {
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) unlinkat(d.get(), e->d_name, 0);
        }
        closedir(list);
    }
    unlinkat(vaq, temp.c_str(), AT_REMOVEDIR);
}

// The flat layout's files of this keystore that are to move: its own files,
// and the PIN file its protector names when that is a flat file.
std::vector<std::string> flat_files(int vaq, const std::string &stem, const std::string &pinFile) {
    std::vector<std::string> out;
    struct stat st {};
    for (const char *suffix : kSecretSuffixes) {
        if (exists_at(vaq, stem + suffix, st)) out.push_back(stem + suffix);
    }
    const std::string flat = std::string(kSecretDir) + "/";
    if (pinFile.rfind(flat, 0) == 0 && pinFile.find('/', flat.size()) == std::string::npos &&
        exists_at(vaq, pinFile.substr(flat.size()), st))
        out.push_back(pinFile.substr(flat.size()));
    return out;
}

}  // namespace

Account parse_account(const std::string &text) {
    const size_t colon = text.find(':');
    const std::string user = text.substr(0, colon);
    Account a;
    char buf[4096];
    passwd pw{};
    passwd *found = nullptr;
    const bool numeric = !user.empty() && user.find_first_not_of("0123456789") == std::string::npos;
    if (numeric) {
        a.uid = static_cast<uid_t>(std::stoul(user));
        a.gid = static_cast<gid_t>(a.uid);
        if (getpwuid_r(a.uid, &pw, buf, sizeof buf, &found) == 0 && found != nullptr) a.gid = pw.pw_gid;
    } else {
        if (user.empty() || getpwnam_r(user.c_str(), &pw, buf, sizeof buf, &found) != 0 || found == nullptr)
            throw UsageError{"--owner: no account '" + user + "' (a name or a number, then optionally :GROUP)"};
        a.uid = pw.pw_uid;
        a.gid = pw.pw_gid;
    }
    if (colon != std::string::npos) a.gid = parse_group(text.substr(colon + 1));
    a.named = true;
    return a;
}

gid_t parse_group(const std::string &text) {
    if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos)
        return static_cast<gid_t>(std::stoul(text));
    char buf[4096];
    group gr{};
    group *found = nullptr;
    if (text.empty() || getgrnam_r(text.c_str(), &gr, buf, sizeof buf, &found) != 0 || found == nullptr)
        throw UsageError{"no group '" + text + "' (a name or a number)"};
    return gr.gr_gid;
}

std::string secret_stem(const Role &r) {
    const std::string primary = r.primary;
    for (const char *stem : {"agent", "tools", "client"}) {
        if (primary.rfind(std::string("/opt/telmor/") + stem + "/", 0) == 0) return stem;
    }
    throw tool_failure(std::string("role ") + r.name + " has no secret directory");
}

std::string secret_dir_path(const Role &r) { return std::string(kSecretDir) + "/" + secret_stem(r); }

namespace {

// settle_secret_dir, answering the role's secret directory as a descriptor,
// so that what is written next goes where was checked.
Fd settled_secret_dir(const Role &r, const Account &owner, const std::string &pinFile) {
    const Fd vaq = node_secret_dir();
    const std::string stem = secret_stem(r);
    const std::string path = secret_dir_path(r);
    struct stat st {};
    if (!exists_at(vaq.get(), stem, st)) {
        const std::vector<std::string> flat = flat_files(vaq.get(), stem, pinFile);
        const std::string temp = "." + stem + ".new";
        clear_leftover(vaq.get(), temp);
        if (mkdirat(vaq.get(), temp.c_str(), 0700) != 0) cannot("create", std::string(kSecretDir) + "/" + temp);
        Fd fresh(openat(vaq.get(), temp.c_str(), kDirFlags));
        if (fresh.get() < 0) cannot("open", std::string(kSecretDir) + "/" + temp);
        for (const std::string &leaf : flat) {
            SecretBuffer content;
            struct stat fst {};
            if (!read_file_at(vaq.get(), leaf.c_str(), content, fst))
                throw tool_failure(std::string(kSecretDir) + "/" + leaf +
                                   " is not a regular file with one link; nothing was moved: check it, then run "
                                   "'telmor-vaq init' again");
            write_new_at(fresh.get(), path, leaf, owner, 0400, content);
        }
        if (fchown(fresh.get(), owner.uid, owner.gid) != 0 || fchmod(fresh.get(), 0700) != 0 || fsync(fresh.get()) != 0)
            cannot("set up", path);
        // The one step that moves the keystore to its new place: before it the
        // library reads the flat files, after it the directory.
        if (renameat(vaq.get(), temp.c_str(), vaq.get(), stem.c_str()) != 0 || fsync(vaq.get()) != 0)
            cannot("move into place", path);
        say("made " + path + " (0700 " + owner_text(owner.uid, owner.gid) + ")");
        for (const std::string &leaf : flat) {
            struct stat fst {};
            // A PIN file of root's may serve exports or other roles: it stays.
            const bool shared = leaf == (pinFile.empty() ? "" : pinFile.substr(pinFile.rfind('/') + 1)) &&
                                exists_at(vaq.get(), leaf, fst) && fst.st_uid == 0;
            if (shared) {
                say("copied " + std::string(kSecretDir) + "/" + leaf + " into " + path + " (root's file stays)");
                continue;
            }
            unlinkat(vaq.get(), leaf.c_str(), 0);
            say("moved " + std::string(kSecretDir) + "/" + leaf + " into " + path);
        }
        fsync(vaq.get());
        return fresh;
    }
    if (!S_ISDIR(st.st_mode))
        throw tool_failure(path +
                           " is a symbolic link or not a directory; nothing was changed: move it aside and run "
                           "'telmor-vaq init' again");
    Fd own(openat(vaq.get(), stem.c_str(), kDirFlags));
    if (own.get() < 0) cannot("open", path);
    settle(own.get(), path, owner.uid, owner.gid, 0700, owner.named);
    if (owner.named) take_over_files(own.get(), path, owner, "");
    // What a move cut short after its rename left in the flat layout.
    for (const char *suffix : kSecretSuffixes) {
        const std::string leaf = stem + suffix;
        struct stat flat {
        }, moved{};
        if (exists_at(vaq.get(), leaf, flat) && exists_at(own.get(), leaf, moved) && S_ISREG(flat.st_mode)) {
            unlinkat(vaq.get(), leaf.c_str(), 0);
            say("removed " + std::string(kSecretDir) + "/" + leaf + " (moved into " + path + " before)");
        }
    }
    return own;
}

}  // namespace

void settle_secret_dir(const Role &r, const Account &owner, const std::string &pinFile) {
    settled_secret_dir(r, owner, pinFile);
}

void settle_role_dir(const std::string &dir, const Account &owner, const std::string &files) {
    Fd at(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::string path;
    size_t pos = 1;
    while (pos != std::string::npos) {
        const size_t next = dir.find('/', pos);
        const std::string name = dir.substr(pos, next == std::string::npos ? std::string::npos : next - pos);
        pos = next == std::string::npos ? next : next + 1;
        if (name.empty()) continue;
        path += "/" + name;
        const bool last = pos == std::string::npos;
        bool made = false;
        Fd fd = open_or_make(at.get(), name.c_str(), path, last ? 0700 : 0755, made);
        struct stat st {};
        if (fstat(fd.get(), &st) != 0) cannot("examine", path);
        if (last) {
            settle(fd.get(), path, owner.uid, owner.gid, 0700, owner.named || made);
            if (owner.named) take_over_files(fd.get(), path, owner, files);
        } else if (st.st_uid == 0 && (st.st_mode & 0005) != 0005 && path != "/opt" && path != "/var" &&
                   path != "/var/log") {
            // A parent an earlier init made 0700: the owner could not reach
            // its own directory through it.
            settle(fd.get(), path, 0, st.st_gid, (st.st_mode & 07777) | 0055);
        }
        at = std::move(fd);
    }
}

std::string write_role_pin(const Role &r, const Account &owner, const std::string &name, const SecretBuffer &pin) {
    const Fd dir = settled_secret_dir(r, owner, "");
    const std::string dirPath = secret_dir_path(r);
    write_new_at(dir.get(), dirPath, name, owner, 0400, pin);
    return dirPath + "/" + name;
}

void record_ipc_group(gid_t group) {
    const Fd vaq = node_secret_dir();
    SecretBuffer text;
    const std::string line = std::to_string(group) + "\n";
    text.append(line.data(), line.size());
    write_new_at(vaq.get(), kSecretDir, "ipc.group", Account{0, 0, false}, 0644, text);
}

void record_root_file(const std::string &leaf, const std::string &content) {
    const Fd vaq = node_secret_dir();
    SecretBuffer text;
    text.append(content.data(), content.size());
    write_new_at(vaq.get(), kSecretDir, leaf, Account{0, 0, false}, 0600, text);
}

}  // namespace cli
