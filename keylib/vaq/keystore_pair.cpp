// SPDX-License-Identifier: Apache-2.0
#include "keystore_pair.h"

#include <algorithm>

#include "log.h"

namespace vaq {

bool KeystorePair::has_unusable_data() const {
    for (const auto &c : copies)
        if (c.state == CopyState::kCorrupt || c.state == CopyState::kNewerFormat || c.state == CopyState::kUnreadable ||
            c.state == CopyState::kForeign)
            return true;
    return false;
}

bool KeystorePair::has_newer_format() const {
    for (const auto &c : copies)
        if (c.state == CopyState::kNewerFormat) return true;
    return false;
}

bool KeystorePair::has_unreadable() const {
    for (const auto &c : copies)
        if (c.state == CopyState::kUnreadable) return true;
    return false;
}

Status KeystorePair::unreadable_status() const {
    for (const auto &c : copies)
        if (c.unsafe)
            return Fail(VAQ_ERR_UNSAFE_FILE,
                        "a keystore copy is not safe to use (see the host's line); nothing is written over it");
    return Fail(VAQ_ERR_IO, "a keystore copy could not be read; nothing is written over it");
}

Status KeystorePair::confirm_missing(const Host &host, const std::array<std::string, 2> &paths) const {
    for (int i = 0; i < 2; ++i)
        if (copies[i].state == CopyState::kMissing && host.exists(paths[i]))
            return Fail(VAQ_ERR_IO, "a keystore copy reported missing is there after all");
    return Ok();
}

Status KeystorePair::unusable_status() const {
    if (has_newer_format()) return Fail(VAQ_ERR_KEYSTORE_VERSION, "a keystore copy is written in a newer format");
    if (!protectorFailure.ok()) return protectorFailure;
    if (unverifiable)
        return Fail(VAQ_ERR_UNVERIFIABLE_COPY,
                    "the newer unprotected keystore copy has other root material and lacks keys "
                    "of the older; both files left as they are");
    if (!foreign.ok()) return foreign;
    for (const auto &c : copies)
        if (c.state == CopyState::kCorrupt)
            return Fail(VAQ_ERR_KEYSTORE_CORRUPT, "no valid keystore copy; files left as they are");
    if (!downgrade.ok()) return downgrade;
    for (const auto &c : copies)
        if (c.unsafe) return Fail(VAQ_ERR_UNSAFE_FILE, "no keystore copy is safe to use; files left as they are");
    return Fail(VAQ_ERR_IO, "no keystore copy could be read");
}

bool KeystorePair::needs_repair(int i) const {
    const KeystoreCopy &c = copies[i];
    return best >= 0 && i != best && (c.state != CopyState::kValid || c.keystore.generation != best_generation());
}

const char *copy_name(int i) { return i == 0 ? "primary" : "standby"; }

std::atomic<bool> g_inspect_only{false};
LoadFindings g_load_findings;

void note_findings(const KeystorePair &pair) {
    LoadFindings f;
    f.taken = true;
    f.best = pair.best;
    for (int i = 0; i < 2; ++i) {
        const KeystoreCopy &c = pair.copies[i];
        f.state[i] = c.state;
        f.stale[i] = c.state == CopyState::kValid && pair.needs_repair(i);
        f.unsafe[i] = c.unsafe;
        f.unopened[i] = c.unopened;
        f.generation[i] = c.state == CopyState::kValid ? c.keystore.generation : 0;
    }
    g_load_findings = f;
}

namespace {

// Unprotected copies (format 1) carry their own root material, so either can
// be written by anyone: a newer one with other material is taken only if it
// holds every key of the older with the same material.
bool keeps_every_key(const Keystore &newer, const Keystore &older) {
    for (const auto &k : older.keys) {
        const MasterKey *n = newer.find(k.domain, k.id);
        if (n == nullptr || !n->material.equals(k.material.view())) return false;
    }
    return true;
}

// A keystore protected on this node never goes back to an unprotected copy:
// anyone who can write the keystore directory could have made it, and a
// backup from before the move holds the root that the move retired. What
// shows the protection: a valid protected copy, a copy whose header says
// protected (one the protector could not open, or damaged), the node secret,
// or the protection mark. Only a move from format 1 cut short by a power cut
// leaves the unprotected copies the keystore, and it says so by its mark.
void refuse_downgrade(KeystorePair &pair, const ProtectionMarks &marks) {
    KeystoreCopy *c = pair.copies.data();
    auto valid = [&](int i, bool sealed) {
        return c[i].state == CopyState::kValid && (c[i].keystore.protector != ProtectorKind::kNone) == sealed;
    };
    if (!valid(0, false) && !valid(1, false)) return;
    Status *refused = &pair.downgrade;
    std::string evidence;
    if (valid(0, true) || valid(1, true)) {
        refused = &pair.foreign;
        evidence = "beside a protected one";
    } else if (!marks.moving()) {
        for (int i = 0; i < 2 && evidence.empty(); ++i)
            if (c[i].claimsProtected) evidence = std::string("the ") + copy_name(i) + " copy is protected";
        if (evidence.empty()) evidence = marks.evidence();
        if (!evidence.empty()) evidence = "this keystore is protected on this node: " + evidence;
    }
    if (evidence.empty()) return;
    for (int i = 0; i < 2; ++i)
        if (valid(i, false)) c[i].state = CopyState::kForeign;
    if (refused->ok())
        *refused = Fail(VAQ_ERR_ROOT_FOREIGN, reason("an unprotected keystore copy is refused (%s)", evidence.c_str()));
}

void choose_best(KeystorePair &pair, const ProtectionMarks &marks) {
    KeystoreCopy *c = pair.copies.data();
    refuse_downgrade(pair, marks);
    const bool protectedValid = (c[0].state == CopyState::kValid && c[0].keystore.protector != ProtectorKind::kNone) ||
                                (c[1].state == CopyState::kValid && c[1].keystore.protector != ProtectorKind::kNone);
    pair.best = -1;
    for (int i = 0; i < 2; ++i)
        if (c[i].state == CopyState::kValid && (pair.best < 0 || c[i].keystore.generation > pair.best_generation()))
            pair.best = i;
    if (c[0].state == CopyState::kValid && c[1].state == CopyState::kValid && !protectedValid &&
        c[0].keystore.generation != c[1].keystore.generation &&
        CRYPTO_memcmp(c[0].keystore.root.material.data(), c[1].keystore.root.material.data(), kKeyBytes) != 0 &&
        !keeps_every_key(c[pair.best].keystore, c[1 - pair.best].keystore)) {
        pair.unverifiable = true;
        for (auto &copy : pair.copies) copy.state = CopyState::kCorrupt;
        pair.best = -1;
    }
}

}  // namespace

KeystorePair read_pair(const Host &host, const KeystorePaths &paths, Protectors &protectors) {
    KeystorePair pair;
    ProtectorOpener opener(protectors);
    for (int i = 0; i < 2; ++i) {
        KeystoreCopy &c = pair.copies[i];
        FileContent file = host.read_file(paths[i]);
        switch (file.state) {
            case FileState::kMissing:
                c.state = CopyState::kMissing;
                continue;
            case FileState::kEmpty:
                c.state = CopyState::kEmpty;
                continue;
            case FileState::kUnreadable:
                c.state = CopyState::kUnreadable;
                continue;
            case FileState::kUnsafe:
                c.state = CopyState::kUnreadable;
                c.unsafe = true;
                continue;
            case FileState::kTooLarge:
                c.state = CopyState::kCorrupt;
                continue;
            case FileState::kRead:
                break;
        }
        c.fileBytes = file.bytes.size();
        c.claimsProtected = claims_protected_format(file.bytes);
        // The usual case: the standby holds the primary's image byte for byte,
        // and one verification serves both. Its keys and image are the
        // primary's and are not copied: only what the choice between the
        // copies reads is kept (see KeystoreCopy::sameAsPrimary).
        const KeystoreCopy &first = pair.copies[0];
        if (i == 1 && first.state == CopyState::kValid && file.bytes.size() >= first.image.size() &&
            std::equal(first.image.begin(), first.image.end(), file.bytes.begin())) {
            c.state = CopyState::kValid;
            c.sameAsPrimary = true;
            c.keystore.generation = first.keystore.generation;
            c.keystore.protector = first.keystore.protector;
            c.keystore.root = first.keystore.root;
            continue;
        }
        // The file's buffer stays as it is: a valid copy's image is its
        // beginning, and the keys' wrapped records are views into it.
        std::shared_ptr<const Bytes> held = wiped_when_released(std::move(file.bytes));
        switch (parse(*held, c.keystore, opener, held)) {
            case ParseResult::kValid: {
                c.state = CopyState::kValid;
                Reader r(*held);
                r.skip(12);
                c.file = held;
                c.image = ByteView(*held).first(r.u32());
                break;
            }
            case ParseResult::kForeign:
                c.state = CopyState::kForeign;
                pair.foreign = opener.last;
                break;
            case ParseResult::kProtectorFailed:
                c.state = CopyState::kUnreadable;
                c.unopened = true;
                pair.protectorFailure = opener.last;
                break;
            case ParseResult::kCorrupt:
                // A first image cut short (a crash while a new keystore was being
                // written) is all such a file can be: it never held a master key.
                // Counting it as damage would leave the node without a keystore.
                c.state = held->size() <= std::max(keyless_image_bytes(*held), kMinImageBytes) ? CopyState::kEmpty
                                                                                               : CopyState::kCorrupt;
                if (c.state == CopyState::kEmpty)
                    log_to(host, LogLevel::kWarn, kVaqModule, __FILE_NAME__, __LINE__,
                           "%s keystore copy of %zu bytes holds no key and is not valid; taken as "
                           "empty\n",
                           copy_name(i), held->size());
                break;
            case ParseResult::kNewerFormat:
                c.state = CopyState::kNewerFormat;
                break;
            // Not known to be good or bad: left alone, like a copy that could not be read.
            case ParseResult::kCannotVerify:
                c.state = CopyState::kUnreadable;
                break;
        }
    }
    choose_best(pair, protectors.marks());
    return pair;
}

Status write_copy(const Host &host, const std::string &path, ByteView image, uint64_t fileBytes) {
    if (fileBytes <= image.size()) return host.write_file(path, image);
    Bytes padded;
    WipeOnExit wipe(padded);
    padded.reserve(fileBytes);  // grown in place: no unwiped copy of the image is released
    padded.assign(image.begin(), image.end());
    padded.resize(fileBytes, 0);
    return host.write_file(path, padded);
}

Status repair_pair(const Host &host, const KeystorePaths &paths, const KeystorePair &pair, const char *module) {
    Status skipped = Ok();
    for (int i = 0; i < 2; ++i) {
        if (!pair.needs_repair(i)) continue;
        if (inspect_only()) {
            g_load_findings.withheld = true;
            continue;
        }
        if (pair.copies[i].state == CopyState::kUnreadable) {
            skipped = pair.unreadable_status();
            continue;
        }
        if (pair.copies[i].state == CopyState::kMissing && host.exists(paths[i])) {
            skipped = Fail(VAQ_ERR_IO, "a keystore copy reported missing is there after all");
            continue;
        }
        Status s = write_copy(host, paths[i], pair.copies[pair.best].image, pair.copies[i].fileBytes);
        if (!s.ok()) return s;
        g_load_findings.rewritten[i] = true;
        log_to(host, LogLevel::kWarn, module, __FILE_NAME__, __LINE__,
               "%s keystore copy rewritten from the %s copy (generation %llu)\n", copy_name(i), copy_name(pair.best),
               static_cast<unsigned long long>(pair.best_generation()));
    }
    return skipped;
}

}  // namespace vaq
