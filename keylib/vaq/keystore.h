/* SPDX-License-Identifier: Apache-2.0 */
// The keystore in memory, and its file image. The image is what both copies on
// disk hold (docs/keystore-format.md): header, root-key block with the root
// material sealed by the keystore's protector (or, in format 1, the material
// itself), master-key records with wrapped material, and an HMAC-SHA256
// trailer keyed from the root material.
#ifndef HXB_VAQ_KEYSTORE_H
#define HXB_VAQ_KEYSTORE_H

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "bytes.h"
#include "crypto.h"
#include "host.h"
#include "key_history.h"
#include "key_material.h"
#include "protector.h"
#include "status.h"

namespace vaq {

// Format 2 records the root protector and the sealed root; format 1 (the
// root material in the file, no protector) still loads and is still written
// for a keystore in it, until it is moved to a protector. Format 3 is either
// of them (told by its protector field) with the keystore's history after the
// master keys; it is written only for a keystore that has one, so a keystore
// without stays readable by libraries that know only formats 1 and 2, and a
// keystore with one is refused by them as newer, never rewritten without it.
inline constexpr uint16_t kFormatVersion = 2;
inline constexpr uint16_t kUnprotectedFormatVersion = 1;
inline constexpr uint16_t kHistoryFormatVersion = 3;
inline constexpr size_t kMaxSealedRootBytes = 4096;
inline constexpr uint32_t kRootLifeDays = 3650;
inline constexpr uint32_t kRootStrengthBits = 256;
inline constexpr size_t kMinMaterialBytes = 16;
inline constexpr size_t kMaxMaterialBytes = 256;
inline constexpr size_t kGeneratedMaterialBytes = 32;
inline constexpr size_t kMaxKeys = 16384;
// A key's life, and every time the library writes (1970 to the end of 9999):
// a key's expiry then always fits the records' dates, and no sum overflows.
inline constexpr uint32_t kMaxLifeDays = 365250;
inline constexpr int64_t kLatestTime = 253402300799;
inline bool plausible_time(int64_t created, uint32_t lifeDays) {
    return created >= 0 && created <= kLatestTime && lifeDays <= kMaxLifeDays;
}
// Header, root-key block and trailer of format 1: the image of a keystore
// without master keys. No valid image is shorter.
inline constexpr size_t kMinImageBytes = 32 + 56 + 32;
// The length of a keyless image in the format `image` starts with, as far as
// its header can be read; a file no longer than this cannot hold a master
// key. 0 when the header is not ours.
size_t keyless_image_bytes(ByteView image);

// One number for a key's (domain, id), unique in a keystore.
inline uint64_t key_slot(uint32_t domain, uint32_t id) { return (uint64_t{domain} << 32) | id; }

enum KeyOrigin : uint8_t { kGenerated = 0, kRegistered = 1 };

struct RootKey {
    uint16_t version = 1;
    uint32_t lifeDays = kRootLifeDays;
    uint32_t strengthBits = kRootStrengthBits;
    int64_t created = 0;
    SecretArray<kKeyBytes> material;
};

struct MasterKey {
    uint32_t domain = 0;
    uint32_t id = 0;
    bool active = false;
    uint8_t origin = kGenerated;
    int64_t created = 0;
    uint32_t lifeDays = 0;
    // Shared with the keystore's copies and the key index (key_material.h).
    KeyMaterial material;
    // The material sealed under the root key, as stored; kept so that writing an
    // unchanged key writes the same bytes.
    std::array<uint8_t, kGcmNonceBytes> nonce{};
    WrappedBytes wrapped;
};

struct Keystore {
    uint64_t generation = 0;
    RootKey root;
    // kNone: format 1, the root material written in the file.
    ProtectorKind protector = ProtectorKind::kNone;
    // The root material as the protector sealed it; sealed again whenever
    // the material or the protector changes.
    Bytes sealedRoot;
    // Ten thousand keys take a megabyte: kept for the next load like an image.
    std::vector<MasterKey, plain::Allocator<MasterKey>> keys;
    KeyHistory history;

    MasterKey *find(uint32_t domain, uint32_t id);
    const MasterKey *find(uint32_t domain, uint32_t id) const;
    MasterKey *active_of(uint32_t domain);
    bool has_key_in(uint32_t domain) const;
};

// Seals key.material under root into key.nonce / key.wrapped; the nonce comes
// from the host's entropy service.
Status wrap_key(const Host &host, const RootKey &root, MasterKey &key);
// The key that the data-protection library encrypts with under a master key.
// Derived when that library first asks for it, not at every load: a load of
// thousands of keys would otherwise spend a third of its time here.
bool derive_working_key(uint32_t domain, uint32_t id, ByteView material, uint8_t out[kKeyBytes]);

Status serialize(const Keystore &ks, Bytes &image);

// Opens the sealed root of a format-2 image.
class RootOpener {
public:
    virtual Unsealed open(ProtectorKind kind, ByteView sealed, uint8_t root[32]) = 0;

protected:
    ~RootOpener() = default;
};

// kCannotVerify: the image could not be checked (OpenSSL failed for want of
// memory, say); it says nothing about the image and must not be taken for damage.
// kForeign: sealed by a protector of another node. kProtectorFailed: the
// protector could not be asked; like kCannotVerify, nothing is known.
enum class ParseResult { kValid, kCorrupt, kNewerFormat, kCannotVerify, kForeign, kProtectorFailed };
// Verifies an image whole (sealed root, trailer, structure, every wrapped key)
// before filling ks. Bytes after the image's own length are ignored. When
// `file` is given, `image` lies inside it, and the keys of a protected image
// keep their wrapped records there instead of in a copy (an unprotected
// image holds the root material in plain, which the keys must not keep).
ParseResult parse(ByteView image, Keystore &ks, RootOpener &opener, std::shared_ptr<const Bytes> file = nullptr);
// The generation an image claims, without verifying it.
uint64_t peek_generation(ByteView image);
// Whether an image's header names a protected format, without verifying it.
bool claims_protected_format(ByteView image);

}  // namespace vaq

#endif
