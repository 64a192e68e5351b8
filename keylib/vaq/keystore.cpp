// SPDX-License-Identifier: Apache-2.0
#include "keystore.h"

#include <algorithm>
#include <cstring>
#include <set>

namespace vaq {

namespace {

constexpr char kMagic[8] = {'H', 'X', 'B', 'V', 'A', 'Q', 'K', 'S'};
constexpr size_t kHeaderBytes = 32;
constexpr size_t kRootBlockBytes = 56;        // format 1: the material inside
constexpr size_t kSealedRootBlockBytes = 24;  // format 2: the sealed root follows
constexpr size_t kTrailerBytes = 32;
constexpr size_t kKeyFixedBytes = 28;
static_assert(kMinImageBytes == kHeaderBytes + kRootBlockBytes + kTrailerBytes);
constexpr char kKeystoreSalt[] = "hxbVaq keystore";
constexpr size_t kHistoryRecordBytes = 16;
constexpr uint8_t kFlagActive = 1;
constexpr uint8_t kFlagRegistered = 2;

bool root_subkey(const RootKey &root, const char *label, SecretArray<kKeyBytes> &out) {
    ByteView info(reinterpret_cast<const uint8_t *>(label), std::strlen(label));
    return hkdf_sha256(root.material.view(), kKeystoreSalt, info, out.data(), out.size());
}

// The record fields that wrapping binds: a wrapped key cannot be moved to
// another domain or id, or be given another length.
std::array<uint8_t, 10> wrap_aad(uint32_t domain, uint32_t id, uint16_t len) {
    std::array<uint8_t, 10> aad{};
    for (int i = 0; i < 4; ++i) {
        aad[i] = static_cast<uint8_t>(domain >> (8 * i));
        aad[4 + i] = static_cast<uint8_t>(id >> (8 * i));
    }
    aad[8] = static_cast<uint8_t>(len);
    aad[9] = static_cast<uint8_t>(len >> 8);
    return aad;
}

// The history records of a format-3 image: a domain's last change (key id
// 0) or a key deleted here; each (domain, id) once, every time plausible.
Status read_history(ByteView records, uint32_t count, KeyHistory &out) {
    Reader r(records);
    std::set<uint64_t> seen;
    size_t changes = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t domain = r.u32();
        const uint32_t id = r.u32();
        const int64_t at = r.i64();
        if (!r.ok() || !plausible_time(at, 0) || !seen.insert(key_slot(domain, id)).second)
            return Fail(VAQ_ERR_KEYSTORE_CORRUPT, "a history record is malformed");
        if (id == 0) {
            if (++changes > kMaxDomainChanges) return Fail(VAQ_ERR_KEYSTORE_CORRUPT, "too many domain records");
            out.add_record(DomainChange{domain, at});
        } else {
            if (out.retired().size() >= kMaxRetiredKeys) return Fail(VAQ_ERR_KEYSTORE_CORRUPT, "too many deleted keys");
            out.add_record(RetiredKey{domain, id, at});
        }
    }
    return Ok();
}

}  // namespace

MasterKey *Keystore::find(uint32_t domain, uint32_t id) {
    for (auto &k : keys)
        if (k.domain == domain && k.id == id) return &k;
    return nullptr;
}

const MasterKey *Keystore::find(uint32_t domain, uint32_t id) const {
    for (const auto &k : keys)
        if (k.domain == domain && k.id == id) return &k;
    return nullptr;
}

MasterKey *Keystore::active_of(uint32_t domain) {
    for (auto &k : keys)
        if (k.domain == domain && k.active) return &k;
    return nullptr;
}

bool Keystore::has_key_in(uint32_t domain) const {
    for (const auto &k : keys)
        if (k.domain == domain) return true;
    return false;
}

Status wrap_key(const Host &host, const RootKey &root, MasterKey &key) {
    SecretArray<kKeyBytes> kek;
    if (!root_subkey(root, "wrap v1", kek)) return Fail(VAQ_ERR_CRYPTO, "key derivation failed");
    Status s = host.entropy(key.nonce.data(), key.nonce.size());
    if (!s.ok()) return s;
    auto aad = wrap_aad(key.domain, key.id, static_cast<uint16_t>(key.material.size()));
    Bytes wrapped(key.material.size() + kGcmTagBytes, 0);
    if (!gcm_seal(kek.data(), key.nonce.data(), aad, key.material.view(), wrapped.data()))
        return Fail(VAQ_ERR_CRYPTO, "key wrapping failed");
    key.wrapped = wrapped_own(std::move(wrapped));
    return Ok();
}

bool derive_working_key(uint32_t domain, uint32_t id, ByteView material, uint8_t out[kKeyBytes]) {
    uint8_t info[8];
    for (int i = 0; i < 4; ++i) {
        info[i] = static_cast<uint8_t>(domain >> (8 * i));
        info[4 + i] = static_cast<uint8_t>(id >> (8 * i));
    }
    return hkdf_sha256(material, "hxbQor working key", info, out, kKeyBytes);
}

size_t keyless_image_bytes(ByteView image) {
    Reader r(image);
    ByteView magic = r.bytes(sizeof kMagic);
    uint16_t version = r.u16();
    if (!r.ok() || std::memcmp(magic.data(), kMagic, sizeof kMagic) != 0) return 0;
    if (version == kUnprotectedFormatVersion) return kMinImageBytes;
    if (version != kFormatVersion && version != kHistoryFormatVersion) return 0;
    r.skip(24);  // to the protector
    uint16_t protector = r.u16();
    r.skip(8);
    uint32_t sealedBytes = r.u32();
    if (!r.ok()) return kHeaderBytes + kSealedRootBlockBytes;
    // Format 3 is only written with a history, so no format-3 image is as
    // short as this: a damaged one never passes for a first image cut short.
    if (version == kHistoryFormatVersion && protector == 0) return kMinImageBytes;
    // Only lengths a protector writes count: a damaged length must not make
    // a keystore that holds keys look like a first image cut short.
    bool plausible =
        protector == static_cast<uint16_t>(ProtectorKind::kFile) ? sealedBytes == kFileSealedRootBytes
        : protector == static_cast<uint16_t>(ProtectorKind::kTpm2)
            ? sealedBytes <= kTpm2MaxSealedRootBytes
            : protector == static_cast<uint16_t>(ProtectorKind::kPkcs11) && sealedBytes <= kPkcs11MaxSealedRootBytes;
    if (!plausible) return 0;
    return kHeaderBytes + kSealedRootBlockBytes + sealedBytes + kTrailerBytes;
}

Status serialize(const Keystore &ks, Bytes &image) {
    if (ks.keys.size() > kMaxKeys) return Fail(VAQ_ERR_LIMIT, "too many master keys");
    const bool sealed = ks.protector != ProtectorKind::kNone;
    if (sealed && (ks.sealedRoot.empty() || ks.sealedRoot.size() > kMaxSealedRootBytes))
        return Fail(VAQ_ERR_INTERNAL, "the root material has not been sealed");
    // Sized once: a vector that grows leaves copies of the root material in
    // the blocks it gives back, unwiped.
    size_t imageBytes =
        kHeaderBytes + kTrailerBytes + (sealed ? kSealedRootBlockBytes + ks.sealedRoot.size() : kRootBlockBytes);
    for (const auto &k : ks.keys) imageBytes += kKeyFixedBytes + kGcmNonceBytes + k.wrapped.size();
    const size_t historyRecords = ks.history.records();
    imageBytes += historyRecords * kHistoryRecordBytes;
    image.clear();
    image.reserve(imageBytes);
    Writer w(image);
    w.bytes({reinterpret_cast<const uint8_t *>(kMagic), sizeof kMagic});
    w.u16(historyRecords > 0 ? kHistoryFormatVersion : sealed ? kFormatVersion : kUnprotectedFormatVersion);
    w.u16(static_cast<uint16_t>(kHeaderBytes));
    w.u32(0);  // total length, patched below
    w.u64(ks.generation);
    w.u32(static_cast<uint32_t>(ks.keys.size()));
    w.u32(static_cast<uint32_t>(historyRecords));

    w.u16(ks.root.version);
    w.u16(static_cast<uint16_t>(ks.protector));
    w.u32(ks.root.lifeDays);
    w.u32(ks.root.strengthBits);
    w.u32(sealed ? static_cast<uint32_t>(ks.sealedRoot.size()) : 0);
    w.i64(ks.root.created);
    w.bytes(sealed ? ByteView(ks.sealedRoot) : ks.root.material.view());

    for (const auto &k : ks.keys) {
        w.u32(k.domain);
        w.u32(k.id);
        w.u16(static_cast<uint16_t>(k.material.size()));
        w.u8(static_cast<uint8_t>((k.active ? kFlagActive : 0) | (k.origin == kRegistered ? kFlagRegistered : 0)));
        w.u8(0);
        w.i64(k.created);
        w.u32(k.lifeDays);
        w.u32(0);
        w.bytes(k.nonce);
        w.bytes(k.wrapped.view());
    }
    // A domain's last change is a record with key id 0, which no key has.
    for (const auto &c : ks.history.changes()) {
        w.u32(c.domain);
        w.u32(0);
        w.i64(c.at);
    }
    for (const auto &r : ks.history.retired()) {
        w.u32(r.domain);
        w.u32(r.id);
        w.i64(r.deleted);
    }
    uint32_t total = static_cast<uint32_t>(image.size() + kTrailerBytes);
    for (int i = 0; i < 4; ++i) image[12 + i] = static_cast<uint8_t>(total >> (8 * i));

    SecretArray<kKeyBytes> sealKey;
    if (!root_subkey(ks.root, "seal v1", sealKey)) return Fail(VAQ_ERR_CRYPTO, "key derivation failed");
    uint8_t mac[32];
    if (!hmac_sha256(sealKey.view(), image, mac)) return Fail(VAQ_ERR_CRYPTO, "keystore seal failed");
    w.bytes({mac, sizeof mac});
    return Ok();
}

uint64_t peek_generation(ByteView image) {
    Reader r(image);
    r.skip(16);
    uint64_t gen = r.u64();
    return r.ok() ? gen : 0;
}

bool claims_protected_format(ByteView image) {
    Reader r(image);
    ByteView magic = r.bytes(sizeof kMagic);
    uint16_t version = r.u16();
    r.skip(24);
    uint16_t protector = r.u16();
    return r.ok() && std::memcmp(magic.data(), kMagic, sizeof kMagic) == 0 &&
           (version == kFormatVersion || (version == kHistoryFormatVersion && protector != 0));
}

ParseResult parse(ByteView image, Keystore &out, RootOpener &opener, std::shared_ptr<const Bytes> file) {
    if (image.size() < kMinImageBytes) return ParseResult::kCorrupt;
    Reader r(image);
    ByteView magic = r.bytes(sizeof kMagic);
    if (std::memcmp(magic.data(), kMagic, sizeof kMagic) != 0) return ParseResult::kCorrupt;
    uint16_t version = r.u16();
    uint16_t headerBytes = r.u16();
    uint32_t total = r.u32();
    if (version > kHistoryFormatVersion) return ParseResult::kNewerFormat;
    if (version == 0 || headerBytes != kHeaderBytes || total < kMinImageBytes || total > image.size())
        return ParseResult::kCorrupt;

    Keystore ks;
    ks.generation = r.u64();
    uint32_t count = r.u32();
    uint32_t historyRecords = r.u32();
    ks.root.version = r.u16();
    uint16_t protector = r.u16();
    ks.root.lifeDays = r.u32();
    ks.root.strengthBits = r.u32();
    uint32_t sealedBytes = r.u32();
    ks.root.created = r.i64();
    if (!r.ok()) return ParseResult::kCorrupt;
    // Formats 1 and 2 have no history (the field is reserved, 0); format 3
    // is written only with one.
    if ((version == kHistoryFormatVersion) != (historyRecords > 0) ||
        historyRecords > kMaxRetiredKeys + kMaxDomainChanges)
        return ParseResult::kCorrupt;
    const bool plainRoot =
        version == kUnprotectedFormatVersion || (version == kHistoryFormatVersion && protector == 0);
    const size_t recordsAt = r.pos() + (plainRoot ? kKeyBytes : sealedBytes);
    if (plainRoot) {
        ByteView rootMaterial = r.bytes(kKeyBytes);
        if (!r.ok() || protector != 0 || sealedBytes != 0) return ParseResult::kCorrupt;
        std::memcpy(ks.root.material.data(), rootMaterial.data(), kKeyBytes);
    } else {
        if (protector != static_cast<uint16_t>(ProtectorKind::kFile) &&
            protector != static_cast<uint16_t>(ProtectorKind::kTpm2) &&
            protector != static_cast<uint16_t>(ProtectorKind::kPkcs11))
            return ParseResult::kCorrupt;
        if (sealedBytes == 0 || sealedBytes > kMaxSealedRootBytes || recordsAt + kTrailerBytes > total)
            return ParseResult::kCorrupt;
        ByteView sealed = r.bytes(sealedBytes);
        if (!r.ok()) return ParseResult::kCorrupt;
        ks.protector = static_cast<ProtectorKind>(protector);
        // Opened before the trailer is checked: the trailer's key comes from
        // what it opens. Sealed bytes that do not open say nothing of the rest.
        switch (opener.open(ks.protector, sealed, ks.root.material.data())) {
            case Unsealed::kYes:
                break;
            case Unsealed::kForeign:
                return ParseResult::kForeign;
            case Unsealed::kDamaged:
                return ParseResult::kCorrupt;
            case Unsealed::kFailed:
                return ParseResult::kProtectorFailed;
        }
        ks.sealedRoot.assign(sealed.begin(), sealed.end());
    }

    ByteView body = image.subspan(0, total - kTrailerBytes);
    SecretArray<kKeyBytes> sealKey;
    uint8_t mac[32];
    // A MAC that could not be computed (OpenSSL without memory) says nothing
    // about the image: only a MAC that differs is damage.
    if (!root_subkey(ks.root, "seal v1", sealKey) || !hmac_sha256(sealKey.view(), body, mac))
        return ParseResult::kCannotVerify;
    if (CRYPTO_memcmp(mac, image.data() + body.size(), sizeof mac) != 0) return ParseResult::kCorrupt;

    // Past the trailer, but a trailer proves only that whoever wrote the file
    // knew its root material: what this library never writes is refused.
    if (count > kMaxKeys || ks.root.version == 0 || !plausible_time(ks.root.created, ks.root.lifeDays))
        return ParseResult::kCorrupt;
    SecretArray<kKeyBytes> kek;
    if (!root_subkey(ks.root, "wrap v1", kek)) return ParseResult::kCannotVerify;
    GcmOpener unwrap(kek.data());

    // The history, after the master keys, is checked before the keys are
    // unwrapped: it is small, and fixed in size.
    if (body.size() - recordsAt < size_t{historyRecords} * kHistoryRecordBytes) return ParseResult::kCorrupt;
    body = body.subspan(0, body.size() - size_t{historyRecords} * kHistoryRecordBytes);
    Status history = read_history(image.subspan(body.size(), size_t{historyRecords} * kHistoryRecordBytes),
                                  historyRecords, ks.history);
    if (!history.ok()) return ParseResult::kCorrupt;

    // Every record's wrapped bytes stay in one plain block (the file's own,
    // or one copy of the records) and every key's material goes to one
    // secret block, both shared by the keys: a load makes at most two
    // blocks, not two per key (key_material.h).
    const size_t recordBytes = body.size() - recordsAt;
    constexpr size_t kRecordOverhead = kKeyFixedBytes + kGcmNonceBytes + kGcmTagBytes;
    if (recordBytes < size_t{count} * kRecordOverhead) return ParseResult::kCorrupt;
    const size_t materialBytes = recordBytes - size_t{count} * kRecordOverhead;
    if (materialBytes > size_t{count} * kMaxMaterialBytes) return ParseResult::kCorrupt;
    ByteView recordView = body.subspan(recordsAt);
    std::shared_ptr<const Bytes> records = std::move(file);
    if (!records || version != kFormatVersion) {
        records = std::make_shared<const Bytes>(recordView.begin(), recordView.end());
        recordView = *records;
    }
    std::shared_ptr<SecretBlock> materials;
    if (count > 0) materials = std::make_shared<SecretBlock>(materialBytes);
    size_t materialUsed = 0;

    Reader kr(recordView);
    // Duplicates are found by sorting once, not by a tree insert per record.
    std::vector<uint64_t, plain::Allocator<uint64_t>> seen;
    seen.reserve(count);
    std::set<uint32_t> activeDomains;
    ks.keys.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        MasterKey k;
        k.domain = kr.u32();
        k.id = kr.u32();
        uint16_t len = kr.u16();
        uint8_t flags = kr.u8();
        kr.skip(1);
        k.created = kr.i64();
        k.lifeDays = kr.u32();
        kr.skip(4);
        ByteView nonce = kr.bytes(kGcmNonceBytes);
        if (!kr.ok() || len < kMinMaterialBytes || len > kMaxMaterialBytes || k.id == 0 ||
            !plausible_time(k.created, k.lifeDays) || len > materialBytes - materialUsed)
            return ParseResult::kCorrupt;
        ByteView wrapped = kr.bytes(len + kGcmTagBytes);
        if (!kr.ok()) return ParseResult::kCorrupt;
        seen.push_back(key_slot(k.domain, k.id));
        k.active = (flags & kFlagActive) != 0;
        k.origin = (flags & kFlagRegistered) ? kRegistered : kGenerated;
        if (k.active && !activeDomains.insert(k.domain).second) return ParseResult::kCorrupt;
        std::memcpy(k.nonce.data(), nonce.data(), nonce.size());
        k.wrapped = WrappedBytes(records, wrapped.data(), wrapped.size());
        uint8_t *material = materials->data() + materialUsed;
        materialUsed += len;
        auto aad = wrap_aad(k.domain, k.id, len);
        switch (unwrap.open(k.nonce.data(), aad, wrapped, material)) {
            case Opened::kYes:
                break;
            case Opened::kRejected:
                return ParseResult::kCorrupt;
            case Opened::kFailed:
                return ParseResult::kCannotVerify;
        }
        k.material = KeyMaterial(materials, material, len);
        ks.keys.push_back(std::move(k));
    }
    if (kr.remaining() != 0) return ParseResult::kCorrupt;
    std::sort(seen.begin(), seen.end());
    if (std::adjacent_find(seen.begin(), seen.end()) != seen.end()) return ParseResult::kCorrupt;
    // A key is never both held and remembered as deleted.
    for (const auto &retired : ks.history.retired())
        if (std::binary_search(seen.begin(), seen.end(), key_slot(retired.domain, retired.id)))
            return ParseResult::kCorrupt;
    out = std::move(ks);
    return ParseResult::kValid;
}

}  // namespace vaq
