// SPDX-License-Identifier: Apache-2.0
// Moving master keys between keystores through an export file, sealed with a
// password or to a token key, and joining a node to the fleet an export comes
// from.
#include <algorithm>
#include <cstring>

#include "vaq/vaq_private.h"

#include "arrival.h"
#include "audited.h"
#include "export.h"
#include "export_file.h"
#include "protector.h"
#include "token_key.h"

using namespace vaq;

namespace {

Status check_password(const unsigned char *password, uint32_t passwordLen) {
    if (password == nullptr) return Fail(VAQ_ERR_NULL_ARG, "the password is null");
    if (passwordLen == 0 || passwordLen > kMaxPasswordBytes)
        return Fail(VAQ_ERR_BAD_LENGTH, "password must be 1 to 1024 bytes");
    return Ok();
}

Status check_file(const char *file) {
    if (file == nullptr) return Fail(VAQ_ERR_NULL_ARG, "the file name is null");
    size_t len = strnlen(file, 1024);
    if (len == 0 || len == 1024) return Fail(VAQ_ERR_BAD_ARG, "the file name is empty or too long");
    return Ok();
}

// Removes a file this call made unless the call keeps it.
class RemoveUnlessKept {
public:
    RemoveUnlessKept(const Host &host, const char *file) : host_(host), file_(file) {}
    ~RemoveUnlessKept() {
        if (!kept_ && host_.table().fremove_fn) host_.table().fremove_fn(file_);
    }
    RemoveUnlessKept(const RemoveUnlessKept &) = delete;
    RemoveUnlessKept &operator=(const RemoveUnlessKept &) = delete;
    void keep() { kept_ = true; }

private:
    const Host &host_;
    const char *file_;
    bool kept_ = false;
};

// The keys of the loaded keystore, as an export holds them. Keys another
// process added since our load belong in the file too; if the disk cannot be
// read, what memory holds is still worth exporting.
ExportContents keys_to_export(State &s) {
    Status fresh = s.refresh();
    if (!fresh.ok()) VAQ_KLOG(LogLevel::kWarn, "exporting the keys in memory; keystore not re-read: %s\n", fresh.why);
    ExportContents contents;
    contents.made = now_seconds();
    std::vector<ExportedKey> &keys = contents.keys;
    keys.reserve(s.keystore.keys.size());
    for (const auto &k : s.keystore.keys) {
        ExportedKey e;
        e.domain = k.domain;
        e.id = k.id;
        e.origin = k.origin;
        e.active = k.active;
        e.created = k.created;
        e.lifeDays = k.lifeDays;
        e.material = SecureBytes(k.material.view());
        keys.push_back(std::move(e));
    }
    return contents;
}

// Publishes a sealed export image at `file`. Created exclusively: an existing
// file, or a link planted at the path, is never written through; the caller
// removes an old export. Once created, the file is this call's: whatever
// fails from then on, an allocation included, nothing half-made stays behind
// to be taken for an export.
Status publish_export(State &s, const char *file, const Bytes &image) {
    RemoveUnlessKept created(s.host, file);
    Status st = s.host.write_file(file, image, VAQ_FILE_CREATE);
    if (st.code == VAQ_ERR_FILE_EXISTS || st.code == VAQ_ERR_UNSAFE_FILE) {
        created.keep();
        return Fail(st.code, "export file exists already; nothing written");
    }
    if (!st.ok()) return Fail(st.code, "export file could not be written");
    created.keep();
    return Ok();
}

// The token key a URI names, or why this node cannot use it.
Status open_token_key(State &s, const std::string &uri, std::shared_ptr<TokenKey> &key) {
    Status st = TokenKey::open(s.host, uri, key);
    if (!st.ok() || key == nullptr)
        return Fail(VAQ_ERR_EXPORT_KEY_UNREACHABLE,
                    reason("this node cannot use the token key %.160s: %s", uri.c_str(), st.ok() ? "none" : st.why));
    return Ok();
}

}  // namespace

HXB_EXPORT unsigned long VaqExportMkFileEx(const char *file, const unsigned char *password, uint32_t passwordLen,
                                           uint32_t workFactor) {
    CallName call("VaqExportMkFileEx", "%.256s", file ? file : "null");
    auto event = [&] { return export_event(file, "sealed with a password"); };
    return with_audit(call.c_str(), event, [&](State &s) -> Status {
        Status st = check_file(file);
        if (st.ok()) st = check_password(password, passwordLen);
        if (!st.ok()) return st;
        if (workFactor > kMaxExportIterations) return Fail(VAQ_ERR_BAD_ARG, "work factor above what an import accepts");
        uint32_t iterations = workFactor > kMinExportIterations ? workFactor : kMinExportIterations;

        ExportContents contents = keys_to_export(s);
        Bytes image;
        st = seal_export(s.host, contents, {password, passwordLen}, iterations, image);
        if (st.ok()) st = publish_export(s, file, image);
        if (st.ok()) VAQ_KLOG(LogLevel::kInfo, "%zu master keys exported\n", contents.keys.size());
        return st;
    });
}

HXB_EXPORT uint32_t VaqPrivExportMkFileToken(const char *file, const char *uri) {
    CallName call("VaqPrivExportMkFileToken", "%.256s", file ? file : "null");
    auto event = [&] { return export_event(file, "sealed to a token key"); };
    return static_cast<uint32_t>(with_audit(call.c_str(), event, [&](State &s) -> Status {
        Status st = check_file(file);
        if (!st.ok()) return st;
        if (uri == nullptr) return Fail(VAQ_ERR_NULL_ARG, "the token key's URI is null");
        TokenUri parsed;
        st = parse_token_uri(uri, parsed);
        if (!st.ok()) return st;
        if (!pin_source_is_a_pin(parsed))
            return Fail(VAQ_ERR_BAD_ARG, reason("pkcs11: the key's URI is refused: %s", kExportPinRule));
        // The token is asked before anything is written: a node that cannot
        // use the key leaves no file behind.
        std::shared_ptr<TokenKey> key;
        st = open_token_key(s, uri, key);
        if (!st.ok()) return st;
        ExportContents contents = keys_to_export(s);
        Bytes image;
        st = seal_token_export(s.host, contents, *key, image);
        if (st.ok()) st = publish_export(s, file, image);
        if (st.ok())
            VAQ_KLOG(LogLevel::kInfo, "%zu master keys exported, sealed to the token key %.300s\n", contents.keys.size(),
                     key->uri().text.c_str());
        return st;
    }));
}

namespace {

// Opens a file sealed to a token key, through the key its URI names.
Status open_sealed_to_token(State &s, ByteView file, ExportContents &contents) {
    std::string uri;
    Status st = token_export_uri(file, uri);
    if (!st.ok()) return st;
    TokenUri parsed;
    if (!parse_token_uri(uri, parsed).ok())
        return Fail(VAQ_ERR_EXPORT_FORMAT, "export file records a token key URI that does not parse");
    if (!pin_source_is_a_pin(parsed))
        return Fail(VAQ_ERR_EXPORT_KEY_UNREACHABLE,
                    reason("the export file names a PIN source that is no PIN file (NAME.pin), which is never "
                           "read for an export: %.200s",
                           parsed.pinSource.c_str()));
    std::shared_ptr<TokenKey> key;
    st = open_token_key(s, uri, key);
    if (!st.ok()) return st;
    return open_token_export(file, *key, contents);
}

// Reads and opens an export file: the keys it holds, verified whole. A file
// sealed to a token key needs no password, and one given is not used; for
// any other file the password is judged as it always was, first.
Status read_export(State &s, const char *file, const unsigned char *password, uint32_t passwordLen,
                   ExportContents &contents) {
    Status st = check_file(file);
    if (!st.ok()) return st;
    Status passwordOk = check_password(password, passwordLen);
    FileContent content = s.host.read_file(file);
    if (content.state == FileState::kRead && export_kind(content.bytes) == ExportKind::kTokenKey)
        return open_sealed_to_token(s, content.bytes, contents);
    // Without a password the file may be one sealed to a token key, which
    // needs none: a file that was not read is answered for what it is.
    const bool noPassword = password == nullptr || passwordLen == 0;
    if (!passwordOk.ok() && !(noPassword && content.state != FileState::kRead)) return passwordOk;
    if (content.state == FileState::kUnsafe)
        return Fail(VAQ_ERR_UNSAFE_FILE, "export file not used: a link, not regular, or another user's");
    if (content.state == FileState::kMissing || content.state == FileState::kUnreadable)
        return Fail(VAQ_ERR_IO, "export file could not be read");
    if (content.state != FileState::kRead) return Fail(VAQ_ERR_EXPORT_FORMAT, "not an export file: empty or too large");
    return open_export(content.bytes, {password, passwordLen}, contents);
}

// Takes an export file into the keystore under `rules`, as one change.
Status arrive(State &s, const char *file, const unsigned char *password, uint32_t passwordLen,
              const ArrivalRules &rules, ArrivalOutcome &outcome, int64_t &made) {
    ExportContents contents;
    Status st = read_export(s, file, password, passwordLen, contents);
    if (!st.ok()) return st;
    made = contents.made;
    const auto hasDomain = [&s](uint32_t id) { return s.find_domain(id) != nullptr; };
    return s.change([&](Keystore &next, bool &changed) -> Status {
        return take_arrival(s.host, next, contents, rules, hasDomain, now_seconds(), outcome, changed);
    });
}

}  // namespace

HXB_EXPORT unsigned long VaqImportMkFileEx(const char *file, const unsigned char *password, uint32_t passwordLen) {
    CallName call("VaqImportMkFileEx", "%.256s", file ? file : "null");
    auto event = [&] { return AuditEvent{.op = "import", .file = file ? file : ""}; };
    return with_audit(call.c_str(), event, [&](State &s) -> Status {
        ArrivalOutcome outcome;
        int64_t made = 0;
        Status st = arrive(s, file, password, passwordLen, ArrivalRules{}, outcome, made);
        if (st.ok()) VAQ_KLOG(LogLevel::kInfo, "%zu master keys imported\n", outcome.keysAdded);
        return st;
    });
}

HXB_EXPORT uint32_t VaqPrivArriveMkFile(uint32_t how, const char *file, const unsigned char *password,
                                        uint32_t passwordLen, const VaqPrivArrivalRules *rules,
                                        VaqPrivArrivalReport *report) {
    CallName call("VaqPrivArriveMkFile", "%s %.256s", how == VAQ_PRIV_ARRIVE_JOIN ? "join" : "import",
                  file ? file : "null");
    auto event = [&] { return arrival_event(how, file, rules); };
    return static_cast<uint32_t>(with_audit(call.c_str(), event, [&](State &s) -> Status {
        if (report == nullptr) return Fail(VAQ_ERR_NULL_ARG, "the report is null");
        if (how != VAQ_PRIV_ARRIVE_IMPORT && how != VAQ_PRIV_ARRIVE_JOIN) return Fail(VAQ_ERR_BAD_ARG, "unknown mode");
        if (report->notes == nullptr && report->capacity != 0) return Fail(VAQ_ERR_NULL_ARG, "the notes are null");
        if (rules != nullptr && rules->restore == nullptr && rules->restoreCount != 0)
            return Fail(VAQ_ERR_NULL_ARG, "the keys to restore are null");
        report->noteCount = report->marked = 0;
        report->made = 0;
        report->refusal[0] = '\0';
        ArrivalRules taken;
        taken.join = how == VAQ_PRIV_ARRIVE_JOIN;
        if (rules != nullptr) {
            taken.allowOlder = rules->allowOlder != 0;
            taken.restore.assign(rules->restore, rules->restore + rules->restoreCount);
        }
        ArrivalOutcome outcome;
        Status st = arrive(s, file, password, passwordLen, taken, outcome, report->made);
        report->noteCount = static_cast<uint32_t>(outcome.notes.size());
        std::copy_n(outcome.notes.begin(), std::min<size_t>(outcome.notes.size(), report->capacity), report->notes);
        report->marked = outcome.marked;
        std::snprintf(report->refusal, sizeof report->refusal, "%s", outcome.refusal.c_str());
        if (st.ok() && taken.join)
            VAQ_KLOG(LogLevel::kInfo, "joined from an export: %zu master keys added, %zu domains switched\n",
                     outcome.keysAdded, outcome.switched);
        else if (st.ok())
            VAQ_KLOG(LogLevel::kInfo, "%zu master keys imported\n", outcome.keysAdded);
        return st;
    }));
}

HXB_EXPORT uint32_t VaqPrivJoinMkFile(const char *file, const unsigned char *password, uint32_t passwordLen,
                                      uint32_t *added, uint32_t *activated, uint32_t *marked) {
    CallName call("VaqPrivJoinMkFile", "%.256s", file ? file : "null");
    auto event = [&] { return AuditEvent{.op = "join", .file = file ? file : ""}; };
    return static_cast<uint32_t>(with_audit(call.c_str(), event, [&](State &s) -> Status {
        if (added == nullptr || activated == nullptr || marked == nullptr)
            return Fail(VAQ_ERR_NULL_ARG, "an output pointer is null");
        *added = *activated = *marked = 0;
        ArrivalRules rules;
        rules.join = true;
        ArrivalOutcome outcome;
        int64_t made = 0;
        Status st = arrive(s, file, password, passwordLen, rules, outcome, made);
        *marked = outcome.marked;
        if (!st.ok()) return st;
        *added = static_cast<uint32_t>(outcome.keysAdded);
        *activated = static_cast<uint32_t>(outcome.switched);
        VAQ_KLOG(LogLevel::kInfo, "joined from an export: %zu master keys added, %zu domains switched\n",
                 outcome.keysAdded, outcome.switched);
        return Ok();
    }));
}
