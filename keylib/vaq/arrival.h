/* SPDX-License-Identifier: Apache-2.0 */
// What an import or a join may take from an export file. The file comes from
// elsewhere (a fleet shares its password or token key, so anyone in the
// fleet can make one), so before anything changes:
//
// - each key it would add or make active must be sound: not expired, not
//   dated in the future, of its domain's key length, not trivially weak, of a
//   domain this keystore has; and no domain may have two active keys in it.
//   One unsound key refuses the whole file.
// - a key deleted here is not added back unless the operator names it
//   (restore), and then it comes back inactive.
// - a join changes nothing in a domain whose last key change here is newer
//   than the file, and makes no key active that is older than the domain's
//   active key, unless the operator allows older state (allowOlder). A
//   domain in which no key was ever chosen here (its first key is the one
//   the library made) takes the file's active key whatever its age.
#ifndef HXB_VAQ_ARRIVAL_H
#define HXB_VAQ_ARRIVAL_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "export_file.h"
#include "keystore.h"
#include "vaq/vaq_private.h"

namespace vaq {

// A key may be dated this much after the clock here: nodes' clocks differ.
inline constexpr int64_t kClockSkewSeconds = 3600;

struct ArrivalRules {
    bool join = false;
    bool allowOlder = false;
    std::vector<uint32_t> restore;
};

struct ArrivalOutcome {
    std::vector<VaqPrivArrivalNote> notes;
    // Why the file was refused, for the operator (one key, one reason).
    std::string refusal;
    uint32_t marked = 0;    // domains in which the file marks an active key
    size_t keysAdded = 0;
    size_t switched = 0;
};

// Takes what `rules` allow of `contents` into `next`, or refuses the file
// with nothing changed in `next`. `changed` tells whether anything was taken.
Status take_arrival(const Host &host, Keystore &next, const ExportContents &contents, const ArrivalRules &rules,
                    const std::function<bool(uint32_t domain)> &hasDomain, int64_t now,
                    ArrivalOutcome &outcome, bool &changed);

// Why `material` is trivially weak, or "" when it is not: all one byte value,
// a short pattern repeated, a run counting in steps, or very few byte values.
std::string weak_material(ByteView material);

}  // namespace vaq

#endif
