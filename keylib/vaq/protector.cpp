#include "protector.h"

#include <openssl/evp.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace vaq {

const char *protector_name(ProtectorKind kind) {
    switch (kind) {
    case ProtectorKind::kNone: return "none";
    case ProtectorKind::kFile: return "file";
    case ProtectorKind::kTpm2: return "tpm2";
    }
    return "unknown";
}

namespace {

// Each role's keystore and the name of its secret. Keystores elsewhere (a test's,
// an operator's own pair) get a name from their primary path.
struct RoleSecret {
    const char *keystorePrefix;
    const char *name;
};
constexpr RoleSecret kRoleSecrets[] = {
    {"/opt/telmor/agent/", "agent.secret"},
    {"/opt/telmor/tools/", "tools.secret"},
    {"/opt/telmor/client/", "client.secret"},
};

}  // namespace

std::string node_secret_path(const std::string &primaryPath) {
    std::string dir = std::string(kNodeSecretDir) + "/";
    for (const RoleSecret &r : kRoleSecrets)
        if (primaryPath.rfind(r.keystorePrefix, 0) == 0) return dir + r.name;
    uint8_t digest[32];
    unsigned int n = 0;
    if (EVP_Digest(primaryPath.data(), primaryPath.size(), digest, &n, EVP_sha256(), nullptr) != 1)
        return dir + "ks.secret";
    char hex[17];
    for (int i = 0; i < 8; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    return dir + "ks-" + hex + ".secret";
}

const char *reason(const char *format, ...) {
    static thread_local char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

Protectors::Protectors(const Host &host, const std::string &primaryPath)
    : host_(host), secretPath_(node_secret_path(primaryPath)) {}

Protectors::~Protectors() {
    if (!cachedSealed_.empty()) OPENSSL_cleanse(cachedSealed_.data(), cachedSealed_.size());
}

RootProtector *Protectors::get(ProtectorKind kind) {
    switch (kind) {
    case ProtectorKind::kFile:
        if (!file_) file_ = make_file_protector(host_, secretPath_);
        return file_.get();
    case ProtectorKind::kTpm2:
        if (!tpm2_) tpm2_ = make_tpm2_protector(host_);
        return tpm2_.get();
    case ProtectorKind::kNone: break;
    }
    return nullptr;
}

void Protectors::remember(ProtectorKind kind, ByteView sealed, ByteView root) {
    if (!cachedRoot_.usable()) return;
    cachedKind_ = kind;
    cachedSealed_.assign(sealed.begin(), sealed.end());
    std::memcpy(cachedRoot_.data(), root.data(), GuardedKey::kBytes);
}

Status Protectors::seal(ProtectorKind kind, const ProtectorOptions &options, ByteView root,
                        Bytes &sealed) {
    RootProtector *p = get(kind);
    if (p == nullptr) return Fail(VAQ_ERR_BAD_ARG, "no such root protector");
    Status s = p->seal(root, options, sealed);
    if (s.ok()) remember(kind, sealed, root);
    return s;
}

Unsealed Protectors::unseal(ProtectorKind kind, ByteView sealed, uint8_t root[32], Status &why) {
    if (kind == cachedKind_ && kind != ProtectorKind::kNone && cachedSealed_.size() == sealed.size() &&
        std::equal(sealed.begin(), sealed.end(), cachedSealed_.begin())) {
        std::memcpy(root, cachedRoot_.data(), GuardedKey::kBytes);
        return Unsealed::kYes;
    }
    RootProtector *p = get(kind);
    if (p == nullptr) return Unsealed::kDamaged;
    ++unsealCalls_;
    Unsealed u = p->unseal(sealed, root, why);
    if (u == Unsealed::kYes) remember(kind, sealed, {root, GuardedKey::kBytes});
    return u;
}

}  // namespace vaq
