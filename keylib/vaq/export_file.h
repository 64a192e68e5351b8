/* SPDX-License-Identifier: Apache-2.0 */
// The export file: master keys sealed under a key derived from a password
// (PBKDF2-HMAC-SHA256), or under 32 random bytes that a token key seals
// (token_key.h), so that every node that can use that key opens the file with
// no password. Laid out in docs/keystore-format.md.
#ifndef HXB_VAQ_EXPORT_FILE_H
#define HXB_VAQ_EXPORT_FILE_H

#include <string>
#include <vector>

#include "keystore.h"
#include "token_key.h"

namespace vaq {

inline constexpr uint32_t kMinExportIterations = 600000;
// An import refuses more, so that a hostile file cannot demand absurd work.
inline constexpr uint32_t kMaxExportIterations = 10000000;
inline constexpr size_t kMaxPasswordBytes = 1024;
// Bounds of a token-sealed file's variable header, checked before any use.
inline constexpr size_t kMaxExportUriBytes = 2048;
inline constexpr size_t kMaxSealedExportKeyBytes = 1024;

struct ExportedKey {
    uint32_t domain = 0;
    uint32_t id = 0;
    uint8_t origin = kGenerated;
    bool active = false;
    int64_t created = 0;
    uint32_t lifeDays = 0;
    SecureBytes material;
};

// A file's keys, and when it was made (seconds since 1970; 0 in files made
// before exports recorded it).
struct ExportContents {
    std::vector<ExportedKey> keys;
    int64_t made = 0;
};

// What seals a file's keys, read from its header alone (nothing verified).
// kUnknown: not an export file, or a kind or version this library lacks; the
// readers below refuse it with VAQ_ERR_EXPORT_FORMAT.
enum class ExportKind { kPassword, kTokenKey, kUnknown };
ExportKind export_kind(ByteView file);

// Salt and nonce come from the host's entropy service.
Status seal_export(const Host &host, const ExportContents &contents, ByteView password, uint32_t iterations,
                   Bytes &file);
// Verifies the whole file before answering any key. Bytes after the sealed
// payload are ignored.
Status open_export(ByteView file, ByteView password, ExportContents &contents);

// The token kind: the file's key is 32 random bytes that `key` seals, bound to
// the file's magic, version, kind and the key's URI, which the file records.
Status seal_token_export(const Host &host, const ExportContents &contents, TokenKey &key, Bytes &file);
// The URI a token-sealed file records, once the header's bounds check out.
// Nothing is verified yet: the URI is the input of whoever wrote the file.
Status token_export_uri(ByteView file, std::string &uri);
// Opens a token-sealed file with the key its URI names, verifying the whole
// file before answering any key. A key that is not the file's (or cannot be
// asked) is VAQ_ERR_EXPORT_KEY_UNREACHABLE; an altered file VAQ_ERR_EXPORT_AUTH.
Status open_token_export(ByteView file, TokenKey &key, ExportContents &contents);

}  // namespace vaq

#endif
