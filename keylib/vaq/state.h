/* SPDX-License-Identifier: Apache-2.0 */
// The library's process-wide state between IvexInitializeEx and IvexFinalizeEx:
// the host table it was loaded with, its locks, the keystore paths, the domain
// configuration and the keystore in memory, and the key index that the
// data-protection library reads.
//
// Locking: `lock` (a host thread lock) guards domains and keystore and
// serialises every operation; a change also holds the node-wide process lock,
// always taken second. `indexLock` guards only the key index pointer, so an
// encryption never waits for a keystore change.
#ifndef HXB_VAQ_STATE_H
#define HXB_VAQ_STATE_H

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "audit_trail.h"
#include "host.h"
#include "key_index.h"
#include "keystore.h"
#include "keystore_pair.h"
#include "telmor_vaq_api.h"

namespace vaq {

inline constexpr size_t kMaxDomains = 4096;

struct Domain {
    VaqDomainRecord record{};
    bool hasKeyType = false;
    VaqKeyTypeRecord keyType{};
};

class State {
public:
    // Creates the locks through the host; fails without leaving any behind.
    static Status create(const VaqHostServices &table, const HX_VAQ_KEYSTORE_FILES &files, std::unique_ptr<State> &out);
    ~State();
    State(const State &) = delete;
    State &operator=(const State &) = delete;

    Host host;
    KeystorePaths paths;
    // The root protectors of this keystore and the root it last unsealed.
    std::unique_ptr<Protectors> protectors;
    void *lock = nullptr;
    uint32_t role = 0;
    std::vector<Domain> domains;
    Keystore keystore;

    // Reads the pair and takes the newest valid copy, or makes a new keystore
    // when both copies are missing or empty (refused in inspect-only mode, as
    // is every repair). Records its findings. Caller holds `lock`.
    Status load();

    // One keystore change: under the process lock, takes in what other
    // processes wrote, runs `mutate` on a copy of the result, and writes the
    // copy primary first, standby second. `mutate` sets `changed` when there
    // is something to write. Caller holds `lock`.
    // `done`, when given, runs under the process lock once the change is on
    // disk (or was already there): told whether the standby was written too.
    using Mutation = std::function<Status(Keystore &next, bool &changed)>;
    using Done = std::function<void(bool bothCopies)>;
    Status change(const Mutation &mutate, const Done &done = nullptr);

    // Brings memory up to what is on disk and repairs copies, under the
    // process lock, without a change of its own. Caller holds `lock`.
    Status refresh();

    // Seals next.root under next's protector again, with the options its
    // current seal records (after the root material changed). Nothing to do
    // for an unprotected keystore.
    Status reseal(Keystore &next);

    // Gives `next` new root material (from the entropy service, `extra`
    // mixed in when given), the next root-key version and the time of now,
    // and rewraps every master key under it. The caller seals the new root.
    Status renew_root(Keystore &next, ByteView extra) const;

    // Moves the keystore under `kind` as one change with a new root: the old
    // root was readable in format 1, or sealed by the protector being left,
    // so whoever holds it or an old copy must open nothing written after the
    // move. The primary, then the standby, is written sealed under the new
    // protector; until then both load under the old one. Once both are on
    // disk, a keystore no longer under `file` loses its node secret. Caller
    // holds `lock`.
    Status protect(ProtectorKind kind, const ProtectorOptions &options);

    // Generates a key in `domain` of `ks` and makes it the active one.
    Status generate_key(Keystore &ks, uint32_t domain, uint32_t lifeDays, uint32_t *newId) const;

    // The role's audit trail, and the event of the call running (set by
    // with_audit, under `lock`): change() records it under the process lock
    // before the keystore is written, and refuses the change when it cannot.
    std::unique_ptr<AuditTrail> audit;
    AuditEvent *auditing = nullptr;
    // Records `event` with `result` under the process lock, taking it; for
    // what is not a keystore change (a refusal, an export). Ok when the
    // role's audit is not set up.
    Status record(AuditEvent &event, uint32_t result);

    Domain *find_domain(uint32_t id);
    void *process_lock() const { return processLock_; }

    // The key index of `ks`, built aside: a change builds it before it commits
    // anything, so that nothing can fail once the change is made.
    std::unique_ptr<KeyIndex> index_of(const Keystore &ks) const;
    // Puts `idx` in place of the current index; cannot fail.
    void install(std::unique_ptr<KeyIndex> idx) noexcept;
    void unpublish();

    uint32_t working_key(uint32_t domain, uint32_t id, uint8_t *out, uint64_t *epoch) const;
    uint32_t active_key(uint32_t domain, uint32_t *id, uint8_t *out, uint64_t *epoch) const;

private:
    explicit State(const VaqHostServices &table) : host(table) {}
    // Caller holds `lock` and the process lock. `merged` tells whether memory now
    // holds keys that only the disk had while its generation was not newer.
    Status sync(bool &merged, uint64_t &diskGeneration, std::array<uint64_t, 2> &fileBytes);
    // Records the running call's change (`before` to `after`) with `result`,
    // the process lock held. Ok when the role's audit is not set up.
    Status record_change(const Keystore &before, const Keystore *after, uint32_t result);

    void *indexLock_ = nullptr;
    void *processLock_ = nullptr;
    std::unique_ptr<KeyIndex> index_;
};

// The loaded state, or null.
extern std::atomic<State *> g_state;
// The table of the last IvexRegFuncEx, used by the next IvexInitializeEx.
extern std::optional<VaqHostServices> g_registered;
// Raised at every change of the key index; never goes back, across reloads too.
extern std::atomic<uint64_t> g_key_epoch;
// Called after the keystore is unloaded, so that cached keys elsewhere go too.
extern std::atomic<void (*)(void)> g_unload_hook;
// Called before an unload, while the keystore is loaded: the data-protection
// library's key usage goes to the audit trail.
extern std::atomic<void (*)(void)> g_usage_hook;

}  // namespace vaq

#endif
