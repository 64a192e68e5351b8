/* SPDX-License-Identifier: Apache-2.0 */
// The role's audit trail as the key library writes it: one record per key
// change or refused change, appended under the node's process lock through
// the host's file services, sealed forward (hxb/audit_record.h).
//
// Files: the trail, <role's log directory>/<stem>.audit (for a keystore
// elsewhere, beside its primary copy), owned like the role's other files;
// the writer's key in the role's secret directory, in two slots
// <stem>.audit-key.0 and .1 (epoch e in slot e % 2), so that a new epoch's
// key is on disk before the old one is erased and a crash leaves one whole.
//
// The audit is set up once either the trail or a key slot exists; from then
// on a change whose record cannot be written is refused.
#ifndef HXB_VAQ_AUDIT_TRAIL_H
#define HXB_VAQ_AUDIT_TRAIL_H

#include <optional>
#include <string>
#include <vector>

#include "host.h"
#include "hxb/audit_record.h"

namespace vaq {

// What one change or refusal was: filled by the entry that makes it, and by
// its mutation once the keys it touches are known.
struct AuditEvent {
    std::string op;
    std::optional<uint32_t> domain;
    std::vector<uint32_t> keys;
    std::string file;
    std::string detail;
    // Whether a call that found nothing to change is recorded (an
    // operator's; not a host's provisioning at each load).
    bool recordUnchanged = true;
    // Whether a refusal is recorded (not for provisioning either).
    bool recordRefusal = true;
    // Recorded before the call runs, the call refused unless it is: for what
    // is not a keystore change but hands keys out (an export).
    bool first = false;
    // The keystore's key ids go in the record (an export's keys).
    bool allKeys = false;
    bool recorded = false;
};

// Codes of the audit itself: a refusal for one of them is not recorded again.
inline bool is_audit_code(uint32_t code) { return code >= VAQ_ERR_AUDIT_KEY && code <= VAQ_ERR_AUDIT_SET_UP; }

class AuditTrail {
public:
    AuditTrail(const Host &host, const std::string &primaryPath);

    bool set_up() const;
    const std::string &trail_path() const { return trail_; }

    // Appends the event's record with `result`; the caller holds the process
    // lock. Repairs a cut last record and begins a new epoch first where due.
    Status append(const AuditEvent &event, uint32_t result) const;

    // Makes epoch 0's key and the trail with its first record; the
    // verification key goes to `verification` and is never stored. The
    // caller holds the process lock.
    Status init(uint32_t recordsPerEpoch, uint32_t secondsPerEpoch, hxb::audit::Key &verification) const;

private:
    Status load_key(hxb::audit::KeyState &out, int &slot) const;
    Status store_key(const hxb::audit::KeyState &k) const;
    void erase_slot(int slot) const;
    hxb::audit::Record base_record(const AuditEvent &event, uint32_t result) const;

    const Host &host_;
    std::string primary_;
    std::string stem_;
    std::string role_;
    std::string trail_;
    std::string secretDir_;
    std::string keySlots_[2];
};

// The journal's copy of a record (its native protocol's fields, one
// "NAME=value" per line), as sent where a journal runs.
std::string journal_fields(const hxb::audit::Record &r);
// Sends it to the journal's socket; false where none listens. Never blocks.
bool send_to_journal(const hxb::audit::Record &r);

}  // namespace vaq

#endif
