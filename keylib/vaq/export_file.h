/* SPDX-License-Identifier: Apache-2.0 */
// The export file: master keys sealed under a key derived from a password
// (PBKDF2-HMAC-SHA256), laid out in docs/keystore-format.md.
#ifndef HXB_VAQ_EXPORT_FILE_H
#define HXB_VAQ_EXPORT_FILE_H

#include <vector>

#include "keystore.h"

namespace vaq {

inline constexpr uint32_t kMinExportIterations = 600000;
// An import refuses more, so that a hostile file cannot demand absurd work.
inline constexpr uint32_t kMaxExportIterations = 10000000;
inline constexpr size_t kMaxPasswordBytes = 1024;

struct ExportedKey {
    uint32_t domain = 0;
    uint32_t id = 0;
    uint8_t origin = kGenerated;
    bool active = false;
    int64_t created = 0;
    uint32_t lifeDays = 0;
    SecureBytes material;
};

// Salt and nonce come from the host's entropy service.
Status seal_export(const Host &host, const std::vector<ExportedKey> &keys, ByteView password, uint32_t iterations,
                   Bytes &file);
// Verifies the whole file before answering any key. Bytes after the sealed
// payload are ignored.
Status open_export(ByteView file, ByteView password, std::vector<ExportedKey> &keys);

}  // namespace vaq

#endif
