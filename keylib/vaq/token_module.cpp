// SPDX-License-Identifier: Apache-2.0
// Loading PKCS#11 modules. The module a URI names is code this library runs,
// and the URI may come from a keystore file the service account can write or
// an export file anyone could have made, read by root's tool: so the module
// must be one only root could have installed. Its path is walked from "/"
// one component at a time: every directory on the way owned by root and not
// writable by group or others (the rule of the trusted secret directory's
// parent), the module a regular file owned by root and not writable by group
// or others. A symbolic link on the way is followed only because the
// directory that holds it passed that rule (only root could have put it
// there); its target is walked by the same rule.
#include "token_module.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "crypto.h"
#include "protector.h"

#ifndef TELMOR_P11_MODULE_DIR
#define TELMOR_P11_MODULE_DIR "/usr/lib/x86_64-linux-gnu/pkcs11"
#endif
#ifndef TELMOR_P11_SYSTEM_CONFIG
#define TELMOR_P11_SYSTEM_CONFIG "/etc/pkcs11/modules"
#endif
#ifndef TELMOR_P11_PACKAGE_CONFIG
#define TELMOR_P11_PACKAGE_CONFIG "/usr/share/p11-kit/modules"
#endif

namespace vaq {

namespace {

constexpr int kMaxLinks = 16;
constexpr size_t kMaxConfigBytes = 64 * 1024;

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    void reset(int fd) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

// Why a directory or file on the way to a module is not root's alone, or null.
const char *not_roots(const struct stat &st) {
    if (st.st_uid != 0) return "not owned by root";
    if ((st.st_mode & 022) != 0) return "writable by group or others";
    return nullptr;
}

std::deque<std::string> components(const std::string &path) {
    std::deque<std::string> out;
    size_t at = 0;
    while (at < path.size()) {
        size_t end = path.find('/', at);
        if (end == std::string::npos) end = path.size();
        if (end > at) out.emplace_back(path, at, end - at);
        at = end + 1;
    }
    return out;
}

// Opens the regular file at `path` (absolute) by the rule above: a
// descriptor in `fd`, and the path with every link resolved in `resolved`;
// otherwise an empty `why` for a path where nothing is, or the path refused
// and why.
bool open_installed(const std::string &path, Fd &fd, std::string &resolved, std::string &why) {
    why.clear();
    auto refuse = [&](const std::string &at, const char *reason) {
        why = at + ": " + reason;
        return false;
    };
    if (path.empty() || path[0] != '/') return refuse(path, "not an absolute path");
    std::deque<std::string> rest = components(path);
    std::vector<std::string> walked;
    auto here = [&] {
        std::string p;
        for (const auto &c : walked) p += "/" + c;
        return p.empty() ? std::string("/") : p;
    };
    Fd dir(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat st {};
    if (dir.get() < 0 || ::fstat(dir.get(), &st) != 0) return refuse("/", std::strerror(errno));
    if (const char *r = not_roots(st)) return refuse("/", r);
    int links = 0;
    while (!rest.empty()) {
        const std::string name = rest.front();
        rest.pop_front();
        if (name == ".") continue;
        const std::string at = here() + (walked.empty() ? "" : "/") + name;
        if (::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) return false;
            return refuse(at, std::strerror(errno));
        }
        if (S_ISLNK(st.st_mode) && name != "..") {
            if (++links > kMaxLinks) return refuse(path, "too many symbolic links");
            char target[4096];
            const ssize_t n = ::readlinkat(dir.get(), name.c_str(), target, sizeof target - 1);
            if (n <= 0) return refuse(at, "an unreadable symbolic link");
            target[n] = '\0';
            std::deque<std::string> more = components(target);
            rest.insert(rest.begin(), more.begin(), more.end());
            if (target[0] == '/') {
                walked.clear();
                dir.reset(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
                if (dir.get() < 0) return refuse("/", std::strerror(errno));
            }
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            Fd next(::openat(dir.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (next.get() < 0 || ::fstat(next.get(), &st) != 0) return refuse(at, std::strerror(errno));
            if (const char *r = not_roots(st)) return refuse(at, r);
            if (name == "..") {
                if (!walked.empty()) walked.pop_back();
            } else {
                walked.push_back(name);
            }
            dir.reset(next.release());
            continue;
        }
        if (!rest.empty()) return refuse(at, "not a directory");
        fd.reset(::openat(dir.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) return refuse(at, std::strerror(errno));
        if (!S_ISREG(st.st_mode)) return refuse(at, "not a regular file");
        if (const char *r = not_roots(st)) return refuse(at, r);
        walked.push_back(name);
        resolved = here();
        return true;
    }
    return refuse(path, "not a file");
}

Status module_failure(const std::string &path, const std::string &why) {
    return Fail(VAQ_ERR_TOKEN_MODULE, reason("pkcs11: the module %s is not used: %s", path.c_str(), why.c_str()));
}

// The "module:" of a p11-kit module configuration file, or "" when it has none.
bool config_module(int fd, std::string &module) {
    std::string text;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) return false;
        if (n == 0) break;
        text.append(buf, static_cast<size_t>(n));
        if (text.size() > kMaxConfigBytes) return false;
    }
    module.clear();
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        const size_t colon = line.find(':');
        if (line.empty() || line[0] == '#' || colon == std::string::npos) continue;
        auto trim = [](std::string s) {
            const size_t b = s.find_first_not_of(" \t\r"), e = s.find_last_not_of(" \t\r");
            return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
        };
        if (trim(line.substr(0, colon)) == "module") module = trim(line.substr(colon + 1));
    }
    return true;
}

// A module name through the p11-kit configuration: the system's directory
// first (an administrator's override), then the packages'. The files are
// judged as the module is: a file someone else could write could name any
// module.
Status resolve_module_name(const std::string &name, std::string &path) {
    for (const char *dir : {TELMOR_P11_SYSTEM_CONFIG, TELMOR_P11_PACKAGE_CONFIG}) {
        const std::string file = std::string(dir) + "/" + name + ".module";
        Fd fd;
        std::string resolved, why;
        if (!open_installed(file, fd, resolved, why)) {
            if (why.empty()) continue;
            return Fail(VAQ_ERR_TOKEN_MODULE,
                        reason("pkcs11: the module configuration for %s is not used: %s", name.c_str(), why.c_str()));
        }
        std::string module;
        if (!config_module(fd.get(), module) || module.empty())
            return Fail(VAQ_ERR_TOKEN_MODULE,
                        reason("pkcs11: the module configuration %s names no module", file.c_str()));
        path = module[0] == '/' ? module : std::string(TELMOR_P11_MODULE_DIR) + "/" + module;
        return Ok();
    }
    return Fail(VAQ_ERR_TOKEN_MODULE, reason("pkcs11: no module named %s in the p11-kit configuration (%s, %s)",
                                             name.c_str(), TELMOR_P11_SYSTEM_CONFIG, TELMOR_P11_PACKAGE_CONFIG));
}

}  // namespace

struct Module {
    std::string path;
    void *lib = nullptr;
    CK_FUNCTION_LIST *f = nullptr;
    pid_t pid = 0;          // the process that initialised it
    int64_t startedMs = 0;  // when, on the monotonic clock
    std::mutex mutex;
    std::vector<std::unique_ptr<Token>> tokens;
};

CK_FUNCTION_LIST *Token::f() const { return module->f; }

namespace {

// Every module this process loaded. Never freed: the modules stay loaded,
// and a static destructor would run while another thread may still use one.
struct Modules {
    std::mutex mutex;
    std::vector<std::unique_ptr<Module>> loaded;
};
Modules &modules() {
    static Modules *m = new Modules;
    return *m;
}

// A module is started again at most this often: a token that stays away
// then costs one restart per interval, however often the keystore is tried.
constexpr int64_t kRestartIntervalMs = 500;

int64_t monotonic_ms() {
    struct timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

Status initialise(Module &m) {
    m.startedMs = monotonic_ms();
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    const CK_RV rv = m.f->C_Initialize(&args);
    if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED)
        return Fail(VAQ_ERR_TOKEN_MODULE,
                    reason("pkcs11: the module %s refused to start (%s)", m.path.c_str(), ckr_name(rv)));
    m.pid = ::getpid();
    return Ok();
}

Status load(const std::string &path, Module *&out) {
    Modules &all = modules();
    std::lock_guard<std::mutex> g(all.mutex);
    for (auto &m : all.loaded)
        if (m->path == path) {
            out = m.get();
            std::lock_guard<std::mutex> mg(m->mutex);
            // A child of a process that used the module: its sessions, its
            // login and its initialisation belong to the parent, and the
            // child starts the module anew, as PKCS#11 asks of a child.
            if (m->pid == ::getpid()) return Ok();
            for (auto &t : m->tokens) {
                t->session = CK_INVALID_HANDLE;
                t->loginSource.clear();
                ++t->generation;
            }
            m->f->C_Finalize(nullptr);
            return initialise(*m);
        }
    void *lib = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) {
        const char *err = ::dlerror();
        return module_failure(path, std::string("it cannot be loaded: ") + (err ? err : "unknown error"));
    }
    CK_C_GetFunctionList get = reinterpret_cast<CK_C_GetFunctionList>(::dlsym(lib, "C_GetFunctionList"));
    CK_FUNCTION_LIST *f = nullptr;
    if (get == nullptr || get(&f) != CKR_OK || f == nullptr) {
        ::dlclose(lib);
        return module_failure(path, "it is not a PKCS#11 module (no C_GetFunctionList)");
    }
    auto m = std::make_unique<Module>();
    m->path = path;
    m->lib = lib;
    m->f = f;
    Status s = initialise(*m);
    if (!s.ok()) return s;  // the library stays loaded: it may have started threads
    out = m.get();
    all.loaded.push_back(std::move(m));
    return Ok();
}

// A field of the token's information as the token reports it: fixed
// length, padded with blanks.
template <size_t N>
std::string padded(const CK_UTF8CHAR (&field)[N]) {
    size_t n = N;
    while (n > 0 && field[n - 1] == ' ') --n;
    return std::string(reinterpret_cast<const char *>(field), n);
}

// Whether the token in `slot` is one the URI names.
bool names(const TokenUri &uri, CK_SLOT_ID slot, const CK_TOKEN_INFO &info) {
    if (padded(info.label) != uri.token) return false;
    if (!uri.manufacturer.empty() && padded(info.manufacturerID) != uri.manufacturer) return false;
    if (!uri.model.empty() && padded(info.model) != uri.model) return false;
    if (!uri.serial.empty() && padded(info.serialNumber) != uri.serial) return false;
    return uri.slotId.empty() || std::to_string(slot) == uri.slotId;
}

// What the URI further asks of the token, for a line: " (serial 1234)", or "".
std::string narrowing(const TokenUri &uri) {
    std::string said;
    const std::pair<const char *, const std::string *> fields[] = {{"manufacturer ", &uri.manufacturer},
                                                                   {"model ", &uri.model},
                                                                   {"serial ", &uri.serial},
                                                                   {"slot-id ", &uri.slotId}};
    for (const auto &[name, value] : fields)
        if (!value->empty()) said += (said.empty() ? " (" : ", ") + std::string(name) + *value;
    return said.empty() ? said : said + ")";
}

}  // namespace

Status module_path_of(const TokenUri &uri, std::string &path) {
    std::string named = uri.modulePath;
    if (named.empty()) {
        Status s = resolve_module_name(uri.moduleName, named);
        if (!s.ok()) return s;
    }
    Fd fd;
    std::string why;
    if (!open_installed(named, fd, path, why))
        return module_failure(named,
                              why.empty() ? "it is missing" : "not one only root could have installed (" + why + ")");
    return Ok();
}

namespace {

// Starts the module again when it was not started within the interval: the
// sessions and logins of its tokens are forgotten (the module ends them), and
// every token's object handles with them. The caller holds m.mutex; every
// token's mutex is taken here, so no call is on a session meanwhile.
bool restart(Module &m) {
    if (monotonic_ms() - m.startedMs < kRestartIntervalMs) return false;
    std::vector<std::unique_lock<std::mutex>> held;
    held.reserve(m.tokens.size());
    for (auto &t : m.tokens) held.emplace_back(t->mutex);
    for (auto &t : m.tokens) {
        t->session = CK_INVALID_HANDLE;
        t->loginSource.clear();
        ++t->generation;
    }
    m.f->C_Finalize(nullptr);
    return initialise(m).ok();
}

// The token labelled uri.token among the module's present ones; the caller
// holds m.mutex.
Status look_up(Module *m, const std::string &path, const TokenUri &uri, Token *&token) {
    // The slot is looked up anew each time the process opens a key: a token
    // may have been inserted (or its slot renumbered) since.
    CK_ULONG count = 0;
    CK_RV rv = m->f->C_GetSlotList(CK_TRUE, nullptr, &count);
    std::vector<CK_SLOT_ID> slots(count);
    if (rv == CKR_OK && count > 0) rv = m->f->C_GetSlotList(CK_TRUE, slots.data(), &count);
    if (rv != CKR_OK)
        return Fail(VAQ_ERR_TOKEN_ABSENT,
                    reason("pkcs11: the module %s cannot list its tokens (%s)", path.c_str(), ckr_name(rv)));
    slots.resize(count);
    // A slot that says a token is there but cannot tell its label: that
    // token may be this one, damaged or failing, which is not the same as
    // no token at all.
    CK_RV unreadable = CKR_OK;
    std::vector<std::pair<CK_SLOT_ID, std::string>> matching;  // slot, serial
    for (CK_SLOT_ID slot : slots) {
        CK_TOKEN_INFO info{};
        if (const CK_RV info_rv = m->f->C_GetTokenInfo(slot, &info); info_rv != CKR_OK) {
            unreadable = info_rv;
            continue;
        }
        if (names(uri, slot, info)) matching.emplace_back(slot, padded(info.serialNumber));
    }
    // Two tokens the URI fits: whichever were taken, the other's PIN could
    // be tried against it (and count towards locking it), or a key of that
    // label in the wrong token used. Neither is asked anything.
    if (matching.size() > 1)
        return Fail(VAQ_ERR_TOKEN_KEY,
                    reason("pkcs11: the URI names more than one token in the module %s: %s (serial %s) and %s "
                           "(serial %s); name one with serial=",
                           path.c_str(), uri.token.c_str(), matching[0].second.c_str(), uri.token.c_str(),
                           matching[1].second.c_str()));
    if (matching.size() == 1) {
        const auto &[slot, serial] = matching[0];
        for (auto &t : m->tokens)
            // A token without a serial number is known by its slot as well.
            if (t->label == uri.token && t->serial == serial && (!serial.empty() || t->slot == slot)) {
                if (t->slot != slot) {
                    std::lock_guard<std::mutex> tg(t->mutex);
                    t->drop();
                    t->slot = slot;
                }
                token = t.get();
                return Ok();
            }
        auto t = std::make_unique<Token>();
        t->module = m;
        t->label = uri.token;
        t->serial = serial;
        t->slot = slot;
        token = t.get();
        m->tokens.push_back(std::move(t));
        return Ok();
    }
    if (unreadable != CKR_OK)
        return Fail(VAQ_ERR_TOKEN_REFUSED,
                    reason("pkcs11: no token labelled %s%s is readable in the module %s: a token there is present but "
                           "cannot be read (%s), damaged or failing, and may be this one",
                           uri.token.c_str(), narrowing(uri).c_str(), path.c_str(), ckr_name(unreadable)));
    return Fail(VAQ_ERR_TOKEN_ABSENT,
                reason("pkcs11: no token labelled %s%s is present in the module %s", uri.token.c_str(),
                       narrowing(uri).c_str(), path.c_str()));
}

// Whether a look-up's failure may end once the module is started again.
bool may_come_back(const Status &s) { return s.code == VAQ_ERR_TOKEN_ABSENT || s.code == VAQ_ERR_TOKEN_REFUSED; }

}  // namespace

Status find_token(const TokenUri &uri, Token *&token) {
    std::string path;
    Status s = module_path_of(uri, path);
    if (!s.ok()) return s;
    Module *m = nullptr;
    s = load(path, m);
    if (!s.ok()) return s;
    std::lock_guard<std::mutex> g(m->mutex);
    s = look_up(m, path, uri, token);
    // A module that lost a token (removed, or a file store whose files
    // vanished) may not show it again, back in place, until it is started
    // anew.
    if (!may_come_back(s) || !restart(*m)) return s;
    return look_up(m, path, uri, token);
}

void restart_module(Token &token) {
    std::lock_guard<std::mutex> g(token.module->mutex);
    restart(*token.module);
}

void Token::drop() {
    if (session != CK_INVALID_HANDLE) f()->C_CloseSession(session);
    session = CK_INVALID_HANDLE;
    loginSource.clear();
    ++generation;
}

// The PIN the URI's pin-source holds, into pin. The PIN is a secret of the
// node's like the node secret: in the trusted secret directory tree, read
// through the host, which judges it and its directory by the same rule.
static Status read_pin(const Host &host, const std::string &label, const std::string &path, Bytes &pin) {
    auto refuse = [&](const char *why) {
        return Fail(VAQ_ERR_TOKEN_PIN,
                    reason("pkcs11: no login to the token %s: %s: %s", label.c_str(), why, path.c_str()));
    };
    // Directly in the node-secret directory (root's own PIN files, and the
    // flat layout), or in a keystore's secret directory beneath it: the host
    // judges each directory on the way.
    const std::string dir = std::string(kNodeSecretDir) + "/";
    const size_t slash = path.find('/', dir.size());
    if (path.rfind(dir, 0) != 0 || path.size() == dir.size() ||
        (slash != std::string::npos && (slash == dir.size() || path.find('/', slash + 1) != std::string::npos)))
        return refuse("the PIN source is not in the trusted secret directory /etc/telmor/vaq or a keystore's "
                      "directory in it");
    FileContent fc = host.read_file(path);
    if (fc.state == FileState::kUnsafe)
        return refuse(
            "the PIN source is not trusted (a link, another user's, open to group or others, or its "
            "directory is)");
    if (fc.state == FileState::kMissing) return refuse("the PIN source is missing");
    if (fc.state != FileState::kRead || fc.bytes.size() > 256)
        return refuse("the PIN source cannot be read or is no PIN");
    pin = std::move(fc.bytes);
    while (!pin.empty() && (pin.back() == '\n' || pin.back() == '\r')) pin.pop_back();
    if (pin.empty()) return refuse("the PIN source is empty");
    return Ok();
}

Status Token::ready(const Host &host, const TokenUri &uri) {
    // Logged in from another pin-source (another URI naming the same
    // token): this URI's own must work, since it is what gets recorded and
    // what a new process will log in with.
    if (session != CK_INVALID_HANDLE && (!loginRequired || loginSource == uri.pinSource)) return Ok();
    if (session == CK_INVALID_HANDLE) {
        CK_TOKEN_INFO info{};
        CK_RV rv = f()->C_GetTokenInfo(slot, &info);
        if (rv != CKR_OK)
            return Fail(VAQ_ERR_TOKEN_ABSENT, reason("pkcs11: the token %s is gone (%s)", label.c_str(), ckr_name(rv)));
        rv = f()->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session);
        if (rv != CKR_OK) {
            session = CK_INVALID_HANDLE;
            return Fail(rv == CKR_TOKEN_NOT_PRESENT || rv == CKR_SLOT_ID_INVALID || rv == CKR_DEVICE_REMOVED
                            ? VAQ_ERR_TOKEN_ABSENT
                            : VAQ_ERR_TOKEN_REFUSED,
                        reason("pkcs11: the token %s refused a session (%s)", label.c_str(), ckr_name(rv)));
        }
        loginRequired = (info.flags & CKF_LOGIN_REQUIRED) != 0;
        if (!loginRequired) return Ok();
        if (info.flags & CKF_USER_PIN_LOCKED) {
            drop();
            return Fail(VAQ_ERR_TOKEN_PIN,
                        reason("pkcs11: no login to the token %s: its PIN is locked", label.c_str()));
        }
        protectedPath = (info.flags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0;
    } else {
        f()->C_Logout(session);
    }
    Bytes pin;
    WipeOnExit wipe(pin);
    Status s = Ok();
    if (!uri.pinSource.empty())
        s = read_pin(host, label, uri.pinSource, pin);
    else if (!protectedPath)
        s = Fail(VAQ_ERR_TOKEN_PIN, reason("pkcs11: no login to the token %s: it asks for a PIN and the URI names no "
                                           "pin-source",
                                           label.c_str()));
    if (!s.ok()) {
        drop();
        return s;
    }
    const CK_RV rv = f()->C_Login(session, CKU_USER, pin.empty() ? nullptr : pin.data(), pin.size());
    if (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN) {
        drop();
        const bool pinFault = rv == CKR_PIN_INCORRECT || rv == CKR_PIN_LOCKED || rv == CKR_PIN_LEN_RANGE ||
                              rv == CKR_PIN_EXPIRED || rv == CKR_PIN_INVALID;
        if (pinFault)
            return Fail(VAQ_ERR_TOKEN_PIN,
                        reason("pkcs11: no login to the token %s: %s: %s", label.c_str(),
                               rv == CKR_PIN_LOCKED ? "its PIN is locked" : "the PIN is wrong", ckr_name(rv)));
        return Fail(VAQ_ERR_TOKEN_REFUSED,
                    reason("pkcs11: the token %s refused the login (%s)", label.c_str(), ckr_name(rv)));
    }
    loginSource = uri.pinSource;
    return Ok();
}

const char *ckr_name(CK_RV rv) {
    switch (rv) {
#define NAME(x) \
    case x:     \
        return #x;
        NAME(CKR_OK)
        NAME(CKR_GENERAL_ERROR)
        NAME(CKR_HOST_MEMORY)
        NAME(CKR_FUNCTION_FAILED)
        NAME(CKR_ARGUMENTS_BAD)
        NAME(CKR_DEVICE_ERROR)
        NAME(CKR_DEVICE_MEMORY)
        NAME(CKR_DEVICE_REMOVED)
        NAME(CKR_ENCRYPTED_DATA_INVALID)
        NAME(CKR_ENCRYPTED_DATA_LEN_RANGE)
        NAME(CKR_KEY_HANDLE_INVALID)
        NAME(CKR_KEY_TYPE_INCONSISTENT)
        NAME(CKR_KEY_FUNCTION_NOT_PERMITTED)
        NAME(CKR_MECHANISM_INVALID)
        NAME(CKR_MECHANISM_PARAM_INVALID)
        NAME(CKR_OBJECT_HANDLE_INVALID)
        NAME(CKR_OPERATION_ACTIVE)
        NAME(CKR_PIN_INCORRECT)
        NAME(CKR_PIN_INVALID)
        NAME(CKR_PIN_LEN_RANGE)
        NAME(CKR_PIN_EXPIRED)
        NAME(CKR_PIN_LOCKED)
        NAME(CKR_SESSION_CLOSED)
        NAME(CKR_SESSION_HANDLE_INVALID)
        NAME(CKR_SLOT_ID_INVALID)
        NAME(CKR_TOKEN_NOT_PRESENT)
        NAME(CKR_TOKEN_NOT_RECOGNIZED)
        NAME(CKR_USER_NOT_LOGGED_IN)
        NAME(CKR_USER_ALREADY_LOGGED_IN)
        NAME(CKR_BUFFER_TOO_SMALL)
        NAME(CKR_CRYPTOKI_NOT_INITIALIZED)
        NAME(CKR_DATA_LEN_RANGE)
#undef NAME
    }
    static thread_local char text[32];
    std::snprintf(text, sizeof text, "CKR 0x%lx", static_cast<unsigned long>(rv));
    return text;
}

bool session_gone(CK_RV rv) {
    return rv == CKR_SESSION_HANDLE_INVALID || rv == CKR_SESSION_CLOSED || rv == CKR_USER_NOT_LOGGED_IN ||
           rv == CKR_DEVICE_REMOVED || rv == CKR_TOKEN_NOT_PRESENT || rv == CKR_CRYPTOKI_NOT_INITIALIZED;
}

bool retry_on_new_session(CK_RV rv) {
    // An operation is left active when the module took the call but its
    // answer was lost: the session cannot start another until it ends, and
    // a new session has none.
    return session_gone(rv) || rv == CKR_OPERATION_ACTIVE || rv == CKR_KEY_HANDLE_INVALID ||
           rv == CKR_OBJECT_HANDLE_INVALID;
}

}  // namespace vaq
