// SPDX-License-Identifier: Apache-2.0
// The `pkcs11` root protector: the root material sealed (AES-256-GCM, inside
// the token) under a non-extractable AES key of a PKCS#11 token, an HSM or a
// key service's PKCS#11 library, named by a URI (token_key.h).
//
// What the keystore records is the URI, never a PIN: the PIN comes from the
// URI's pin-source, a secret in the trusted secret directory. The seal is
// bound to its keystore pair (the pair's name and primary path are the
// associated data, as the tpm2 protector binds its seal): another keystore's
// sealed root, put in this one's files, does not open.
//
// Sealed root (docs/keystore-format.md): layout 1 (2 bytes), the URI's length
// (2 bytes) and the URI (normalised, as token_key.h writes it), then the
// token key's sealed blob (61 bytes).
#include <cstring>

#include "crypto.h"
#include "protector.h"
#include "token_key.h"

namespace vaq {

namespace {

constexpr uint16_t kLayout = 1;
constexpr size_t kBlobBytes = 61;

class Pkcs11Protector final : public RootProtector {
public:
    Pkcs11Protector(const Host &host, const std::string &primaryPath)
        : host_(host), primaryPath_(primaryPath), stem_(keystore_stem(primaryPath)) {
        const std::string bound = "hxbVaq pkcs11 binding v1";
        binding_.assign(bound.begin(), bound.end());
        binding_.push_back(0);
        const std::string stem = keystore_stem(primaryPath);
        binding_.insert(binding_.end(), stem.begin(), stem.end());
        binding_.push_back(0);
        binding_.insert(binding_.end(), primaryPath.begin(), primaryPath.end());
    }

    ProtectorKind kind() const override { return ProtectorKind::kPkcs11; }
    // The URI is in the sealed bytes (options_of); nothing is kept on the node.
    std::string location() const override { return {}; }

    ProtectorOptions options_of(ByteView sealed) const override {
        ProtectorOptions o;
        std::string uri;
        if (split(sealed, uri, nullptr)) o.keyUri = uri;
        return o;
    }

    Status seal(ByteView root, const ProtectorOptions &options, Bytes &sealed) override {
        if (root.size() != kKeyBytes) return Fail(VAQ_ERR_INTERNAL, "pkcs11 protector: the root is not 32 bytes");
        // Recorded as given (normalised): where its PIN is read is decided
        // at each use, by the rule below.
        TokenUri given;
        Status s = parse_token_uri(options.keyUri, given);
        if (!s.ok()) return s;
        std::string own;
        s = own_pin_uri(options.keyUri, own);
        if (!s.ok()) return s;
        std::shared_ptr<TokenKey> key;
        s = TokenKey::open(host_, own, key);
        if (!s.ok()) return s;
        const std::string &uri = given.text;
        Bytes blob;
        s = key->seal(root.data(), context(uri), blob);
        if (!s.ok()) return s;
        if (blob.size() != kBlobBytes || uri.size() > UINT16_MAX)
            return Fail(VAQ_ERR_INTERNAL, "pkcs11 protector: the sealed root does not fit its layout");
        Bytes out;
        out.reserve(4 + uri.size() + blob.size());
        out.push_back(kLayout & 0xff);
        out.push_back(kLayout >> 8);
        out.push_back(static_cast<uint8_t>(uri.size() & 0xff));
        out.push_back(static_cast<uint8_t>(uri.size() >> 8));
        out.insert(out.end(), uri.begin(), uri.end());
        out.insert(out.end(), blob.begin(), blob.end());
        sealed = std::move(out);
        return Ok();
    }

    Unsealed unseal(ByteView sealed, uint8_t root[32], Status &why) override {
        std::string uri;
        ByteView blob;
        if (!split(sealed, uri, &blob)) return Unsealed::kDamaged;
        std::string own;
        why = own_pin_uri(uri, own);
        if (!why.ok()) return Unsealed::kFailed;
        std::shared_ptr<TokenKey> key;
        why = TokenKey::open(host_, own, key);
        if (!why.ok()) return Unsealed::kFailed;
        const Unsealed u = key->unseal(blob, context(uri), root, why);
        if (u == Unsealed::kForeign)
            why = Fail(VAQ_ERR_ROOT_FOREIGN,
                       reason("pkcs11 protector: the keystore copy's sealed root does not open under %s: sealed "
                              "for another keystore than this one, or under another key",
                              uri.c_str()));
        return u;
    }

private:
    // The URI with its PIN read where this keystore's PIN files live. A
    // keystore's owner can rewrite the URI in its copies, so the URI may name
    // only a PIN file (NAME.pin) in the keystore's own secret directory:
    // never a node secret, nor a file of root's or of another keystore that
    // root's tool would otherwise hand to the module. A URI recorded before
    // the node moved to one secret directory per keystore names the
    // node-secret directory itself; it is read there until init has moved the
    // keystore's files, and from the keystore's own directory after.
    Status own_pin_uri(const std::string &uri, std::string &out) const {
        TokenUri parsed;
        Status s = parse_token_uri(uri, parsed);
        if (!s.ok()) return s;
        const std::string &path = parsed.pinSource;
        if (path.empty()) {
            out = parsed.text;
            return Ok();
        }
        const std::string flat = std::string(kNodeSecretDir) + "/";
        const std::string own = flat + stem_ + "/";
        const size_t slash = path.rfind('/');
        const std::string dir = path.substr(0, slash + 1), name = path.substr(slash + 1);
        const bool pinName = name.size() > 4 && name.compare(name.size() - 4, 4, ".pin") == 0;
        if (!pinName || (dir != own && dir != flat))
            return Fail(VAQ_ERR_TOKEN_PIN,
                        reason("pkcs11 protector: the PIN source %s is not used: a keystore's PIN is a file NAME.pin "
                               "in its own secret directory %s",
                               path.c_str(), own.c_str()));
        if (dir == flat && secret_directory(host_, primaryPath_) != kNodeSecretDir) {
            parsed.pinSource = own + name;
            render_token_uri(parsed);
        }
        out = parsed.text;
        return Ok();
    }

    // The URI and the blob; false unless the bytes are exactly of this
    // layout and the URI is one parse_token_uri writes.
    static bool split(ByteView sealed, std::string &uri, ByteView *blob) {
        Reader r(sealed);
        const uint16_t layout = r.u16();
        const uint16_t n = r.u16();
        ByteView text = r.bytes(n);
        ByteView rest = r.bytes(kBlobBytes);
        if (!r.ok() || layout != kLayout || r.remaining() != 0) return false;
        uri.assign(reinterpret_cast<const char *>(text.data()), text.size());
        TokenUri parsed;
        if (!parse_token_uri(uri, parsed).ok() || parsed.text != uri) return false;
        if (blob) *blob = rest;
        return true;
    }

    // The associated data: the keystore pair and the URI, so that neither
    // can be changed under a sealed root that still opens.
    Bytes context(const std::string &uri) const {
        Bytes c = binding_;
        c.push_back(0);
        c.insert(c.end(), uri.begin(), uri.end());
        return c;
    }

    const Host &host_;
    std::string primaryPath_, stem_;
    Bytes binding_;
};

}  // namespace

std::unique_ptr<RootProtector> make_pkcs11_protector(const Host &host, const std::string &primaryPath) {
    return std::make_unique<Pkcs11Protector>(host, primaryPath);
}

}  // namespace vaq
