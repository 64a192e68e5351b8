// SPDX-License-Identifier: Apache-2.0
#include "protector.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

namespace vaq {

const char *protector_name(ProtectorKind kind) {
    switch (kind) {
        case ProtectorKind::kNone:
            return "none";
        case ProtectorKind::kFile:
            return "file";
        case ProtectorKind::kTpm2:
            return "tpm2";
        case ProtectorKind::kPkcs11:
            return "pkcs11";
    }
    return "unknown";
}

namespace {

// Each role's keystore and the name of its files in the node-secret directory.
// Keystores elsewhere (a test's, an operator's own pair) get a name from their
// primary path.
struct RoleStem {
    const char *keystorePrefix;
    const char *stem;
};
constexpr RoleStem kRoleStems[] = {
    {"/opt/telmor/agent/", "agent"},
    {"/opt/telmor/tools/", "tools"},
    {"/opt/telmor/client/", "client"},
};

}  // namespace

std::string keystore_stem(const std::string &primaryPath) {
    for (const RoleStem &r : kRoleStems)
        if (primaryPath.rfind(r.keystorePrefix, 0) == 0) return r.stem;
    // FNV-1a, 64 bits: a name, not a secret, and made without allocating.
    uint64_t h = 0xcbf29ce484222325ull;
    for (unsigned char c : primaryPath) h = (h ^ c) * 0x100000001b3ull;
    char hex[20];
    std::snprintf(hex, sizeof hex, "ks-%016llx", static_cast<unsigned long long>(h));
    return hex;
}

std::string secret_directory(const Host &host, const std::string &primaryPath) {
    const std::string stem = keystore_stem(primaryPath);
    const std::string own = std::string(kNodeSecretDir) + "/" + stem;
    if (host.exists(own)) return own;
    // A node of the flat layout: everything of this keystore's stays where it
    // is until init moves it, the marks included, or a protected keystore
    // could be taken for an unprotected one.
    for (const char *suffix : {".secret", ".protected", ".tpm2-auth", ".moving"})
        if (host.exists(std::string(kNodeSecretDir) + "/" + stem + suffix)) return kNodeSecretDir;
    return own;
}

std::string node_secret_path(const Host &host, const std::string &primaryPath) {
    return secret_directory(host, primaryPath) + "/" + keystore_stem(primaryPath) + ".secret";
}

std::string tpm2_auth_path(const Host &host, const std::string &primaryPath) {
    return secret_directory(host, primaryPath) + "/" + keystore_stem(primaryPath) + ".tpm2-auth";
}

const char *reason(const char *format, ...) {
    // A few in turn: one load may keep the reasons of both copies.
    static thread_local char texts[4][512];
    static thread_local unsigned next = 0;
    char *text = texts[next++ % 4];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof texts[0], format, args);
    va_end(args);
    return text;
}

namespace {

// The unsealed root of each keystore pair this process opened, by primary path.
class RootCache {
public:
    bool find(const std::string &path, ProtectorKind kind, ByteView sealed, uint8_t root[32]) {
        std::lock_guard<std::mutex> g(mutex_);
        for (const auto &e : entries_)
            if (e->path == path && e->kind == kind && e->root.held() && e->sealed.size() == sealed.size() &&
                std::equal(sealed.begin(), sealed.end(), e->sealed.begin())) {
                std::memcpy(root, e->root.data(), GuardedKey::kBytes);
                return true;
            }
        return false;
    }
    void remember(const std::string &path, ProtectorKind kind, ByteView sealed, ByteView root) {
        std::lock_guard<std::mutex> g(mutex_);
        Entry *slot = nullptr;
        for (auto &e : entries_)
            if (e->path == path) slot = e.get();
        if (slot == nullptr) {
            auto fresh = std::make_unique<Entry>();
            if (!fresh->root.usable()) return;
            fresh->path = path;
            slot = fresh.get();
            entries_.push_back(std::move(fresh));
        }
        slot->kind = kind;
        slot->sealed.assign(sealed.begin(), sealed.end());
        slot->root.set(root.data());
    }

private:
    struct Entry {
        std::string path;
        ProtectorKind kind = ProtectorKind::kNone;
        Bytes sealed;
        GuardedKey root;
    };
    std::mutex mutex_;
    std::vector<std::unique_ptr<Entry>> entries_;
};

RootCache &root_cache() {
    static RootCache cache;
    return cache;
}

}  // namespace

Protectors::Protectors(const Host &host, const std::string &primaryPath)
    : host_(host),
      primaryPath_(primaryPath),
      secretPath_(node_secret_path(host, primaryPath)),
      file_(make_file_protector(host, secretPath_)),
      tpm2_(make_tpm2_protector(host, primaryPath)),
      pkcs11_(make_pkcs11_protector(host, primaryPath)),
      marks_(host, secretPath_) {}

RootProtector *Protectors::get(ProtectorKind kind) {
    switch (kind) {
        case ProtectorKind::kFile:
            return file_.get();
        case ProtectorKind::kTpm2:
            return tpm2_.get();
        case ProtectorKind::kPkcs11:
            return pkcs11_.get();
        case ProtectorKind::kNone:
            break;
    }
    return nullptr;
}

Status Protectors::seal(ProtectorKind kind, const ProtectorOptions &options, ByteView root, Bytes &sealed) {
    RootProtector *p = get(kind);
    if (p == nullptr) return Fail(VAQ_ERR_BAD_ARG, "no such root protector");
    Status s = p->seal(root, options, sealed);
    if (s.ok()) root_cache().remember(primaryPath_, kind, sealed, root);
    return s;
}

Unsealed Protectors::unseal(ProtectorKind kind, ByteView sealed, uint8_t root[32], Status &why) {
    if (root_cache().find(primaryPath_, kind, sealed, root)) return Unsealed::kYes;
    RootProtector *p = get(kind);
    if (p == nullptr) return Unsealed::kDamaged;
    Unsealed u = p->unseal(sealed, root, why);
    if (u == Unsealed::kYes) root_cache().remember(primaryPath_, kind, sealed, {root, GuardedKey::kBytes});
    return u;
}

}  // namespace vaq
