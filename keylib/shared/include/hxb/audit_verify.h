/* SPDX-License-Identifier: Apache-2.0 */
// Checks a whole audit trail, offline, with its verification key: every
// record's MAC under its epoch's key, the chain, the sequence, the epochs.
#ifndef HXB_AUDIT_VERIFY_H
#define HXB_AUDIT_VERIFY_H

#include <string>
#include <string_view>
#include <vector>

#include "hxb/audit_record.h"

namespace hxb::audit {

// What a failure was found to be, first kind that fits.
enum class Fault {
    kNone,
    kChanged,     // a record's bytes changed: its MAC does not match
    kRemoved,     // one or more records missing before this one
    kInserted,    // a record that does not belong between its neighbours
    kReordered,   // records out of their order
    kOtherEpoch,  // sealed for, or with the key of, another epoch than its place
    kCut,         // not a whole record, and no repair record says why
    kBadStart,    // the trail does not begin with its init record
};
const char *fault_name(Fault f);

struct Verdict {
    Fault fault = Fault::kNone;
    // "record N (seq S, byte B): why", naming the first record that fails.
    std::string failure;
    uint64_t records = 0;  // whole records checked good
    uint64_t lastSeq = 0;
    uint64_t lastEpoch = 0;
    std::string lastTime;
    // Repaired cuts (good) and a cut last record (a crash; the next change
    // repairs it), each one line.
    std::vector<std::string> notes;
    bool cutAtEnd = false;
};

Verdict verify_trail(std::string_view content, const Key &verification);

// Every whole record of a trail that parses, in file order, MACs unchecked:
// for listing, never for judging.
std::vector<Record> read_records(std::string_view content);

}  // namespace hxb::audit

#endif
