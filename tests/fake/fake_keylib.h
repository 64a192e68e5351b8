/* SPDX-License-Identifier: Apache-2.0 */
// A scripted stand-in for the two key libraries, for tests of the main library
// that need a precise answer from them. Linked into a test ahead of the main
// library, its Ivex*, Vaq* and Qor* functions take the place of ours.
//
// Every call is recorded. Each function answers, in this order: its handler if
// one is set; else the next queued answer; else its default answer (0 unless
// set). Functions that fill records serve them from inventory() unless a
// handler says otherwise; the Qor functions by default "encrypt" by copying the
// plain bytes behind a 4-byte length, so round trips work.
//
// Details of the defaults:
// - A record-filling function whose answer is 0 fills its record from the
//   inventory; an index or key the inventory lacks answers VAQ_ERR_INDEX_RANGE
//   or VAQ_ERR_UNKNOWN_KEY instead. A non-zero answer fills nothing.
// - VaqGetMkCount and VaqGetDomainCount answer the inventory's count unless a
//   handler, queue or default is set for them.
// - VaqGetMkDetail copies the record and the material of the matching key
//   (Inventory::mkMaterial, by index into mks; none means zero bytes).
// - The fake keeps no keystore: adds and removals do not change the inventory.
// The state is process-wide and guarded, so threads may call in at once;
// handlers run outside the guard and may use this API.
#ifndef TELMOR_TEST_FAKE_KEYLIB_H
#define TELMOR_TEST_FAKE_KEYLIB_H

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "vaq/vaq_host_services.h"
#include "vaq/vaq_records.h"

namespace fake {

struct Call {
    std::string fn;
    std::vector<uint64_t> args;  // every argument in order; pointers as their address
    // A record or buffer handed in, copied at call time: the domain and key-type
    // records, the host-service table (232 bytes), key material, passwords,
    // plain bytes of QorEncryptEx and cipher bytes of QorDecryptEx.
    std::vector<uint8_t> bytes;
    // Zero-terminated texts handed in, copied at call time: the primary and
    // standby paths of IvexInitializeEx (empty for a null pointer), the file
    // of the export and import.
    std::vector<std::string> texts;
};

void reset();
void answer(const std::string &fn, unsigned long code);
void queue(const std::string &fn, std::initializer_list<unsigned long> codes);
void on(const std::string &fn, std::function<unsigned long(const Call &)> handler);

std::vector<Call> calls();
std::vector<Call> calls(const std::string &fn);
// Names of the calls in order, e.g. {"IvexInitializeEx", "IvexSetRole", ...}.
std::vector<std::string> call_names();

struct Inventory {
    std::vector<VaqMkRecord> mks;
    std::vector<VaqDomainRecord> domains;
    VaqRootKeyRecord rootKey{};
    VaqRootKeyCfgRecord rootKeyCfg{};
    bool overrideMkCount = false;  // report mkCount instead of mks.size()
    int32_t mkCount = 0;
    bool overrideDomainCount = false;
    int32_t domainCount = 0;
    std::vector<std::vector<uint8_t>> mkMaterial;  // key material of mks[i], if present
};
Inventory &inventory();

// The table most recently handed to IvexRegFuncEx (null before), so a handler
// can call back into the host as a key library would.
const VaqHostServices *registered_table();

}  // namespace fake

#endif
