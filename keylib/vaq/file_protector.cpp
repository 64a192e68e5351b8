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
#include <cstring>

#include "crypto.h"
#include "protector.h"
#include "secret_file.h"

namespace vaq {

namespace {

constexpr size_t kIdBytes = 8;
constexpr size_t kSealedBytes = kIdBytes + kGcmNonceBytes + kKeyBytes + kGcmTagBytes;
static_assert(kSealedBytes == kFileSealedRootBytes);
constexpr char kSalt[] = "hxbVaq node secret";
constexpr SecretFileKind kNodeSecret = {{'H', 'X', 'B', 'V', 'A', 'Q', 'N', 'S'}, "file protector", "node secret"};

struct NodeSecret {
    SecretArray<kKeyBytes> kek;
    std::array<uint8_t, kIdBytes> id{};
};

class FileProtector final : public RootProtector {
public:
    FileProtector(const Host &host, std::string path) : file_(host, std::move(path), kNodeSecret), host_(host) {}
    ProtectorKind kind() const override { return ProtectorKind::kFile; }
    std::string location() const override { return file_.path(); }
    ProtectorOptions options_of(ByteView) const override { return {}; }

    Status seal(ByteView root, const ProtectorOptions &, Bytes &sealed) override {
        NodeSecret secret;
        Status s = from_file(file_.read_or_create(secret.kek), secret);
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
        why = from_file(file_.read(secret.kek), secret);
        if (!why.ok()) return Unsealed::kFailed;
        if (CRYPTO_memcmp(sealed.data(), secret.id.data(), kIdBytes) != 0) {
            why = Fail(VAQ_ERR_ROOT_FOREIGN, reason("file protector: the keystore is sealed under another node secret "
                                                    "than %s",
                                                    file_.path().c_str()));
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
    // The node secret's 32 random bytes, read into out.kek, become the
    // secret's id and then, in place, the key that seals the root (OpenSSL
    // copies the input key before it writes the output).
    static Status from_file(Status read, NodeSecret &out) {
        if (!read.ok()) return read;
        static const uint8_t kKekInfo[] = {'r', 'o', 'o', 't', ' ', 's', 'e', 'a', 'l'};
        static const uint8_t kIdInfo[] = {'s', 'e', 'c', 'r', 'e', 't', ' ', 'i', 'd'};
        const ByteView raw(out.kek.data(), kKeyBytes);
        if (!hkdf_sha256(raw, kSalt, kIdInfo, out.id.data(), kIdBytes) ||
            !hkdf_sha256(raw, kSalt, kKekInfo, out.kek.data(), kKeyBytes))
            return Fail(VAQ_ERR_CRYPTO, "file protector: key derivation failed");
        return Ok();
    }

    SecretFile file_;
    const Host &host_;
};

}  // namespace

std::unique_ptr<RootProtector> make_file_protector(const Host &host, std::string secretPath) {
    return std::make_unique<FileProtector>(host, std::move(secretPath));
}

}  // namespace vaq
