/* SPDX-License-Identifier: Apache-2.0 */
// A key-encryption key that lives in a PKCS#11 token (an HSM, a key service's
// PKCS#11 library, SoftHSM2) and never leaves it, named by a PKCS#11 URI
// (RFC 7512): `pkcs11:token=LABEL;object=LABEL` with `module-path=` or
// `module-name=`, and the PIN from `pin-source=file:PATH` (a secret directly
// in the trusted secret directory). Without a pin-source only a token that
// needs no login, or takes its PIN itself (a keypad), is used.
//
// Codes: VAQ_ERR_TOKEN_MODULE (2036), VAQ_ERR_TOKEN_ABSENT (2037),
// VAQ_ERR_TOKEN_PIN (2038), VAQ_ERR_TOKEN_KEY (2042), VAQ_ERR_TOKEN_REFUSED
// (2043), each with one line naming what failed; VAQ_ERR_BAD_ARG for a URI
// that is refused. A process forked after using a token starts its module
// anew (and logs in again) at its first use.
//
// Two users: the `pkcs11` root protector (the keystore's root sealed under the
// key) and exports sealed to a shared key instead of a password. Both seal
// exactly 32 secret bytes, so that no secret passes through the heap.
//
// The module is loaded at run time (dlopen), never linked; a URI read from a
// keystore or an export file is input from whoever could write that file, so
// the module it names must be one only root could have installed.
#ifndef HXB_VAQ_TOKEN_KEY_H
#define HXB_VAQ_TOKEN_KEY_H

#include <cstdint>
#include <memory>
#include <string>

#include "bytes.h"
#include "host.h"
#include "protector.h"
#include "status.h"

namespace vaq {

// What a URI names. The PIN never appears here, only where it comes from.
struct TokenUri {
    std::string token;  // token=  (the token's label)
    // Further narrowing of which token, each empty when not given: a label
    // alone may be another token's too.
    std::string manufacturer;    // manufacturer= (the token's manufacturer id)
    std::string model;           // model=
    std::string serial;          // serial= (the token's serial number)
    std::string slotId;          // slot-id= (decimal)
    std::string object;          // object= (the key's label)
    std::string id;              // id= (the key's CKA_ID, raw bytes), may be empty
    std::string modulePath;      // module-path=
    std::string moduleName;      // module-name= (found through the p11-kit configuration)
    std::string pinSource;       // pin-source=file:PATH, the PATH
    bool secretKeyType = false;  // type=secret-key was given
    // The URI as it is recorded (keystore, export, status): normalised, and
    // never with a PIN in it (a URI carrying pin-value is refused).
    std::string text;
};
// Refuses (VAQ_ERR_BAD_ARG, with a line) what this system does not take: an
// attribute it does not know or met twice, a pin-value, a pin-source that is
// not `file:` and an absolute path, a module-path that is not absolute, a type
// other than secret-key, a URI without token, object or exactly one module.
Status parse_token_uri(const std::string &uri, TokenUri &out);
// An export's URI comes from whoever wrote the file, and the library hands
// what its pin-source holds to the module the URI names: only a file kept as
// a PIN (NAME.pin) is ever read so, never a node secret or another of the
// secret directory's files. kExportPinRule says so in a line.
bool pin_source_is_a_pin(const TokenUri &uri);
extern const char kExportPinRule[];
// Writes uri.text anew from its fields, normalised as parse_token_uri writes it.
void render_token_uri(TokenUri &uri);

class TokenKey {
public:
    // The key the URI names: its module loaded once per process, its token
    // logged in to once per process, the key found and checked (an AES secret
    // key the token will encrypt and decrypt with and never let out).
    static Status open(const Host &host, const std::string &uri, std::shared_ptr<TokenKey> &key);

    virtual ~TokenKey() = default;
    virtual const TokenUri &uri() const = 0;
    // Seals 32 bytes under the key, bound to `context` (authenticated, not
    // stored): a sealed blob moved to another context does not open.
    virtual Status seal(const uint8_t secret[32], ByteView context, Bytes &sealed) = 0;
    // kYes; kForeign when the blob is whole but not this key's (or not this
    // context's); kDamaged when it is not a blob of this shape; kFailed when
    // the token could not be asked (`why` says why).
    virtual Unsealed unseal(ByteView sealed, ByteView context, uint8_t secret[32], Status &why) = 0;
};

}  // namespace vaq

#endif
