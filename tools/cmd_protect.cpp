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
#include "node_setup.h"
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
using UriRefusalFn = uint32_t (*)(const char *uri, uint32_t forExport, char *why, uint32_t len);
constexpr uint32_t kFile = 1, kTpm2 = 2, kPkcs11 = 3;
constexpr uint32_t kBadArgument = 2024;

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
constexpr SecretStep kSecretSteps[] = {{"telmor", "/etc/telmor", 0755, false}, {"vaq", kSecretDir, 0711, true}};

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
        return std::string("as root: chown root:root ") + step.path + " && chmod 0711 " + step.path +
               ", after checking what it holds";
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

}  // namespace

std::vector<std::string> secret_dir_warnings(const Role &r) {
    std::vector<std::string> out;
    const std::optional<struct stat> ks = keystore_directory(r);
    const uid_t owner = ks ? ks->st_uid : geteuid();
    for (const SecretStep &step : kSecretSteps) {
        struct stat st {};
        if (lstat(step.path, &st) != 0) return out;  // missing: made by root's init or a root process
        if (S_ISLNK(st.st_mode) || !S_ISDIR(st.st_mode)) {
            out.push_back(std::string("node-secret directory ") + step.path + " is " +
                          (S_ISLNK(st.st_mode) ? "a symbolic link" : "not a directory") +
                          ": the key library will not use it; as root, move it aside and run 'telmor-vaq init'");
            return out;
        }
        const std::string why = untrusted_reason(st, step, ks);
        if (!why.empty()) {
            out.push_back(std::string("node-secret directory ") + step.path + " is " + why +
                          ": the key library will not use it; " + secret_dir_remedy(step));
        } else if (step.keystoreOwnerMayOwn && st.st_uid != 0) {
            out.push_back(std::string("node-secret directory ") + step.path + " belongs to " + user_name(st.st_uid) +
                          ": it is root's on a node with a secret directory per role; as root: telmor-vaq init --role " +
                          r.name);
        } else if (owner != 0 && (st.st_mode & 0001) == 0) {
            out.push_back(std::string("node-secret directory ") + step.path + " (mode " + octal(st.st_mode & 07777) +
                          ") cannot be passed through by " + user_name(owner) +
                          ", who owns the keystore; as root: telmor-vaq init --role " + r.name);
        }
    }
    const std::string own = secret_dir_path(r);
    struct stat st {};
    if (!ks || lstat(own.c_str(), &st) != 0) return out;
    if (!S_ISDIR(st.st_mode)) {
        out.push_back("secret directory " + own + " is not a directory: the key library will not use it; as root, "
                      "move it aside and run 'telmor-vaq init --role " + std::string(r.name) + "'");
    } else if (st.st_uid != owner || (st.st_mode & 077) != 0) {
        out.push_back("secret directory " + own + " is " + user_name(st.st_uid) + "'s, mode " +
                      octal(st.st_mode & 07777) + ": it should be " + user_name(owner) +
                      "'s (the keystore's owner), 0700; as root: telmor-vaq init --role " + r.name + " --owner " +
                      user_name(owner));
    }
    return out;
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

// The pin-source path a URI given on the command line names, and where that
// path stands in it; npos when it names none.
size_t pin_source_at(const std::string &uri, std::string &path) {
    const std::string tag = "pin-source=file:";
    const size_t at = uri.find(tag);
    if (at == std::string::npos) return at;
    const size_t end = uri.find('&', at);
    path = uri.substr(at + tag.size(), end == std::string::npos ? std::string::npos : end - at - tag.size());
    if (path.rfind("//", 0) == 0 && path.size() > 2 && path[2] == '/') path.erase(0, 2);
    return at + tag.size();
}

// The PIN the file at path holds, read as root from the node-secret tree: a
// regular file with one link, root's or the keystore owner's, open to no one
// else, walked to by descriptors without following a link.
SecretBuffer read_pin_file(const std::string &path, uid_t keystoreOwner) {
    const std::string top = std::string(kSecretDir) + "/";
    if (path.rfind(top, 0) != 0)
        throw tool_failure("the PIN file " + path + " is not under " + kSecretDir + ", where the library takes PINs from");
    std::unique_ptr<Fd> at = open_etc();
    std::string rest = path.substr(std::string("/etc/").size());
    for (size_t slash; (slash = rest.find('/')) != std::string::npos; rest.erase(0, slash + 1)) {
        auto next = std::make_unique<Fd>(openat(at->fd, rest.substr(0, slash).c_str(), kDirFlags));
        if (next->fd < 0) cannot("open the directory of", path);
        at = std::move(next);
    }
    Fd file(openat(at->fd, rest.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (file.fd < 0 || fstat(file.fd, &st) != 0) cannot("read the PIN file", path);
    if (!S_ISREG(st.st_mode) || st.st_nlink != 1 || (st.st_uid != 0 && st.st_uid != keystoreOwner) ||
        (st.st_mode & 077) != 0)
        throw tool_failure("the PIN file " + path +
                           " is not a regular file with one link, root's or the keystore owner's and open to no one "
                           "else: nothing was changed");
    SecretBuffer pin = read_all_secret(file.fd, 4096);
    return pin;
}

// The URI the keystore is to record: its PIN in the role's own secret
// directory. A PIN file elsewhere (root's, one that also serves exports or
// another role) is read here, as root, and the role gets a file of its own
// with the same PIN, made for the keystore's owner before it holds the PIN;
// nothing is given away by name.
std::string uri_with_own_pin(const Role &r, const std::string &uri) {
    std::string path;
    const size_t at = pin_source_at(uri, path);
    if (at == std::string::npos) return uri;
    std::string name = path.substr(path.rfind('/') + 1);
    // Only a file kept as a PIN is read and handed on as one: never a node
    // secret or another file of the secret directory.
    if (name.size() <= 4 || name.compare(name.size() - 4, 4, ".pin") != 0)
        throw tool_failure("the key's URI is refused: its pin-source " + path +
                           " is not a PIN file NAME.pin (never a node secret or another file of the secret "
                           "directory); nothing was changed");
    const std::string own = secret_dir_path(r) + "/";
    if (path.rfind(own, 0) == 0 || geteuid() != 0) return uri;
    const std::optional<struct stat> ks = keystore_directory(r);
    if (!ks) throw tool_failure(std::string("no keystore directory for role ") + r.name + ": run 'telmor-vaq init'");
    const bool plainName =
        name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-") ==
            std::string::npos &&
        name[0] != '.';
    if (!plainName) name = "token.pin";
    const SecretBuffer pin = read_pin_file(path, ks->st_uid);
    const std::string written = write_role_pin(r, Account{ks->st_uid, ks->st_gid, false}, name, pin);
    std::printf("PIN for role %s written to %s (%s's), read from %s\n", r.name, written.c_str(),
                user_name(ks->st_uid).c_str(), path.c_str());
    const size_t end = uri.find('&', at);
    return uri.substr(0, at) + written + (end == std::string::npos ? "" : uri.substr(end));
}

}  // namespace

std::string protector_pin_file() {
    const ProtectorInfo p = protector_info();
    return p.known && p.kind == kPkcs11 ? recorded_pin_file(p.where) : std::string();
}

std::string token_uri_refusal(const std::string &uri, bool forExport) {
    auto fn = reinterpret_cast<UriRefusalFn>(dlsym(RTLD_DEFAULT, "VaqPrivTokenUriRefusal"));
    if (fn == nullptr) return {};
    char why[512] = {};
    return fn(uri.c_str(), forExport ? 1 : 0, why, sizeof why) == 0 ? std::string() : std::string(why);
}

void move_to_protector(const Options &opt) {
    const uint32_t mask = opt.pcrs.empty() ? 0 : parse_pcrs(opt.pcrs);
    const uint32_t kind = opt.protector == "tpm2" ? kTpm2 : kFile;
    const std::string what = "moving the keystore to the " + opt.protector + " protector";
    // A URI the library would refuse is told by its own reason (the general
    // sentence of its code is about key ids), and before any PIN file is
    // read or written for it.
    if (opt.protector == "pkcs11") {
        const std::string why = token_uri_refusal(opt.key, false);
        if (!why.empty()) throw Failure{kBadArgument, what + ": " + why + "; nothing was changed"};
    }
    const uint32_t rc = opt.protector == "pkcs11"
                            ? private_entry<ProtectTokenFn>("VaqPrivProtectToken")(
                                  uri_with_own_pin(need_role(opt.role), opt.key).c_str())
                            : private_entry<ProtectFn>("VaqPrivProtect")(kind, mask);
    require(rc, what, {opt.role, {}, {}, {}});
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
