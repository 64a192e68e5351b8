// SPDX-License-Identifier: Apache-2.0
// protect: moving the keystore's root material to another root protector.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "causes.h"
#include "file_safety.h"
#include "command_table.h"
#include "protector.h"
#include "session.h"
#include "telmor_vaq_api.h"

namespace cli {

namespace {

using Json = nlohmann::ordered_json;

// Where every node secret lives (README.md, "Root protectors").
constexpr char kSecretDir[] = "/etc/telmor/vaq";

// The key library's private protector entries (keylib/vaq/vaq_private.h).
using ProtectFn = uint32_t (*)(uint32_t kind, uint32_t pcrMask);
using ProtectTokenFn = uint32_t (*)(const char *keyUri);
using InfoFn = uint32_t (*)(uint32_t *kind, uint32_t *pcrMask, char *location, uint32_t len);
constexpr uint32_t kFile = 1, kTpm2 = 2, kPkcs11 = 3;

template <class F>
F private_entry(const char *name) {
    auto f = reinterpret_cast<F>(dlsym(RTLD_DEFAULT, name));
    if (f == nullptr) {
        throw tool_failure("the key library in use has no root protectors (" + std::string(name) +
                           " missing): it is not ours, or older");
    }
    return f;
}

std::string pcr_list(uint32_t mask) {
    std::string out;
    for (int i = 0; i < 24; ++i) {
        if (mask & (1u << i)) out += (out.empty() ? "" : ",") + std::to_string(i);
    }
    return out;
}

struct ProtectorInfo {
    uint32_t kind = 0;
    uint32_t mask = 0;
    std::string where;
    bool known = false;
};

ProtectorInfo protector_info() {
    ProtectorInfo info;
    auto fn = reinterpret_cast<InfoFn>(dlsym(RTLD_DEFAULT, "VaqPrivProtectorInfo"));
    char where[4096] = {};
    if (fn == nullptr || fn(&info.kind, &info.mask, where, sizeof where) != 0) return info;
    info.where = where;
    info.known = true;
    return info;
}

int cmd_protect(const Options &opt) {
    check_protector_options(opt);
    Session s(opt.role);
    const ProtectorInfo before = protector_info();
    move_to_protector(opt);
    if (opt.notify) TELMOR_update_shm();
    std::printf("keystore of role %s sealed by the %s protector\n%s", opt.role.c_str(), opt.protector.c_str(),
                protector_lines().c_str());
    // The library removes the node secret once no copy is sealed by it; a
    // failure there leaves the move made, and the secret to remove by hand.
    struct stat st {};
    if (before.kind == kFile && opt.protector != "file" && lstat(before.where.c_str(), &st) == 0) {
        std::fprintf(stderr,
                     "telmor-vaq protect: the node secret %s no longer seals the keystore but could not be removed "
                     "(see the role's log): remove it, or run 'telmor-vaq protect --with %s' again\n",
                     before.where.c_str(), opt.protector.c_str());
    }
    return 0;
}

const CommandRegistrar kProtect(
    {"protect",
     "Keystore",
     48,
     "seal the keystore's root material by the node secret, the node's TPM or a key in a PKCS#11 token",
     "Moves the keystore to a root protector, as one crash-safe change: 'file' seals the root material by\n"
     "the role's node secret (/etc/telmor/vaq/), 'tpm2' by the node's TPM (TCTI from TELMOR_VAQ_TCTI,\n"
     "default device:/dev/tpmrm0), optionally bound to PCRs, 'pkcs11' by the AES key that --key names in\n"
     "a PKCS#11 token (an HSM, a key service's PKCS#11 library): a URI with the token's and the key's\n"
     "labels, the module (module-path, root's, or module-name from the p11-kit configuration) and the\n"
     "file holding the PIN (pin-source=file:, in /etc/telmor/vaq). The keystore records the URI, never the\n"
     "PIN. Moving back to file, e.g. before a motherboard change, works the same way. Texts and keys are\n"
     "unchanged.",
     {Opt::With, Opt::Pcrs, Opt::Key, Opt::Role, Opt::NoNotify},
     {},
     {{"protect --with tpm2 --pcrs 0,7", "seal to the TPM, bound to PCRs 0 and 7"},
      {"protect --with pkcs11 --key 'pkcs11:token=node;object=kek?module-path=/usr/lib/softhsm/libsofthsm2.so&"
       "pin-source=file:/etc/telmor/vaq/node.pin'",
       "seal under a key in a PKCS#11 token"},
      {"protect --with file", "back to the node secret"}},
     cmd_protect});

}  // namespace

uint32_t parse_pcrs(const std::string &list) {
    uint32_t mask = 0;
    size_t at = 0;
    while (at <= list.size()) {
        const size_t comma = list.find(',', at);
        const std::string item = list.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        char *end = nullptr;
        errno = 0;
        const long first = std::strtol(item.c_str(), &end, 10);
        long last = first;
        if (end != item.c_str() && *end == '-') last = std::strtol(end + 1, &end, 10);
        if (item.empty() || errno != 0 || *end != '\0' || first < 0 || last > 23 || first > last) {
            throw UsageError{"--pcrs takes PCR numbers 0 to 23, e.g. 0,7 or 0-7, not '" + list + "'"};
        }
        for (long i = first; i <= last; ++i) mask |= 1u << i;
        if (comma == std::string::npos) break;
        at = comma + 1;
    }
    return mask;
}

void check_protector_options(const Options &opt) {
    if (opt.protector == "pkcs11" && opt.key.empty()) throw UsageError{"--with pkcs11 needs --key URI"};
    if (!opt.key.empty() && opt.protector != "pkcs11") throw UsageError{"--key names the pkcs11 protector's key"};
    if (!opt.pcrs.empty()) {
        if (opt.protector != "tpm2") throw UsageError{"--pcrs binds only the tpm2 protector"};
        parse_pcrs(opt.pcrs);
    }
}

namespace {

// The owner of the role's keystore directory: the one account besides root
// that may own the node-secret directory.
std::optional<struct stat> keystore_directory(const Role &r) {
    const std::string dir = std::string(r.primary).substr(0, std::string(r.primary).rfind('/'));
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    const bool ok = fstat(fd, &st) == 0;
    close(fd);
    return ok ? std::optional<struct stat>(st) : std::nullopt;
}

// One directory of the node-secret tree: its path, its mode when made, and
// whether the keystore directory's owner may own it.
struct SecretStep {
    const char *name;
    const char *path;
    mode_t mode;
    bool keystoreOwnerMayOwn;
};
constexpr SecretStep kSecretSteps[] = {{"telmor", "/etc/telmor", 0755, false}, {"vaq", kSecretDir, 0700, true}};

// Why the library would not trust the directory, or empty: the same rule.
std::string untrusted_reason(const struct stat &st, const SecretStep &step, const std::optional<struct stat> &ks) {
    const bool ownerOk = st.st_uid == 0 || (step.keystoreOwnerMayOwn && ks && ks->st_uid == st.st_uid);
    if (!ownerOk) {
        return std::string("owned by ") + user_name(st.st_uid) +
               (step.keystoreOwnerMayOwn ? ", neither root nor the keystore directory's owner" : ", not root");
    }
    if ((st.st_mode & 022) != 0) return "writable by group or others (mode " + octal(st.st_mode & 07777) + ")";
    return {};
}

std::string secret_dir_remedy(const SecretStep &step) {
    if (step.keystoreOwnerMayOwn) {
        return std::string("as root: chown root:root ") + step.path + " && chmod 0700 " + step.path +
               " (or give it to the keystore directory's owner), after checking what it holds";
    }
    return std::string("as root: chown root:root ") + step.path + " && chmod 0755 " + step.path +
           ", after checking what it holds";
}

// Descriptor owner: the directories of the walk below, the PIN file.
struct Fd {
    int fd = -1;
    explicit Fd(int d) : fd(d) {}
    ~Fd() {
        if (fd >= 0) close(fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
};

[[noreturn]] void cannot(const std::string &what, const std::string &path) {
    throw tool_failure("cannot " + what + " " + path + ": " + std::strerror(errno));
}

// The node-secret directory's steps are walked by descriptors from /etc,
// never following a link: what is checked is what is then used.
constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

std::unique_ptr<Fd> open_etc() { return std::make_unique<Fd>(open("/etc", O_RDONLY | O_DIRECTORY | O_CLOEXEC)); }

// The node-secret directory when every step of it is one the key library
// would trust; null otherwise (missing, a link, not a directory, untrusted).
std::unique_ptr<Fd> trusted_secret_dir(const std::optional<struct stat> &ks) {
    std::unique_ptr<Fd> at = open_etc();
    for (const SecretStep &step : kSecretSteps) {
        if (at->fd < 0) return nullptr;
        auto next = std::make_unique<Fd>(openat(at->fd, step.name, kDirFlags));
        struct stat st {};
        if (next->fd < 0 || fstat(next->fd, &st) != 0 || !untrusted_reason(st, step, ks).empty()) return nullptr;
        at = std::move(next);
    }
    return at;
}

}  // namespace

std::vector<std::string> secret_dir_warnings(const Role &r) {
    std::vector<std::string> out;
    const std::optional<struct stat> ks = keystore_directory(r);
    for (const SecretStep &step : kSecretSteps) {
        struct stat st {};
        if (lstat(step.path, &st) != 0) break;  // missing: made by root's init or a root process
        if (S_ISLNK(st.st_mode) || !S_ISDIR(st.st_mode)) {
            out.push_back(std::string("node-secret directory ") + step.path + " is " +
                          (S_ISLNK(st.st_mode) ? "a symbolic link" : "not a directory") +
                          ": the key library will not use it; as root, move it aside and run 'telmor-vaq init'");
            break;
        }
        const std::string why = untrusted_reason(st, step, ks);
        if (!why.empty()) {
            out.push_back(std::string("node-secret directory ") + step.path + " is " + why +
                          ": the key library will not use it; " + secret_dir_remedy(step));
        }
    }
    return out;
}

void make_secret_dir(const Options &opt) {
    if (geteuid() != 0) return;  // the service account's own init: the directory is root's job
    const Role &r = need_role(opt.role);
    const std::optional<struct stat> ks = keystore_directory(r);
    // What is checked, made, handed over and synced is one directory,
    // whatever is put at its name meanwhile.
    std::unique_ptr<Fd> at = open_etc();
    if (at->fd < 0) cannot("open", "/etc");
    for (const SecretStep &step : kSecretSteps) {
        bool made = false;
        if (mkdirat(at->fd, step.name, step.mode) == 0) {
            made = true;
        } else if (errno != EEXIST) {
            cannot("create", step.path);
        }
        auto next = std::make_unique<Fd>(openat(at->fd, step.name, kDirFlags));
        if (next->fd < 0) {
            if (errno == ELOOP || errno == ENOTDIR) {
                throw tool_failure(std::string("node-secret directory ") + step.path +
                                   " is a symbolic link or not a directory; nothing was changed: as root, move it "
                                   "aside and run 'telmor-vaq init' again");
            }
            cannot("open", step.path);
        }
        struct stat st {};
        if (fstat(next->fd, &st) != 0) cannot("examine", step.path);
        if (made && (fchown(next->fd, 0, 0) != 0 || fchmod(next->fd, step.mode) != 0)) cannot("set up", step.path);
        // The service account makes its own secret at its first start, in a
        // directory root gives it; one it owns already is left as it is.
        if (step.keystoreOwnerMayOwn && st.st_uid == 0 && ks && ks->st_uid != 0) {
            if (fchown(next->fd, ks->st_uid, ks->st_gid) != 0) cannot("hand to the service account", step.path);
            st.st_uid = ks->st_uid;
        }
        const std::string why = untrusted_reason(st, step, ks);
        if (!why.empty()) {
            throw tool_failure(std::string("node-secret directory ") + step.path + " is " + why +
                               "; the key library will not use it: " + secret_dir_remedy(step));
        }
        // A directory made here is found after a crash only if its parent's
        // entry for it reached the disk.
        if (made && fsync(at->fd) != 0) cannot("sync the directory holding", step.path);
        at = std::move(next);
    }
}

namespace {

// The PIN file a recorded pkcs11 URI names, or "": the recorded URI is
// normalised, its pin-source last ("&pin-source=file:" and the path,
// percent-encoded).
std::string recorded_pin_file(const std::string &uri) {
    const std::string tag = "&pin-source=file:";
    const size_t at = uri.rfind(tag);
    if (at == std::string::npos) return {};
    std::string path;
    for (size_t i = at + tag.size(); i < uri.size(); ++i) {
        if (uri[i] == '%' && i + 2 < uri.size() && std::isxdigit(static_cast<unsigned char>(uri[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(uri[i + 2]))) {
            path += static_cast<char>(std::stoi(uri.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            path += uri[i];
        }
    }
    return path;
}

// The PIN file of the open keystore's pkcs11 protector when it is a regular
// file of root's and another account owns the keystore directory: its path,
// that directory's owner, and the file, opened once (no link followed)
// relative to a descriptor of the node-secret directory, the only place the
// library takes PIN files from, and only while it trusts that directory.
struct RootsPinFile {
    std::string path;
    struct stat keystoreDir {};
    std::unique_ptr<Fd> file;
    struct stat st {};
};
bool roots_pin_file(const Role &r, RootsPinFile &out) {
    const ProtectorInfo p = protector_info();
    if (!p.known || p.kind != kPkcs11) return false;
    const std::optional<struct stat> ks = keystore_directory(r);
    std::string path = recorded_pin_file(p.where);
    const std::string dir = std::string(kSecretDir) + "/";
    if (!ks || ks->st_uid == 0 || path.compare(0, dir.size(), dir) != 0 ||
        path.find('/', dir.size()) != std::string::npos)
        return false;
    const std::unique_ptr<Fd> secrets = trusted_secret_dir(ks);
    if (!secrets) return false;
    auto file = std::make_unique<Fd>(
        openat(secrets->fd, path.c_str() + dir.size(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (file->fd < 0 || fstat(file->fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != 0) return false;
    out = {std::move(path), *ks, std::move(file), st};
    return true;
}

// As root, on a keystore another account owns: the PIN file its processes log
// in to the token with, given to that account, as the node-secret directory
// is (root's tool reads it either way). Without it the account's processes
// could not open the keystore that was just sealed for them. Only a file with
// one name is handed over: a second name could be anything of root's.
void hand_pin_file(const Role &r) {
    if (geteuid() != 0) return;
    RootsPinFile pin;
    if (!roots_pin_file(r, pin)) return;
    errno = EMLINK;
    const bool handed =
        pin.st.st_nlink == 1 && fchown(pin.file->fd, pin.keystoreDir.st_uid, pin.keystoreDir.st_gid) == 0;
    const int err = errno;
    const std::string owner = user_name(pin.keystoreDir.st_uid);
    if (!handed) {
        throw tool_failure("the keystore is sealed by the pkcs11 protector, but its PIN file " + pin.path +
                           " could not be given to " + owner + ", whose processes log in with it (" +
                           std::strerror(err) + "): as root, 'chown " + owner + " " + pin.path + "'");
    }
    std::printf("PIN file %s given to %s, the keystore's owner, whose processes log in to the token with it\n",
                pin.path.c_str(), owner.c_str());
}

}  // namespace

std::vector<std::string> pin_file_warnings(const Role &r) {
    RootsPinFile pin;
    if (!roots_pin_file(r, pin)) return {};
    const std::string owner = user_name(pin.keystoreDir.st_uid);
    return {"PIN file " + pin.path + " of the pkcs11 protector is root's: the processes of " + owner +
            ", which owns the keystore, cannot log in to the token and will not open it; as root: chown " + owner +
            " " + pin.path};
}

void move_to_protector(const Options &opt) {
    const uint32_t mask = opt.pcrs.empty() ? 0 : parse_pcrs(opt.pcrs);
    const uint32_t kind = opt.protector == "tpm2" ? kTpm2 : kFile;
    const uint32_t rc = opt.protector == "pkcs11"
                            ? private_entry<ProtectTokenFn>("VaqPrivProtectToken")(opt.key.c_str())
                            : private_entry<ProtectFn>("VaqPrivProtect")(kind, mask);
    require(rc, "moving the keystore to the " + opt.protector + " protector", {opt.role, {}, {}, {}});
    if (opt.protector == "pkcs11") hand_pin_file(need_role(opt.role));
}

std::string protector_lines() {
    const ProtectorInfo p = protector_info();
    if (!p.known) return "protector      unknown (the key library does not tell)\n";
    if (p.kind == kFile) return "protector      file (node secret " + p.where + ")\n";
    if (p.kind == kTpm2) {
        return "protector      tpm2 (PCRs " + (p.mask ? pcr_list(p.mask) : std::string("none")) + ", TCTI " + p.where +
               ")\n";
    }
    if (p.kind == kPkcs11) return "protector      pkcs11 (key " + p.where + ")\n";
    return "protector      none: the root material is in the keystore files (run 'telmor-vaq protect --with "
           "file')\n";
}

Json protector_json() {
    const ProtectorInfo p = protector_info();
    if (!p.known) return nullptr;
    Json j;
    if (p.kind == kFile) {
        j["kind"] = "file";
        j["secret"] = p.where;
    } else if (p.kind == kTpm2) {
        j["kind"] = "tpm2";
        Json pcrs = Json::array();
        for (int i = 0; i < 24; ++i) {
            if (p.mask & (1u << i)) pcrs.push_back(i);
        }
        j["pcrs"] = pcrs;
        j["tcti"] = p.where;
    } else if (p.kind == kPkcs11) {
        j["kind"] = "pkcs11";
        j["key"] = p.where;
    } else {
        j["kind"] = "none";
    }
    return j;
}

}  // namespace cli
