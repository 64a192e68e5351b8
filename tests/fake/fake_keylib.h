// A scripted stand-in for the two key libraries, for tests of the main library
// that need a precise answer from them. Linked into a test ahead of the main
// library, its Ivex*, Vaq* and Qor* functions take the place of ours.
//
// Every call is recorded. Each function answers, in this order: its handler if
// one is set; else the next queued answer; else its default answer (0 unless
// set). Functions that fill records serve them from inventory() unless a
// handler says otherwise; the Qor functions by default "encrypt" by copying the
// plain bytes behind a 4-byte length, so round trips work.
#ifndef TELMOR_TEST_FAKE_KEYLIB_H
#define TELMOR_TEST_FAKE_KEYLIB_H

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "vaq/vaq_records.h"

namespace fake {

struct Call {
    std::string fn;
    std::vector<uint64_t> args;  // every argument in order; pointers as their address
    std::vector<uint8_t> bytes;  // a record handed in, copied at call time
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
};
Inventory &inventory();

}  // namespace fake

#endif
