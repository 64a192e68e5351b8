/* SPDX-License-Identifier: Apache-2.0 */
// The two copies of the keystore on disk, primary and standby, as one load or
// check sees them: which are valid, which holds the newest generation, and
// rewriting the others from it.
#ifndef HXB_VAQ_KEYSTORE_PAIR_H
#define HXB_VAQ_KEYSTORE_PAIR_H

#include <array>
#include <atomic>
#include <memory>
#include <string>

#include "host.h"
#include "keystore.h"

namespace vaq {

// kForeign: a copy this node cannot have written: sealed under another node's
// protector, or unprotected while this keystore is protected on this node.
// Treated as damage: never adopted, rewritten from the good copy. kUnreadable covers a copy whose
// protector could not be asked.
enum class CopyState { kMissing, kEmpty, kValid, kCorrupt, kNewerFormat, kUnreadable, kForeign };

struct KeystoreCopy {
    CopyState state = CopyState::kMissing;
    // A valid copy's file as read, and its image: the file without whatever
    // follows the image. Shared with the keys' wrapped records.
    std::shared_ptr<const Bytes> file;
    ByteView image;
    Keystore keystore;
    uint64_t fileBytes = 0;  // the file's length, image and whatever follows it
    bool unsafe = false;     // unreadable because the host refused what is at the path
    // The header names the protected format (format 2), whether or not the
    // copy verifies: a sign that the keystore was protected on this node.
    bool claimsProtected = false;
    bool unopened = false;  // unreadable because its protector failed (the pair's protectorFailure says why)
    // The standby holds the primary's image byte for byte. Its image and keys
    // are then left empty, and its keystore holds only the generation, the
    // protector and the root: it is never the best copy (it is not newer
    // than the primary), so nothing reads more of it.
    bool sameAsPrimary = false;
};

struct KeystorePair {
    std::array<KeystoreCopy, 2> copies;  // primary, standby
    int best = -1;                       // the valid copy with the highest generation
    // Why a protector could not open a copy, or why a copy was foreign; the
    // code a load answers when no copy is valid.
    Status protectorFailure = Ok();
    Status foreign = Ok();
    // Unprotected copies refused because this keystore is protected on this
    // node (a node secret or a protection mark exists, or a copy is
    // protected), with what shows it.
    Status downgrade = Ok();
    // Two valid unprotected copies whose root material differs, the newer
    // lacking a key of the older: neither can be trusted over the other.
    bool unverifiable = false;

    bool has_valid() const { return best >= 0; }
    // A copy that holds something we cannot use: never overwritten while no
    // valid copy exists.
    bool has_unusable_data() const;
    // The code a load answers when no copy is valid but one holds data.
    Status unusable_status() const;
    // A copy written by a newer library: nothing here may overwrite it, so the
    // keystore is left to that library.
    bool has_newer_format() const;
    // A copy that could not be read may hold a newer generation than any copy
    // that was: no change is written over it.
    bool has_unreadable() const;
    // The code for a change refused because a copy could not be read.
    Status unreadable_status() const;
    // A copy reported missing is asked about once more before anything is
    // written in its place: the existence test cannot report a failure, and
    // one wrong answer must not cost a keystore. Fails if one is there after all.
    Status confirm_missing(const Host &host, const std::array<std::string, 2> &paths) const;
    uint64_t best_generation() const { return best >= 0 ? copies[best].keystore.generation : 0; }
    // A copy that a repair would rewrite: not valid, or older than the best.
    bool needs_repair(int i) const;
};

using KeystorePaths = std::array<std::string, 2>;

// Opens sealed roots through the keystore's protectors and keeps the reason of
// the last failure.
class ProtectorOpener final : public RootOpener {
public:
    explicit ProtectorOpener(Protectors &protectors) : protectors_(protectors) {}
    Unsealed open(ProtectorKind kind, ByteView sealed, uint8_t root[32]) override {
        Status why = Ok();
        Unsealed u = protectors_.unseal(kind, sealed, root, why);
        if (u != Unsealed::kYes && !why.ok()) last = why;
        return u;
    }
    Status last = Ok();

private:
    Protectors &protectors_;
};

KeystorePair read_pair(const Host &host, const KeystorePaths &paths, Protectors &protectors);

// Writes `image` over a keystore copy of `fileBytes` bytes. Files are not
// truncated, so a shorter image is padded with zeros to the old length: no
// stale record (of a removed key, say) stays behind it.
Status write_copy(const Host &host, const std::string &path, ByteView image, uint64_t fileBytes);

// Rewrites every copy that needs it from the best one, primary first. Answers
// the first failure; the copies already rewritten stay rewritten. A copy that
// could not be read, or that was reported missing and is there after all, is
// left as it is and answered as a failure.
// In inspect-only mode nothing is written, and the answer is Ok.
Status repair_pair(const Host &host, const KeystorePaths &paths, const KeystorePair &pair, const char *module);

const char *copy_name(int i);

// Inspect-only loads (set for the operator's tool's status and check): no
// copy is rewritten, no keystore is created, no change is written. A host
// never sets it.
extern std::atomic<bool> g_inspect_only;
inline bool inspect_only() { return g_inspect_only.load(std::memory_order_relaxed); }

// What the last load of this process found in each copy, and what it wrote:
// the operator's tool names the copy that was missing, damaged or out of date
// and the one it was (or would be) rewritten from, from this and never from
// a comparison of the files' bytes, since a load may also write a change of
// its own (a domain's first key).
struct LoadFindings {
    bool taken = false;  // a load ran since the process started
    std::array<CopyState, 2> state{CopyState::kMissing, CopyState::kMissing};
    std::array<bool, 2> stale{};      // valid but older than the best copy
    std::array<bool, 2> unsafe{};     // refused by the host
    std::array<bool, 2> unopened{};   // the protector could not open it
    std::array<bool, 2> rewritten{};  // rewritten from the best copy by this process
    std::array<uint64_t, 2> generation{};
    int best = -1;
    bool created = false;   // both copies missing or empty: a new keystore was made
    bool withheld = false;        // inspect-only: a copy's repair was left unwritten
    bool changeWithheld = false;  // inspect-only: a change (a domain's first key) was left unwritten
};
extern LoadFindings g_load_findings;
// Records what `pair` holds as the last load's findings.
void note_findings(const KeystorePair &pair);

}  // namespace vaq

#endif
