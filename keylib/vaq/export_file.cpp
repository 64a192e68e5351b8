// SPDX-License-Identifier: Apache-2.0
#include "export_file.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "protector.h"

namespace vaq {

namespace {

constexpr char kMagic[8] = {'H', 'X', 'B', 'V', 'A', 'Q', 'E', 'X'};
// Version 1 is the password kind. Version 2 carries a variable header (the
// URI, the sealed key) that a version-1 reader must not take for a salt:
// it refuses any version but its own.
constexpr uint16_t kPasswordVersion = 1;
constexpr uint16_t kTokenVersion = 2;
constexpr uint16_t kKdfPbkdf2Sha256 = 1;
constexpr uint16_t kKindTokenKey = 2;
constexpr size_t kHeaderBytes = 64;
constexpr size_t kSaltBytes = 16;
constexpr size_t kRecordFixedBytes = 24;
// Where both kinds keep the nonce, the key count and the payload's length.
constexpr size_t kNonceAt = 32;

// The records of every key, in one buffer sized once: a vector that grows
// leaves copies of key material in the blocks it gives back, unwiped.
SecureBytes encode_payload(const std::vector<ExportedKey> &keys) {
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
    SecureBytes payload(plain);
    OPENSSL_cleanse(plain.data(), plain.size());
    return payload;
}

// The fields both kinds share, from offset 32 on: nonce, key count, payload
// length, and when the file was made (in bytes that readers before it
// skipped: its files carry 0 there, "not said").
void write_common(Writer &w, const uint8_t nonce[kGcmNonceBytes], size_t count, size_t payloadBytes, int64_t made) {
    w.bytes({nonce, kGcmNonceBytes});
    w.u32(static_cast<uint32_t>(count));
    w.u32(static_cast<uint32_t>(payloadBytes));
    w.i64(made);
    w.zeros(kHeaderBytes - w.size());
}

// Appends the payload sealed under `key`, every byte of `file` so far (the
// header) as associated data.
Status append_sealed(const uint8_t key[kKeyBytes], const uint8_t nonce[kGcmNonceBytes], const SecureBytes &payload,
                     Bytes &file) {
    Bytes header(file.begin(), file.end());
    file.resize(header.size() + payload.size() + kGcmTagBytes);
    if (!gcm_seal(key, nonce, header, payload.view(), file.data() + header.size()))
        return Fail(VAQ_ERR_CRYPTO, "export sealing failed");
    return Ok();
}

struct Common {
    ByteView nonce;
    uint32_t count = 0;
    uint32_t payloadBytes = 0;
    int64_t made = 0;
};

// Bounds come before any work: the file is not yet authenticated.
Status check_bounds(const Common &c, size_t headerEnd, size_t fileBytes) {
    if (c.count > kMaxKeys || uint64_t{c.payloadBytes} < uint64_t{c.count} * (kRecordFixedBytes + kMinMaterialBytes) ||
        uint64_t{c.payloadBytes} > uint64_t{c.count} * (kRecordFixedBytes + kMaxMaterialBytes))
        return Fail(VAQ_ERR_EXPORT_FORMAT, "export file key count and length disagree");
    if (!plausible_time(c.made, 0)) return Fail(VAQ_ERR_EXPORT_FORMAT, "export file dated out of bounds");
    if (uint64_t{headerEnd} + c.payloadBytes + kGcmTagBytes > fileBytes)
        return Fail(VAQ_ERR_EXPORT_FORMAT, "export file truncated");
    return Ok();
}

Common read_common(ByteView file) {
    Reader r(file.subspan(kNonceAt, kHeaderBytes - kNonceAt));
    Common c;
    c.nonce = r.bytes(kGcmNonceBytes);
    c.count = r.u32();
    c.payloadBytes = r.u32();
    c.made = r.i64();
    return c;
}

// Opens the payload after `headerEnd` under `key` (the header as associated
// data) and reads its records; nothing is answered unless all of it holds.
Status open_payload(ByteView file, size_t headerEnd, const Common &c, const uint8_t key[kKeyBytes],
                    const char *rejected, ExportContents &contents) {
    SecureBytes payload(c.payloadBytes);
    switch (gcm_open(key, c.nonce.data(), file.subspan(0, headerEnd),
                     file.subspan(headerEnd, c.payloadBytes + kGcmTagBytes), payload.data())) {
        case Opened::kYes:
            break;
        case Opened::kRejected:
            return Fail(VAQ_ERR_EXPORT_AUTH, rejected);
        case Opened::kFailed:
            return Fail(VAQ_ERR_CRYPTO, "export file could not be opened");
    }

    std::vector<ExportedKey> out;
    std::set<uint64_t> seen;
    Reader pr(payload.view());
    for (uint32_t i = 0; i < c.count; ++i) {
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
    contents.keys = std::move(out);
    contents.made = c.made;
    return Ok();
}

// The token kind's variable header, after the 64 fixed bytes.
struct TokenHeader {
    ByteView uri;
    ByteView sealedKey;
    size_t end = 0;
};

Status read_token_header(ByteView file, TokenHeader &h) {
    if (export_kind(file) != ExportKind::kTokenKey) return Fail(VAQ_ERR_EXPORT_FORMAT, "not a token-sealed export");
    Reader r(file.subspan(12, 20));
    uint16_t uriBytes = r.u16();
    uint16_t sealedBytes = r.u16();
    ByteView reserved = r.bytes(16);
    if (uriBytes == 0 || uriBytes > kMaxExportUriBytes || sealedBytes == 0 || sealedBytes > kMaxSealedExportKeyBytes ||
        std::any_of(reserved.begin(), reserved.end(), [](uint8_t b) { return b != 0; }))
        return Fail(VAQ_ERR_EXPORT_FORMAT, "export file header out of bounds");
    if (kHeaderBytes + uriBytes + sealedBytes > file.size())
        return Fail(VAQ_ERR_EXPORT_FORMAT, "export file truncated");
    h.uri = file.subspan(kHeaderBytes, uriBytes);
    h.sealedKey = file.subspan(kHeaderBytes + uriBytes, sealedBytes);
    h.end = kHeaderBytes + uriBytes + sealedBytes;
    // A URI is printable ASCII (RFC 7512 escapes everything else).
    if (std::any_of(h.uri.begin(), h.uri.end(), [](uint8_t b) { return b < 0x21 || b > 0x7e; }))
        return Fail(VAQ_ERR_EXPORT_FORMAT, "export file records a URI that is not printable");
    return Ok();
}

// What the sealed key is bound to: the file's magic, version and kind, and
// the URI it records. A sealed key moved into another file under another URI
// does not open; the rest of the header is bound by the payload's tag.
Bytes seal_context(ByteView uri) {
    Bytes context;
    Writer w(context);
    w.bytes({reinterpret_cast<const uint8_t *>(kMagic), sizeof kMagic});
    w.u16(kTokenVersion);
    w.u16(kKindTokenKey);
    w.bytes(uri);
    return context;
}

// The payload's key, from the 32 random bytes the token seals.
bool payload_key(const uint8_t secret[kKeyBytes], uint8_t key[kKeyBytes]) {
    static constexpr char kInfo[] = "token export v2";
    return hkdf_sha256({secret, kKeyBytes}, "hxbVaq export",
                       {reinterpret_cast<const uint8_t *>(kInfo), sizeof kInfo - 1}, key, kKeyBytes);
}

}  // namespace

ExportKind export_kind(ByteView file) {
    if (file.size() < kHeaderBytes + kGcmTagBytes || std::memcmp(file.data(), kMagic, sizeof kMagic) != 0)
        return ExportKind::kUnknown;
    Reader r(file.subspan(sizeof kMagic, 4));
    uint16_t version = r.u16();
    uint16_t kind = r.u16();
    if (version == kPasswordVersion && kind == kKdfPbkdf2Sha256) return ExportKind::kPassword;
    if (version == kTokenVersion && kind == kKindTokenKey) return ExportKind::kTokenKey;
    return ExportKind::kUnknown;
}

Status seal_export(const Host &host, const ExportContents &contents, ByteView password, uint32_t iterations,
                   Bytes &file) {
    const std::vector<ExportedKey> &keys = contents.keys;
    if (keys.size() > kMaxKeys) return Fail(VAQ_ERR_LIMIT, "too many master keys");
    SecureBytes payload = encode_payload(keys);
    uint8_t salt[kSaltBytes];
    uint8_t nonce[kGcmNonceBytes];
    Status st = host.entropy(salt, sizeof salt);
    if (st.ok()) st = host.entropy(nonce, sizeof nonce);
    if (!st.ok()) return st;

    file.clear();
    Writer w(file);
    w.bytes({reinterpret_cast<const uint8_t *>(kMagic), sizeof kMagic});
    w.u16(kPasswordVersion);
    w.u16(kKdfPbkdf2Sha256);
    w.u32(iterations);
    w.bytes({salt, sizeof salt});
    write_common(w, nonce, keys.size(), payload.size(), contents.made);

    SecretArray<kKeyBytes> key;
    if (!pbkdf2_sha256(password, {salt, sizeof salt}, iterations, key.data()))
        return Fail(VAQ_ERR_CRYPTO, "password key derivation failed");
    return append_sealed(key.data(), nonce, payload, file);
}

Status open_export(ByteView file, ByteView password, ExportContents &contents) {
    if (file.size() < kHeaderBytes + kGcmTagBytes) return Fail(VAQ_ERR_EXPORT_FORMAT, "not an export file: too short");
    Reader r(file);
    ByteView magic = r.bytes(sizeof kMagic);
    if (std::memcmp(magic.data(), kMagic, sizeof kMagic) != 0) return Fail(VAQ_ERR_EXPORT_FORMAT, "not an export file");
    uint16_t version = r.u16();
    uint16_t kdf = r.u16();
    uint32_t iterations = r.u32();
    ByteView salt = r.bytes(kSaltBytes);
    if (version != kPasswordVersion || kdf != kKdfPbkdf2Sha256)
        return Fail(VAQ_ERR_EXPORT_FORMAT, "export file of an unknown version");
    if (iterations < kMinExportIterations || iterations > kMaxExportIterations)
        return Fail(VAQ_ERR_EXPORT_FORMAT, "export file asks for a work factor out of bounds");
    Common c = read_common(file);
    Status st = check_bounds(c, kHeaderBytes, file.size());
    if (!st.ok()) return st;

    SecretArray<kKeyBytes> key;
    if (!pbkdf2_sha256(password, salt, iterations, key.data()))
        return Fail(VAQ_ERR_CRYPTO, "password key derivation failed");
    return open_payload(file, kHeaderBytes, c, key.data(), "wrong password, or the export file was altered", contents);
}

Status seal_token_export(const Host &host, const ExportContents &contents, TokenKey &key, Bytes &file) {
    const std::vector<ExportedKey> &keys = contents.keys;
    if (keys.size() > kMaxKeys) return Fail(VAQ_ERR_LIMIT, "too many master keys");
    const std::string &uri = key.uri().text;
    if (uri.empty() || uri.size() > kMaxExportUriBytes)
        return Fail(VAQ_ERR_BAD_ARG, "the token key's URI is empty or longer than an export records");
    ByteView uriBytes{reinterpret_cast<const uint8_t *>(uri.data()), uri.size()};
    SecureBytes payload = encode_payload(keys);
    SecretArray<kKeyBytes> secret;
    uint8_t nonce[kGcmNonceBytes];
    Status st = host.entropy(secret.data(), kKeyBytes);
    if (st.ok()) st = host.entropy(nonce, sizeof nonce);
    if (!st.ok()) return st;
    Bytes sealed;
    st = key.seal(secret.data(), seal_context(uriBytes), sealed);
    if (!st.ok()) return Fail(VAQ_ERR_EXPORT_KEY_UNREACHABLE, reason("the token key did not seal: %s", st.why));
    if (sealed.empty() || sealed.size() > kMaxSealedExportKeyBytes)
        return Fail(VAQ_ERR_EXPORT_KEY_UNREACHABLE, "the token key sealed to a length an export cannot record");

    file.clear();
    Writer w(file);
    w.bytes({reinterpret_cast<const uint8_t *>(kMagic), sizeof kMagic});
    w.u16(kTokenVersion);
    w.u16(kKindTokenKey);
    w.u16(static_cast<uint16_t>(uriBytes.size()));
    w.u16(static_cast<uint16_t>(sealed.size()));
    w.zeros(kNonceAt - w.size());
    write_common(w, nonce, keys.size(), payload.size(), contents.made);
    w.bytes(uriBytes);
    w.bytes(sealed);

    SecretArray<kKeyBytes> fileKey;
    if (!payload_key(secret.data(), fileKey.data())) return Fail(VAQ_ERR_CRYPTO, "export key derivation failed");
    return append_sealed(fileKey.data(), nonce, payload, file);
}

Status token_export_uri(ByteView file, std::string &uri) {
    TokenHeader h;
    Status st = read_token_header(file, h);
    if (!st.ok()) return st;
    uri.assign(h.uri.begin(), h.uri.end());
    return Ok();
}

Status open_token_export(ByteView file, TokenKey &key, ExportContents &contents) {
    TokenHeader h;
    Status st = read_token_header(file, h);
    if (!st.ok()) return st;
    Common c = read_common(file);
    st = check_bounds(c, h.end, file.size());
    if (!st.ok()) return st;

    SecretArray<kKeyBytes> secret;
    Status why;
    switch (key.unseal(h.sealedKey, seal_context(h.uri), secret.data(), why)) {
        case Unsealed::kYes:
            break;
        case Unsealed::kForeign:
            return Fail(VAQ_ERR_EXPORT_KEY_UNREACHABLE,
                        "unsealing the export file's key failed: it is sealed under another token key than the one "
                        "its URI names here (or the file was altered)");
        case Unsealed::kDamaged:
            return Fail(VAQ_ERR_EXPORT_AUTH, "the export file was altered: its sealed key is not a token's seal");
        case Unsealed::kFailed:
            return Fail(VAQ_ERR_EXPORT_KEY_UNREACHABLE, reason("the token could not be asked: %s", why.why));
    }
    SecretArray<kKeyBytes> fileKey;
    if (!payload_key(secret.data(), fileKey.data())) return Fail(VAQ_ERR_CRYPTO, "export key derivation failed");
    return open_payload(file, h.end, c, fileKey.data(), "the export file was altered", contents);
}

}  // namespace vaq
