// SPDX-License-Identifier: Apache-2.0
#include "state.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <unordered_map>
#include <unordered_set>

#include "log.h"

namespace vaq {

std::atomic<State *> g_state{nullptr};
std::optional<VaqHostServices> g_registered;
std::atomic<uint64_t> g_key_epoch{0};
std::atomic<void (*)(void)> g_unload_hook{nullptr};
std::atomic<void (*)(void)> g_usage_hook{nullptr};

namespace {

constexpr size_t kMaxPathBytes = 1024;

Status copy_path(const char *path, std::string &out) {
    if (path == nullptr) return Fail(VAQ_ERR_NULL_ARG, "a keystore path is null");
    size_t len = strnlen(path, kMaxPathBytes);
    if (len == 0 || len == kMaxPathBytes) return Fail(VAQ_ERR_BAD_ARG, "a keystore path is empty or too long");
    out.assign(path, len);
    return Ok();
}

}  // namespace

Status State::create(const VaqHostServices &table, const HX_VAQ_KEYSTORE_FILES &files, std::unique_ptr<State> &out) {
    std::unique_ptr<State> s(new State(table));
    Status st = copy_path(files.primary, s->paths[0]);
    if (st.ok()) st = copy_path(files.standby, s->paths[1]);
    if (!st.ok()) return st;
    s->protectors = std::make_unique<Protectors>(s->host, s->paths[0]);
    s->audit = std::make_unique<AuditTrail>(s->host, s->paths[0]);
    if (!s->host.create_lock(&s->lock)) {
        s->lock = nullptr;
        return Fail(VAQ_ERR_INTERNAL, "the host could not create a thread lock");
    }
    if (!s->host.create_lock(&s->indexLock_)) {
        s->indexLock_ = nullptr;
        return Fail(VAQ_ERR_INTERNAL, "the host could not create a thread lock");
    }
    if (!s->host.create_process_lock(&s->processLock_)) {
        s->processLock_ = nullptr;
        return Fail(VAQ_ERR_INTERNAL, "the host could not create the process lock");
    }
    out = std::move(s);
    return Ok();
}

State::~State() {
    index_.reset();
    keystore = Keystore{};
    protectors.reset();
    if (processLock_) host.destroy_process_lock(processLock_);
    if (indexLock_) host.destroy_lock(indexLock_);
    if (lock) host.destroy_lock(lock);
}

Domain *State::find_domain(uint32_t id) {
    for (auto &d : domains)
        if (d.record.domainId == id) return &d;
    return nullptr;
}

std::unique_ptr<KeyIndex> State::index_of(const Keystore &ks) const { return std::make_unique<KeyIndex>(ks); }

void State::install(std::unique_ptr<KeyIndex> idx) noexcept {
    idx->epoch = g_key_epoch.load(std::memory_order_relaxed) + 1;
    uint64_t epoch = idx->epoch;
    {
        ThreadLockGuard g(host, indexLock_);
        index_.swap(idx);
    }
    g_key_epoch.store(epoch, std::memory_order_release);
}

void State::unpublish() {
    std::unique_ptr<KeyIndex> old;
    {
        ThreadLockGuard g(host, indexLock_);
        index_.swap(old);
    }
    g_key_epoch.fetch_add(1, std::memory_order_acq_rel);
}

namespace {

// The working key of the material found under the index lock, derived after
// the lock is released: an encryption on another thread never waits for it.
uint32_t derive_found(uint32_t domain, uint32_t id, const SecretArray<kMaxMaterialBytes> &material, size_t length,
                      uint8_t *out) {
    return derive_working_key(domain, id, ByteView(material.data(), length), out) ? VAQ_OK : VAQ_ERR_CRYPTO;
}

}  // namespace

uint32_t State::working_key(uint32_t domain, uint32_t id, uint8_t *out, uint64_t *epoch) const {
    SecretArray<kMaxMaterialBytes> material;
    size_t length = 0;
    {
        ThreadLockGuard g(host, indexLock_);
        if (!index_) return VAQ_ERR_NOT_INITIALIZED;
        *epoch = index_->epoch;
        const ByteView found = index_->material(domain, id);
        if (found.empty()) return VAQ_ERR_UNKNOWN_KEY;
        length = found.size();
        std::memcpy(material.data(), found.data(), length);
    }
    return derive_found(domain, id, material, length, out);
}

uint32_t State::active_key(uint32_t domain, uint32_t *id, uint8_t *out, uint64_t *epoch) const {
    SecretArray<kMaxMaterialBytes> material;
    size_t length = 0;
    uint32_t activeId = 0;
    {
        ThreadLockGuard g(host, indexLock_);
        if (!index_) return VAQ_ERR_NOT_INITIALIZED;
        *epoch = index_->epoch;
        if (!index_->active(domain, &activeId)) return VAQ_ERR_UNKNOWN_KEY;
        const ByteView found = index_->material(domain, activeId);
        if (found.empty()) return VAQ_ERR_UNKNOWN_KEY;
        length = found.size();
        std::memcpy(material.data(), found.data(), length);
    }
    const uint32_t code = derive_found(domain, activeId, material, length, out);
    if (code == VAQ_OK) *id = activeId;
    return code;
}

namespace {

// Why a copy that the load passes over was not used, for its line: a copy
// the protector could not open is not a damaged one.
std::string why_not_loaded(const KeystorePair &pair, int i) {
    const KeystoreCopy &c = pair.copies[i];
    if (c.unsafe) return "is not safe to use";
    if (c.state == CopyState::kCorrupt) return "fails verification";
    if (!pair.protectorFailure.ok()) return std::string("cannot be opened (") + pair.protectorFailure.why + ")";
    return "cannot be read";
}

}  // namespace

Status State::load() {
    ProcessLockGuard pl(host, processLock_);
    if (!pl.held()) return pl.status();
    KeystorePair pair = read_pair(host, paths, *protectors);
    note_findings(pair);
    if (pair.has_newer_format()) return pair.unusable_status();
    if (!pair.has_valid()) {
        if (pair.has_unusable_data()) return pair.unusable_status();
        if (Status c = pair.confirm_missing(host, paths); !c.ok()) return c;
        if (inspect_only())
            return Fail(VAQ_ERR_IO, "no keystore yet (both copies missing or empty); none is made while inspecting");
        Keystore ks;
        ks.generation = 1;
        ks.root.created = now_seconds();
        ks.protector = ProtectorKind::kFile;
        Status s = host.entropy(ks.root.material.data(), kKeyBytes);
        // The node secret is on disk before any keystore refers to it.
        if (s.ok()) s = protectors->seal(ks.protector, {}, ks.root.material.view(), ks.sealedRoot);
        Bytes image;
        WipeOnExit wipe(image);
        if (s.ok()) s = serialize(ks, image);
        if (!s.ok()) return s;
        std::unique_ptr<KeyIndex> idx = index_of(ks);
        // A keystore made anew where the role's audit is set up (its copies
        // gone) is a change like any other: recorded first, or not made.
        if (audit->set_up()) {
            const AuditEvent made{.op = "create-keystore", .file = paths[0], .detail = "both copies missing or empty"};
            if (Status a = audit->append(made, 0); !a.ok()) return a;
        }
        // A primary written whole whose sync failed may be on disk: the
        // standby is written all the same, and once it is confirmed the
        // keystore is made; with neither confirmed the answer says it may be.
        const Status primary = host.write_file(paths[0], image);
        if (!primary.ok() && primary.code != VAQ_ERR_UNCONFIRMED) return primary;
        const Status standby = host.write_file(paths[1], image);
        if (!primary.ok() && !standby.ok()) return primary;
        if (!primary.ok())
            VAQ_KLOG(LogLevel::kError,
                     "primary keystore copy written but its sync failed; the standby holds the new keystore and "
                     "the next load repairs the primary\n");
        if (!standby.ok()) VAQ_KLOG(LogLevel::kError, "standby keystore copy not written; the next load repairs it\n");
        VAQ_KLOG(LogLevel::kInfo, "new keystore created\n");
        g_load_findings.created = true;
        keystore = std::move(ks);
        install(std::move(idx));
        return Ok();
    }
    for (int i = 0; i < 2; ++i)
        if (pair.needs_repair(i) && pair.copies[i].unopened)
            // The protector failed once (the secret could not be read): the
            // copy is not known to be damaged, and the line says what happened.
            VAQ_KLOG(LogLevel::kError,
                     "%s keystore copy could not be opened by its root protector (%s); loading the %s copy\n",
                     copy_name(i), pair.protectorFailure.why, copy_name(pair.best));
        else if (pair.needs_repair(i) &&
                 (pair.copies[i].state == CopyState::kCorrupt || pair.copies[i].state == CopyState::kUnreadable))
            // Damage is worth an operator's attention even when the other copy
            // covers it, so it is logged as an error.
            VAQ_KLOG(LogLevel::kError, "%s keystore copy %s; loading the %s copy\n", copy_name(i),
                     why_not_loaded(pair, i).c_str(), copy_name(pair.best));
        else if (pair.needs_repair(i) && pair.copies[i].state == CopyState::kForeign)
            // Someone who could write the keystore directory, or a restore
            // gone wrong: never taken, whatever its generation.
            VAQ_KLOG(LogLevel::kError, "%s keystore copy is not this node's (%s); loading the %s copy\n", copy_name(i),
                     pair.foreign.why, copy_name(pair.best));
    std::unique_ptr<KeyIndex> idx = index_of(pair.copies[pair.best].keystore);
    keystore = std::move(pair.copies[pair.best].keystore);
    install(std::move(idx));
    // A power cut between a move's first protected copy and the end of the
    // move leaves its mark, which would let unprotected copies back in.
    if (keystore.protector != ProtectorKind::kNone && !inspect_only()) protectors->marks().finish_move_left_behind();
    Status r = repair_pair(host, paths, pair, kVaqModule);
    if (!r.ok()) VAQ_KLOG(LogLevel::kError, "keystore copy not repaired: %s\n", r.why);
    return Ok();
}

Status State::sync(bool &merged, uint64_t &diskGeneration, std::array<uint64_t, 2> &fileBytes) {
    merged = false;
    KeystorePair pair = read_pair(host, paths, *protectors);
    diskGeneration = pair.best_generation();
    for (int i = 0; i < 2; ++i) {
        fileBytes[i] = pair.copies[i].fileBytes;
        // The repair below may lengthen the copy.
        if (pair.needs_repair(i)) fileBytes[i] = std::max<uint64_t>(fileBytes[i], pair.copies[pair.best].image.size());
    }
    if (pair.has_newer_format()) return pair.unusable_status();
    if (pair.has_unreadable()) {
        if (!pair.protectorFailure.ok()) return pair.protectorFailure;
        return pair.unreadable_status();
    }
    if (!pair.has_valid()) {
        if (pair.has_unusable_data()) return pair.unusable_status();
        if (Status c = pair.confirm_missing(host, paths); !c.ok()) return c;
        // Both copies gone: memory is the only copy left, and the change
        // that follows writes it back.
        merged = true;
        return Ok();
    }
    Keystore &disk = pair.copies[pair.best].keystore;
    // Memory takes in the disk whole or not at all: a failure part-way must not
    // leave keys in memory that the key index lacks.
    if (disk.generation > keystore.generation) {
        std::unique_ptr<KeyIndex> idx = index_of(disk);
        keystore = std::move(disk);
        install(std::move(idx));
    } else {
        // Not newer: normally the very keystore memory holds. Copies restored
        // or made anew behind our back may hold keys memory lacks; every key
        // either side holds is kept.
        // A key deleted here stays deleted: a copy restored from before the
        // deletion does not bring it back.
        std::unordered_set<uint64_t> held;
        for (const auto &k : keystore.keys) held.insert(key_slot(k.domain, k.id));
        std::vector<MasterKey> extra;
        for (auto &k : disk.keys) {
            if (held.count(key_slot(k.domain, k.id)) || keystore.history.retired_key(k.domain, k.id)) continue;
            MasterKey copy = k;
            copy.active = false;
            Status s = wrap_key(host, keystore.root, copy);
            if (!s.ok()) return s;
            extra.push_back(std::move(copy));
        }
        KeyHistory history = keystore.history;
        history.merge(disk.history);
        for (const auto &k : keystore.keys) history.forget(k.domain, k.id);
        const bool historyGrew = !(history == keystore.history);
        if (!extra.empty() || historyGrew) {
            Keystore grown = keystore;
            grown.history = std::move(history);
            for (auto &k : extra) grown.keys.push_back(std::move(k));
            std::unique_ptr<KeyIndex> idx = index_of(grown);
            keystore = std::move(grown);
            install(std::move(idx));
            merged = true;
        }
    }
    return repair_pair(host, paths, pair, kVaqModule);
}

Status State::refresh() {
    ProcessLockGuard pl(host, processLock_);
    if (!pl.held()) return pl.status();
    bool merged = false;
    uint64_t diskGeneration = 0;
    std::array<uint64_t, 2> fileBytes{};
    return sync(merged, diskGeneration, fileBytes);
}

Status State::change(const Mutation &mutate, const Done &done) {
    ProcessLockGuard pl(host, processLock_);
    if (!pl.held()) return pl.status();
    bool merged = false;
    uint64_t diskGeneration = 0;
    std::array<uint64_t, 2> fileBytes{};
    Status s = sync(merged, diskGeneration, fileBytes);
    if (!s.ok()) return s;
    Keystore next = keystore;
    bool changed = false;
    s = mutate(next, changed);
    if (!s.ok()) return s;
    if (!changed && !merged) {
        // Asked for and found done already: still who asked, and when.
        if (auditing && auditing->recordUnchanged && !inspect_only()) {
            s = record_change(keystore, nullptr, 0);
            if (!s.ok()) return s;
        }
        // The sync brought both copies up to date.
        if (done) done(true);
        return Ok();
    }
    if (inspect_only()) {
        // Looked at, not written: memory stays as the disk has it.
        g_load_findings.changeWithheld = true;
        return Ok();
    }
    // Recorded before anything is written: a change the trail cannot hold
    // is not made.
    s = record_change(keystore, &next, 0);
    if (!s.ok()) return s;
    next.generation = std::max(keystore.generation, diskGeneration) + 1;
    Bytes image;
    WipeOnExit wipe(image);
    s = serialize(next, image);
    if (!s.ok()) return s;
    // Whatever can fail comes before the primary is written: from then on the
    // change is made and is answered as made.
    std::unique_ptr<KeyIndex> idx = index_of(next);
    s = write_copy(host, paths[0], image, fileBytes[0]);
    if (!s.ok()) {
        // The record above said the change was being made; this one says it
        // was not.
        if (auditing != nullptr && auditing->recorded) {
            AuditEvent failed = *auditing;
            failed.detail = failed.detail.empty() ? "keystore not written" : failed.detail + "; keystore not written";
            if (Status a = audit->append(failed, s.code); !a.ok())
                VAQ_KLOG(LogLevel::kError, "audit record of a failed change not written: %s\n", a.why);
        }
        return s;
    }
    keystore = std::move(next);
    install(std::move(idx));
    bool standby = false;
    try {
        standby = write_copy(host, paths[1], image, fileBytes[1]).ok();
    } catch (const std::bad_alloc &) {}
    if (!standby) VAQ_KLOG(LogLevel::kError, "standby keystore copy not written; the next load repairs it\n");
    if (done) done(standby);
    return Ok();
}

Status State::reseal(Keystore &next) {
    if (next.protector == ProtectorKind::kNone) return Ok();
    RootProtector *p = protectors->get(next.protector);
    if (p == nullptr) return Fail(VAQ_ERR_INTERNAL, "the keystore's protector is unknown");
    ProtectorOptions options = p->options_of(next.sealedRoot);
    return protectors->seal(next.protector, options, next.root.material.view(), next.sealedRoot);
}

Status State::renew_root(Keystore &next, ByteView extra) const {
    if (next.root.version == UINT16_MAX) return Fail(VAQ_ERR_LIMIT, "the root key cannot be renewed again");
    RootKey root = next.root;
    Status st = host.entropy(root.material.data(), kKeyBytes);
    if (!st.ok()) return st;
    if (!extra.empty()) {
        // Caller entropy is mixed in, never used on its own.
        SecureBytes joined(kKeyBytes + extra.size());
        std::memcpy(joined.data(), root.material.data(), kKeyBytes);
        std::memcpy(joined.data() + kKeyBytes, extra.data(), extra.size());
        if (!hkdf_sha256(joined.view(), "hxbVaq root update", {}, root.material.data(), kKeyBytes))
            return Fail(VAQ_ERR_CRYPTO, "root derivation failed");
    }
    root.version = static_cast<uint16_t>(next.root.version + 1);
    root.created = now_seconds();
    next.root = root;
    for (auto &k : next.keys) {
        st = wrap_key(host, next.root, k);
        if (!st.ok()) return st;
    }
    return Ok();
}

Status State::protect(ProtectorKind kind, const ProtectorOptions &options) {
    const ProtectionMarks &marks = protectors->marks();
    return change(
        [&](Keystore &next, bool &changed) -> Status {
            const ProtectorKind from = next.protector;
            RootProtector *now = protectors->get(from);
            if (from == kind && now != nullptr) {
                const ProtectorOptions was = now->options_of(next.sealedRoot);
                if (was.pcrMask == options.pcrMask && was.keyUri == options.keyUri) return Ok();
            }
            Status s = Ok();
            // Until the first protected copy is on disk, the unprotected
            // copies stay the keystore, even beside the new node secret.
            if (from == ProtectorKind::kNone) s = marks.begin_move();
            // A secret left from before (by a move away from `file` whose
            // removal failed, or a move cut short) may have sealed copies
            // someone kept: the move seals under a secret no copy knows.
            if (s.ok() && kind == ProtectorKind::kFile && from != ProtectorKind::kFile) s = marks.remove_secret();
            if (s.ok()) s = renew_root(next, {});
            if (s.ok()) s = protectors->seal(kind, options, next.root.material.view(), next.sealedRoot);
            if (!s.ok()) return s;
            if (auditing != nullptr)
                auditing->detail = std::string("from ") + protector_name(from) + " to " + protector_name(kind);
            VAQ_KLOG(LogLevel::kInfo,
                     "keystore moving from the %s protector to the %s protector with a new root key (version %u), "
                     "%zu master keys rewrapped\n",
                     protector_name(from), protector_name(kind), static_cast<unsigned>(next.root.version),
                     next.keys.size());
            next.protector = kind;
            changed = true;
            return Ok();
        },
        [&](bool bothCopies) {
            if (keystore.protector != kind) return;
            marks.finish_move();
            // The secret goes only once neither copy is sealed by it, and
            // once the mark keeps unprotected copies out without it.
            if (kind != ProtectorKind::kFile && bothCopies && marks.protected_mark()) marks.remove_secret();
        });
}

Status State::generate_key(Keystore &ks, uint32_t domain, uint32_t lifeDays, uint32_t *newId) const {
    if (ks.keys.size() >= kMaxKeys) return Fail(VAQ_ERR_LIMIT, "the keystore holds the most keys it can");
    MasterKey key;
    key.domain = domain;
    key.origin = kGenerated;
    key.lifeDays = lifeDays;
    key.created = now_seconds();
    for (int attempt = 0; key.id == 0; ++attempt) {
        if (attempt == 64) return Fail(VAQ_ERR_ENTROPY, "no unused key id found");
        uint8_t raw[4];
        Status s = host.entropy(raw, sizeof raw);
        if (!s.ok()) return s;
        uint32_t id = uint32_t{raw[0]} | uint32_t{raw[1]} << 8 | uint32_t{raw[2]} << 16 | uint32_t{raw[3]} << 24;
        // Nor an id deleted here: an export holding the old key would then
        // conflict with the new one instead of being told it was deleted.
        if (id != 0 && ks.find(domain, id) == nullptr && ks.history.retired_key(domain, id) == nullptr) key.id = id;
    }
    SecretArray<kGeneratedMaterialBytes> fresh;
    Status s = host.entropy(fresh.data(), fresh.size());
    if (s.ok()) {
        key.material = material_copy(fresh.view());
        s = wrap_key(host, ks.root, key);
    }
    if (!s.ok()) return s;
    if (MasterKey *previous = ks.active_of(domain)) previous->active = false;
    key.active = true;
    *newId = key.id;
    ks.keys.push_back(std::move(key));
    return Ok();
}

namespace {

std::string id_list(const std::vector<uint32_t> &ids) {
    std::string out;
    for (uint32_t id : ids) out += (out.empty() ? "" : ",") + std::to_string(id);
    return out;
}

}  // namespace

Status State::record_change(const Keystore &before, const Keystore *after, uint32_t result) {
    if (!audit->set_up()) return Ok();
    AuditEvent unnamed{"change"};
    AuditEvent &event = auditing != nullptr ? *auditing : unnamed;
    AuditEvent told = event;
    if (after == nullptr) {
        told.detail = told.detail.empty() ? "nothing to change" : told.detail + "; nothing to change";
    } else {
        // What the change does, read from the keystores themselves, so that
        // every entry's record names the keys it touched.
        // By slot, not by Keystore::find: an import into a keystore of
        // thousands of keys must not compare every pair.
        std::unordered_map<uint64_t, bool> was, is;
        for (const MasterKey &k : before.keys) was.emplace(key_slot(k.domain, k.id), k.active);
        for (const MasterKey &k : after->keys) is.emplace(key_slot(k.domain, k.id), k.active);
        std::vector<uint32_t> added, removed, activated, touched;
        std::unordered_set<uint32_t> domains;
        for (const MasterKey &k : after->keys) {
            const auto it = was.find(key_slot(k.domain, k.id));
            const bool isNew = it == was.end();
            if (isNew) added.push_back(k.id);
            if (k.active && (isNew || !it->second)) activated.push_back(k.id);
            if (isNew || (k.active && !it->second)) {
                touched.push_back(k.id);
                domains.insert(k.domain);
            }
        }
        for (const MasterKey &k : before.keys)
            if (!is.count(key_slot(k.domain, k.id))) {
                removed.push_back(k.id);
                touched.push_back(k.id);
                domains.insert(k.domain);
            }
        std::string what;
        if (!added.empty()) what += "added " + id_list(added);
        if (!activated.empty()) what += (what.empty() ? "" : "; ") + ("activated " + id_list(activated));
        if (!removed.empty()) what += (what.empty() ? "" : "; ") + ("removed " + id_list(removed));
        if (after->root.version != before.root.version)
            what += (what.empty() ? "" : "; ") + ("root key version " + std::to_string(after->root.version));
        if (!what.empty()) told.detail = told.detail.empty() ? what : told.detail + "; " + what;
        if (told.keys.empty()) {
            std::sort(touched.begin(), touched.end());
            touched.erase(std::unique(touched.begin(), touched.end()), touched.end());
            told.keys = touched;
        }
        if (!told.domain && domains.size() == 1) told.domain = *domains.begin();
    }
    Status s = audit->append(told, result);
    if (s.ok()) event.recorded = true;
    return s;
}

Status State::record(AuditEvent &event, uint32_t result) {
    if (inspect_only() || !audit->set_up()) return Ok();
    ProcessLockGuard pl(host, processLock_);
    if (!pl.held()) return pl.status();
    Status s = audit->append(event, result);
    if (s.ok()) event.recorded = true;
    return s;
}

}  // namespace vaq
