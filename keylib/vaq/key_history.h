/* SPDX-License-Identifier: Apache-2.0 */
// What a keystore remembers of its own past, so that a key that arrives
// again (a replayed export, a restored copy) cannot undo what was done here:
// the keys deleted here and when, and for each domain the time of its last
// key change (its active key chosen, or one of its keys deleted). Kept in
// the keystore image from format 3 on (docs/keystore-format.md).
#ifndef HXB_VAQ_KEY_HISTORY_H
#define HXB_VAQ_KEY_HISTORY_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vaq {

// Beyond this many deleted keys the oldest are forgotten: a rotation a day
// for a century is a tenth of it.
inline constexpr size_t kMaxRetiredKeys = 65536;
inline constexpr size_t kMaxDomainChanges = 4096;

struct RetiredKey {
    uint32_t domain = 0;
    uint32_t id = 0;
    int64_t deleted = 0;
    bool operator==(const RetiredKey &) const = default;
};

struct DomainChange {
    uint32_t domain = 0;
    int64_t at = 0;
    bool operator==(const DomainChange &) const = default;
};

class KeyHistory {
public:
    bool empty() const { return retired_.empty() && changes_.empty(); }
    size_t records() const { return retired_.size() + changes_.size(); }
    const std::vector<RetiredKey> &retired() const { return retired_; }
    const std::vector<DomainChange> &changes() const { return changes_; }

    // The deletion of (domain, id) here, or null.
    const RetiredKey *retired_key(uint32_t domain, uint32_t id) const;
    // When the domain's last key change here was made; 0 when none is known
    // (its first key is the one the library made, or the keystore predates
    // the history).
    int64_t last_change(uint32_t domain) const;

    // A key deleted at `when`. Returns true when the oldest deletion had to
    // be forgotten to make room.
    bool retire(uint32_t domain, uint32_t id, int64_t when);
    // The key is here again (restored or registered anew).
    void forget(uint32_t domain, uint32_t id);
    // A key change made here at `when`: the domain's time never goes back.
    void changed(uint32_t domain, int64_t when);
    // The domain now holds the state of an export made at `when`, which may
    // be older than its last change when the operator asked for that.
    void set_change(uint32_t domain, int64_t when);
    // Takes in what `other` remembers and this lacks (a copy written behind
    // this process's back).
    void merge(const KeyHistory &other);

    bool operator==(const KeyHistory &) const = default;

    // For the image's reader, which has checked each record already.
    void add_record(const RetiredKey &r) { retired_.push_back(r); }
    void add_record(const DomainChange &c) { changes_.push_back(c); }

private:
    std::vector<RetiredKey> retired_;
    std::vector<DomainChange> changes_;
};

}  // namespace vaq

#endif
