/* SPDX-License-Identifier: Apache-2.0 */
// Root protectors: what seals the keystore's 32-byte root material outside the
// keystore files, so that a copy of those files alone opens nothing and a copy
// cannot be forged by writing it (the trailer and the key seals are keyed from
// the unsealed root). The keystore records which protector sealed it and the
// sealed bytes (docs/keystore-format.md); the protector keeps what it needs to
// open them: a node secret file, the TPM, or a key in a PKCS#11 token.
//
// A further protector is one more implementation of RootProtector and one
// more kind number: README.md.
#ifndef HXB_VAQ_PROTECTOR_H
#define HXB_VAQ_PROTECTOR_H

#include <cstdint>
#include <memory>
#include <string>

#include "bytes.h"
#include "guarded_key.h"
#include "host.h"
#include "protection_marks.h"
#include "status.h"

namespace vaq {

// Numbers as stored in the keystore. kNone: the root material lies in the file
// (format version 1, kept loadable and reported as unprotected).
enum class ProtectorKind : uint16_t { kNone = 0, kFile = 1, kTpm2 = 2, kPkcs11 = 3 };
const char *protector_name(ProtectorKind kind);

// Lengths of the sealed root each protector writes.
inline constexpr size_t kFileSealedRootBytes = 68;
inline constexpr size_t kTpm2MaxSealedRootBytes = 1024;
// Layout, URI length, a URI of at most 2048 bytes, the token's sealed blob.
inline constexpr size_t kPkcs11MaxSealedRootBytes = 4 + 2048 + 61;

struct ProtectorOptions {
    // tpm2: PCRs 0 to 23 of the SHA-256 bank the seal is bound to, bit n for
    // PCR n; 0 binds to none.
    uint32_t pcrMask = 0;
    // pkcs11: the token key's URI (token_key.h), as recorded: never a PIN.
    std::string keyUri;
};

// What opening sealed bytes found.
enum class Unsealed {
    kYes,
    // Sealed under another node's secret or TPM: this node cannot open it.
    kForeign,
    // Not sealed bytes of this protector's shape: damage.
    kDamaged,
    // The protector could not be asked (secret missing or unreadable, TPM
    // absent or refusing): nothing is known about the bytes. The status says why.
    kFailed,
};

class RootProtector {
public:
    virtual ~RootProtector() = default;
    virtual ProtectorKind kind() const = 0;
    // Seals root (32 bytes) into `sealed`. May first make what the protector
    // needs, on disk and synced (the node secret), so that no keystore refers
    // to a secret that did not reach the disk.
    virtual Status seal(ByteView root, const ProtectorOptions &options, Bytes &sealed) = 0;
    virtual Unsealed unseal(ByteView sealed, uint8_t root[32], Status &why) = 0;
    // The options recorded in sealed bytes, as far as they can be read.
    virtual ProtectorOptions options_of(ByteView sealed) const = 0;
    // Where the protector keeps its part: the node secret's path, the TCTI.
    virtual std::string location() const = 0;
};

std::unique_ptr<RootProtector> make_file_protector(const Host &host, std::string secretPath);
// The tpm2 protector of the keystore pair whose primary is `primaryPath`: its
// seal is bound to that pair and opened with the pair's authorisation file.
std::unique_ptr<RootProtector> make_tpm2_protector(const Host &host, const std::string &primaryPath);
// The pkcs11 protector of the keystore pair whose primary is `primaryPath`:
// its seal is bound to that pair; the token key is the one options.keyUri
// names when sealing, and the one the sealed bytes record when opening.
std::unique_ptr<RootProtector> make_pkcs11_protector(const Host &host, const std::string &primaryPath);

// The name a keystore pair's files in the node-secret directory start with
// (README.md, "Root protectors"): a fixed one for each role's keystore
// ("agent", "tools", "client"), else "ks-" and a hash of the primary path.
std::string keystore_stem(const std::string &primaryPath);
// Where a keystore pair's secret files live: its own directory beneath the
// node-secret directory (<dir>/<stem>, made by init or by a root process),
// or, on a node of the earlier flat layout whose files of this keystore are
// still there and which has no such directory yet, the node-secret directory
// itself.
std::string secret_directory(const Host &host, const std::string &primaryPath);
// The node secret's path for a keystore pair: <secret directory>/<stem>.secret.
std::string node_secret_path(const Host &host, const std::string &primaryPath);
// The tpm2 protector's authorisation file: <secret directory>/<stem>.tpm2-auth.
std::string tpm2_auth_path(const Host &host, const std::string &primaryPath);
// The directory every keystore's secret directory lives in; the sandbox puts
// a tmpfs over /etc/telmor.
inline constexpr const char kNodeSecretDir[] = "/etc/telmor/vaq";

// A failure reason with details (a path, an errno), for a Status: kept in a
// per-thread buffer until the fourth next such reason on the thread, which is
// longer than any Status travels before its edge logs it.
const char *reason(const char *format, ...) __attribute__((format(printf, 1, 2)));

// The protectors of one loaded keystore. The root material last unsealed or
// sealed for a keystore pair is kept for the life of the process, beyond the
// unload, so that a reload (an unload and a load, after another process's
// announcement) of an unchanged sealed root does not ask the protector again:
// a TPM unseal costs tens of milliseconds. It lives in a page of its own, out
// of core dumps, wiped at exit.
class Protectors {
public:
    // Makes every protector now: one made later, in an operation that then
    // fails, would be memory that operation kept.
    Protectors(const Host &host, const std::string &primaryPath);

    RootProtector *get(ProtectorKind kind);
    const ProtectionMarks &marks() const { return marks_; }
    Status seal(ProtectorKind kind, const ProtectorOptions &options, ByteView root, Bytes &sealed);
    Unsealed unseal(ProtectorKind kind, ByteView sealed, uint8_t root[32], Status &why);

private:
    const Host &host_;
    std::string primaryPath_;
    std::string secretPath_;
    std::unique_ptr<RootProtector> file_, tpm2_, pkcs11_;
    ProtectionMarks marks_;
};

}  // namespace vaq

#endif
