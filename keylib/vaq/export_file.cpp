// SPDX-License-Identifier: Apache-2.0
#include "export_file.h"

#include <cstring>
#include <set>

namespace vaq {

namespace {

constexpr char kMagic[8] = {'H', 'X', 'B', 'V', 'A', 'Q', 'E', 'X'};
constexpr uint16_t kExportVersion = 1;
constexpr uint16_t kKdfPbkdf2Sha256 = 1;
constexpr size_t kHeaderBytes = 64;
constexpr size_t kSaltBytes = 16;
constexpr size_t kRecordFixedBytes = 24;

}  // namespace

Status seal_export(const Host &host, const std::vector<ExportedKey> &keys, ByteView password, uint32_t iterations,
                   Bytes &file) {
    if (keys.size() > kMaxKeys) return Fail(VAQ_ERR_LIMIT, "too many master keys");
    SecureBytes payload;
    {
        // Sized once: a vector that grows leaves copies of key material in
        // the blocks it gives back, unwiped.
        size_t bytes = 0;
        for (const auto &k : keys) bytes += kRecordFixedBytes + k.material.size();
        Bytes plain;
        plain.reserve(bytes);
        Writer w(plain);
        for (const auto &k : keys) {
            w.u32(k.domain);
            w.u32(k.id);
            w.u16(static_cast<uint16_t>(k.material.size()));
            w.u8(k.origin);
            w.u8(k.active ? 1 : 0);
            w.i64(k.created);
            w.u32(k.lifeDays);
            w.bytes(k.material.view());
        }
        payload = SecureBytes(plain);
        OPENSSL_cleanse(plain.data(), plain.size());
    }
    uint8_t salt[kSaltBytes];
    uint8_t nonce[kGcmNonceBytes];
    Status st = host.entropy(salt, sizeof salt);
    if (st.ok()) st = host.entropy(nonce, sizeof nonce);
    if (!st.ok()) return st;

    file.clear();
    Writer w(file);
    w.bytes({reinterpret_cast<const uint8_t *>(kMagic), sizeof kMagic});
    w.u16(kExportVersion);
    w.u16(kKdfPbkdf2Sha256);
    w.u32(iterations);
    w.bytes({salt, sizeof salt});
    w.bytes({nonce, sizeof nonce});
    w.u32(static_cast<uint32_t>(keys.size()));
    w.u32(static_cast<uint32_t>(payload.size()));
    w.zeros(kHeaderBytes - w.size());

    SecretArray<kKeyBytes> key;
    if (!pbkdf2_sha256(password, {salt, sizeof salt}, iterations, key.data()))
        return Fail(VAQ_ERR_CRYPTO, "password key derivation failed");
    Bytes header(file.begin(), file.end());
    file.resize(kHeaderBytes + payload.size() + kGcmTagBytes);
    if (!gcm_seal(key.data(), nonce, header, payload.view(), file.data() + kHeaderBytes))
        return Fail(VAQ_ERR_CRYPTO, "export sealing failed");
    return Ok();
}

Status open_export(ByteView file, ByteView password, std::vector<ExportedKey> &keys) {
    if (file.size() < kHeaderBytes + kGcmTagBytes) return Fail(VAQ_ERR_EXPORT_FORMAT, "not an export file: too short");
    Reader r(file);
    ByteView magic = r.bytes(sizeof kMagic);
    if (std::memcmp(magic.data(), kMagic, sizeof kMagic) != 0) return Fail(VAQ_ERR_EXPORT_FORMAT, "not an export file");
    uint16_t version = r.u16();
    uint16_t kdf = r.u16();
    uint32_t iterations = r.u32();
    ByteView salt = r.bytes(kSaltBytes);
    ByteView nonce = r.bytes(kGcmNonceBytes);
    uint32_t count = r.u32();
    uint32_t payloadBytes = r.u32();
    if (version != kExportVersion || kdf != kKdfPbkdf2Sha256)
        return Fail(VAQ_ERR_EXPORT_FORMAT, "export file of an unknown version");
    // Bounds come before any work: the file is not yet authenticated.
    if (iterations < kMinExportIterations || iterations > kMaxExportIterations)
        return Fail(VAQ_ERR_EXPORT_FORMAT, "export file asks for a work factor out of bounds");
    if (count > kMaxKeys || uint64_t{payloadBytes} < uint64_t{count} * (kRecordFixedBytes + kMinMaterialBytes) ||
        uint64_t{payloadBytes} > uint64_t{count} * (kRecordFixedBytes + kMaxMaterialBytes))
        return Fail(VAQ_ERR_EXPORT_FORMAT, "export file key count and length disagree");
    if (uint64_t{kHeaderBytes} + payloadBytes + kGcmTagBytes > file.size())
        return Fail(VAQ_ERR_EXPORT_FORMAT, "export file truncated");

    SecretArray<kKeyBytes> key;
    if (!pbkdf2_sha256(password, salt, iterations, key.data()))
        return Fail(VAQ_ERR_CRYPTO, "password key derivation failed");
    SecureBytes payload(payloadBytes);
    switch (gcm_open(key.data(), nonce.data(), file.subspan(0, kHeaderBytes),
                     file.subspan(kHeaderBytes, payloadBytes + kGcmTagBytes), payload.data())) {
        case Opened::kYes:
            break;
        case Opened::kRejected:
            return Fail(VAQ_ERR_EXPORT_AUTH, "wrong password, or the export file was altered");
        case Opened::kFailed:
            return Fail(VAQ_ERR_CRYPTO, "export file could not be opened");
    }

    std::vector<ExportedKey> out;
    std::set<uint64_t> seen;
    Reader pr(payload.view());
    for (uint32_t i = 0; i < count; ++i) {
        ExportedKey k;
        k.domain = pr.u32();
        k.id = pr.u32();
        uint16_t len = pr.u16();
        k.origin = pr.u8() == kRegistered ? kRegistered : kGenerated;
        k.active = pr.u8() == 1;
        k.created = pr.i64();
        k.lifeDays = pr.u32();
        ByteView material = pr.bytes(len);
        if (!pr.ok() || len < kMinMaterialBytes || len > kMaxMaterialBytes || k.id == 0 ||
            !plausible_time(k.created, k.lifeDays) || !seen.insert((uint64_t{k.domain} << 32) | k.id).second)
            return Fail(VAQ_ERR_EXPORT_FORMAT, "export file holds a malformed key record");
        k.material = SecureBytes(material);
        out.push_back(std::move(k));
    }
    if (pr.remaining() != 0) return Fail(VAQ_ERR_EXPORT_FORMAT, "export file payload has extra bytes");
    keys = std::move(out);
    return Ok();
}

}  // namespace vaq
