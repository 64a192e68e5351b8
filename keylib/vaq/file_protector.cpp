// SPDX-License-Identifier: Apache-2.0
// The `file` root protector: the root material sealed (AES-256-GCM) under a
// random node secret kept in a file of its own, outside /opt/telmor and the
// keystore directories, readable only by the service account.
//
// Node secret file, 44 bytes: magic "HXBVAQNS", version 1 (2 bytes), 2 bytes
// reserved, 32 random bytes. Sealed root, 68 bytes: the secret's id (8 bytes,
// HKDF of the secret, so that a keystore of another node is told from a damaged
// one), nonce (12), the sealed root material (32) and its tag (16); the id is
// the associated data.
#include <cerrno>
#include <cstring>

#include "crypto.h"
#include "log.h"
#include "protector.h"

namespace vaq {

namespace {

constexpr char kSecretMagic[8] = {'H', 'X', 'B', 'V', 'A', 'Q', 'N', 'S'};
constexpr size_t kSecretFileBytes = 8 + 2 + 2 + 32;
constexpr size_t kIdBytes = 8;
constexpr size_t kSealedBytes = kIdBytes + kGcmNonceBytes + kKeyBytes + kGcmTagBytes;
static_assert(kSealedBytes == kFileSealedRootBytes);
constexpr char kSalt[] = "hxbVaq node secret";

struct NodeSecret {
    SecretArray<kKeyBytes> kek;
    std::array<uint8_t, kIdBytes> id{};
};

class FileProtector final : public RootProtector {
public:
    FileProtector(const Host &host, std::string path) : host_(host), path_(std::move(path)) {}
    ProtectorKind kind() const override { return ProtectorKind::kFile; }
    std::string location() const override { return path_; }
    ProtectorOptions options_of(ByteView) const override { return {}; }

    Status seal(ByteView root, const ProtectorOptions &, Bytes &sealed) override {
        NodeSecret secret;
        Status s = read_or_create(secret);
        if (!s.ok()) return s;
        sealed.assign(kSealedBytes, 0);
        std::memcpy(sealed.data(), secret.id.data(), kIdBytes);
        uint8_t *nonce = sealed.data() + kIdBytes;
        s = host_.entropy(nonce, kGcmNonceBytes);
        if (!s.ok()) return s;
        if (!gcm_seal(secret.kek.data(), nonce, {secret.id.data(), kIdBytes}, root, nonce + kGcmNonceBytes))
            return Fail(VAQ_ERR_CRYPTO, "file protector: sealing the root material failed");
        return Ok();
    }

    Unsealed unseal(ByteView sealed, uint8_t root[32], Status &why) override {
        if (sealed.size() != kSealedBytes) return Unsealed::kDamaged;
        NodeSecret secret;
        why = read_secret(secret);
        if (!why.ok()) return Unsealed::kFailed;
        if (CRYPTO_memcmp(sealed.data(), secret.id.data(), kIdBytes) != 0) {
            why = Fail(VAQ_ERR_ROOT_FOREIGN, reason("file protector: the keystore is sealed under another node secret "
                                                    "than %s",
                                                    path_.c_str()));
            return Unsealed::kForeign;
        }
        const uint8_t *nonce = sealed.data() + kIdBytes;
        switch (gcm_open(secret.kek.data(), nonce, {secret.id.data(), kIdBytes},
                         sealed.subspan(kIdBytes + kGcmNonceBytes), root)) {
            case Opened::kYes:
                return Unsealed::kYes;
            case Opened::kRejected:
                return Unsealed::kDamaged;
            case Opened::kFailed:
                break;
        }
        why = Fail(VAQ_ERR_CRYPTO, "file protector: opening the sealed root failed");
        return Unsealed::kFailed;
    }

private:
    static bool derive(ByteView raw, NodeSecret &out) {
        static const uint8_t kKekInfo[] = {'r', 'o', 'o', 't', ' ', 's', 'e', 'a', 'l'};
        static const uint8_t kIdInfo[] = {'s', 'e', 'c', 'r', 'e', 't', ' ', 'i', 'd'};
        return hkdf_sha256(raw, kSalt, kKekInfo, out.kek.data(), kKeyBytes) &&
               hkdf_sha256(raw, kSalt, kIdInfo, out.id.data(), kIdBytes);
    }

    static bool well_formed(const FileContent &f) {
        return f.state == FileState::kRead && f.bytes.size() == kSecretFileBytes &&
               std::memcmp(f.bytes.data(), kSecretMagic, sizeof kSecretMagic) == 0 && f.bytes[8] == 1 &&
               f.bytes[9] == 0;
    }

    Status from_file(const FileContent &f, NodeSecret &out) const {
        if (!derive(ByteView(f.bytes).subspan(12), out))
            return Fail(VAQ_ERR_CRYPTO, "file protector: key derivation failed");
        return Ok();
    }

    // The host refuses a secret or a directory on its way that another
    // account could have made or changed, and says which and why in the line
    // before this one.
    Status untrusted() const {
        return Fail(VAQ_ERR_SECRET_UNTRUSTED,
                    reason("file protector: node secret %s not used: it or its directory is not trusted (a link, "
                           "another user's, or open to group or others)",
                           path_.c_str()));
    }

    Status read_secret(NodeSecret &out) const {
        FileContent f = host_.read_file(path_);
        if (f.state == FileState::kUnsafe) return untrusted();
        if (f.state == FileState::kMissing)
            return Fail(VAQ_ERR_SECRET_MISSING,
                        reason("file protector: node secret %s is missing; this node cannot open "
                               "the keystore (recover by importing an export file)",
                               path_.c_str()));
        if (!well_formed(f))
            return Fail(VAQ_ERR_SECRET_UNREADABLE,
                        reason("file protector: node secret %s cannot be read or is not a node "
                               "secret",
                               path_.c_str()));
        return from_file(f, out);
    }

    // Under the process lock: no other process of ours makes the secret at
    // the same moment, and the exclusive create stops anyone else's.
    Status read_or_create(NodeSecret &out) const {
        for (int attempt = 0; attempt < 2; ++attempt) {
            FileContent f = host_.read_file(path_);
            if (well_formed(f)) return from_file(f, out);
            if (f.state == FileState::kUnsafe) return untrusted();
            bool cutShort =
                f.state == FileState::kEmpty || (f.state == FileState::kRead && f.bytes.size() < kSecretFileBytes);
            if (f.state != FileState::kMissing && !cutShort)
                return Fail(VAQ_ERR_SECRET_UNREADABLE,
                            reason("file protector: node secret %s cannot be read or is not a "
                                   "node secret; it is left as it is",
                                   path_.c_str()));
            // A creation cut short by a crash: no keystore can have been
            // sealed under a secret that never reached the disk.
            if (cutShort && (!host_.table().fremove_fn || host_.table().fremove_fn(path_.c_str()) != 0))
                return Fail(VAQ_ERR_SECRET_CREATE, reason("file protector: node secret %s is incomplete and cannot be "
                                                          "removed",
                                                          path_.c_str()));
            Status s = create(out);
            if (s.code != VAQ_ERR_FILE_EXISTS) return s;
        }
        return Fail(VAQ_ERR_SECRET_CREATE,
                    reason("file protector: node secret %s appears and vanishes", path_.c_str()));
    }

    Status create(NodeSecret &out) const {
        const VaqHostServices &t = host_.table();
        // Everything that can fail for want of memory comes before the file
        // exists, so that a failure leaves no empty secret and no open handle.
        Bytes image(kSecretFileBytes, 0);
        WipeOnExit wipe(image);
        void *h = t.fopen_fn(path_.c_str(), VAQ_FILE_CREATE_SECRET);
        if (h == nullptr) {
            int err = t.ferrno_fn ? t.ferrno_fn(nullptr) : 0;
            if (err == EEXIST) return Fail(VAQ_ERR_FILE_EXISTS, "node secret made meanwhile");
            if (err == EPERM || err == ELOOP) return untrusted();
            return Fail(VAQ_ERR_SECRET_CREATE,
                        reason("file protector: node secret %s cannot be created (%s); root runs "
                               "'telmor-vaq init' once to make its directory",
                               path_.c_str(), std::strerror(err)));
        }
        std::memcpy(image.data(), kSecretMagic, sizeof kSecretMagic);
        image[8] = 1;
        Status s = host_.entropy(image.data() + 12, kKeyBytes);
        bool written = s.ok() && t.fwrite_fn(image.data(), image.size(), h) == 1;
        // Written whole but not confirmed on disk (the file's sync or its
        // directory's failed): no keystore may be sealed under it.
        const bool unconfirmed =
            s.ok() && !written && t.ftell_fn && t.ftell_fn(h) == static_cast<int64_t>(image.size());
        bool closed = t.fclose_fn(h) == 0;
        if (!written || !closed) {
            if (t.fremove_fn) t.fremove_fn(path_.c_str());
            if (!s.ok()) return s;
            if (unconfirmed)
                return Fail(VAQ_ERR_UNCONFIRMED, reason("file protector: node secret %s was written but its sync to "
                                                        "disk failed; it is removed and nothing was sealed under it",
                                                        path_.c_str()));
            return Fail(VAQ_ERR_SECRET_CREATE,
                        reason("file protector: node secret %s could not be written", path_.c_str()));
        }
        log_to(host_, LogLevel::kInfo, kVaqModule, __FILE_NAME__, __LINE__, "file protector: node secret %s created\n",
               path_.c_str());
        if (!derive(ByteView(image).subspan(12), out))
            return Fail(VAQ_ERR_CRYPTO, "file protector: key derivation failed");
        return Ok();
    }

    const Host &host_;
    std::string path_;
};

}  // namespace

std::unique_ptr<RootProtector> make_file_protector(const Host &host, std::string secretPath) {
    return std::make_unique<FileProtector>(host, std::move(secretPath));
}

}  // namespace vaq
