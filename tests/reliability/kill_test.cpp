// SPDX-License-Identifier: Apache-2.0
// A process killed with SIGKILL at a random moment of a stream of key changes,
// round after round, through the main library as a host uses it. After every
// kill a fresh process must load the keystore, find both copies good once the
// load has repaired them, and find every change the killed process was told
// had succeeded: it journals each change before the call ("I ...") and again
// when the call has answered 0, so only the change in flight may go either way.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>

#include "api_state.h"
#include "child.h"
#include "sanitizer.h"
#include "telmor_vaq_api.h"

using namespace reltest;

namespace {

const char kJournal[] = "/opt/telmor/kill-journal";
const uint32_t kDomains[] = {50, 51, 100, 101};

std::vector<uint8_t> material_of(uint32_t id) {
    std::vector<uint8_t> m(40);
    for (size_t i = 0; i < m.size(); ++i) m[i] = static_cast<uint8_t>(id * 131 + i * 7);
    return m;
}

std::string hex(const std::vector<uint8_t> &b) {
    std::string out;
    char two[3];
    for (uint8_t c : b) {
        std::snprintf(two, sizeof two, "%02x", c);
        out += two;
    }
    return out;
}

// One line per step, appended in one write.
void journal(const std::string &line) {
    FILE *f = std::fopen(kJournal, "a");
    if (f == nullptr) _exit(3);
    std::string l = line + "\n";
    if (std::fwrite(l.data(), 1, l.size(), f) != l.size()) _exit(3);
    std::fclose(f);
}

// The changes: until killed, create, register and activate, delete an old
// key, now and then renew the root key.
[[noreturn]] void change_forever(uint32_t seed) {
    if (TELMOR_VAQ_Initialize("HXA") != 0) _exit(2);
    std::mt19937 rng(seed);
    std::map<uint32_t, std::vector<uint32_t>> inactive;
    for (const ApiKey &k : api_keys())
        if (!k.active) inactive[k.domain].push_back(k.id);
    for (uint32_t n = 0;; ++n) {
        const uint32_t domain = kDomains[rng() % std::size(kDomains)];
        switch (rng() % 6) {
            case 0:
            case 1: {
                uint32_t id = 0;
                journal("I C " + std::to_string(domain));
                if (TELMOR_VAQ_CreateMK(domain, &id) != 0) _exit(4);
                std::vector<uint8_t> m(256);
                uint32_t len = 256;
                unsigned char record[64];
                if (TELMOR_VAQ_GetMkInfo(domain, id, record, m.data(), &len) != 0) _exit(5);
                m.resize(len);
                journal("C " + std::to_string(domain) + " " + std::to_string(id) + " " + hex(m));
                break;
            }
            case 2: {
                const uint32_t id = (seed << 12) ^ (n + 1);
                const auto m = material_of(id);
                journal("I R " + std::to_string(domain) + " " + std::to_string(id));
                if (TELMOR_VAQ_UpdateMK(domain, id, m.data(), static_cast<uint32_t>(m.size())) != 0) _exit(6);
                journal("R " + std::to_string(domain) + " " + std::to_string(id) + " " + hex(m));
                journal("I A " + std::to_string(domain) + " " + std::to_string(id));
                if (TELMOR_VAQ_ActiveMK(domain, id) != 0) _exit(7);
                journal("A " + std::to_string(domain) + " " + std::to_string(id));
                break;
            }
            case 3:
            case 4: {
                // The oldest key that is not active.
                HX_VAQ_MK_LIST *list = nullptr;
                if (TELMOR_VAQ_Query_Mk_Info(&list) != 0) _exit(8);
                uint32_t victim = 0;
                for (int32_t i = 0; i < list->count && victim == 0; ++i)
                    if (list->items[i]->domainId == domain && list->items[i]->mkAttrA == 0)
                        victim = list->items[i]->keyId;
                HX_VAQ_MK_FREE_ARRAY(list->items, list->count);
                HX_VAQ_MemFree(__LINE__, __FILE__, list);
                if (victim == 0) break;
                journal("I D " + std::to_string(domain) + " " + std::to_string(victim));
                if (TELMOR_VAQ_Delete(domain, victim) != 0) _exit(9);
                journal("D " + std::to_string(domain) + " " + std::to_string(victim));
                break;
            }
            case 5:
                if (n % 8 == 0) {
                    journal("I K");
                    if (TELMOR_VAQ_UpdateRootKey() != 0) _exit(10);
                    journal("K");
                }
                break;
        }
    }
}

struct InFlight {
    char op = 0;  // 0: none
    uint32_t domain = 0;
    uint32_t id = 0;
};

struct Expected {
    std::map<std::pair<uint32_t, uint32_t>, std::string> keys;  // material in hex
    std::map<uint32_t, uint32_t> active;
    InFlight inFlight;
    int changes = 0;  // completed lines
    int intents = 0;  // "I" lines: changes begun
};

Expected replay() {
    Expected e;
    std::ifstream in(kJournal);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream l(line);
        char op = 0;
        l >> op;
        if (op == 'I') {
            l >> e.inFlight.op >> e.inFlight.domain >> e.inFlight.id;
            ++e.intents;
            continue;
        }
        uint32_t domain = 0, id = 0;
        std::string material;
        l >> domain >> id >> material;
        e.inFlight = InFlight{};
        ++e.changes;
        switch (op) {
            case 'C':
                e.keys[{domain, id}] = material;
                e.active[domain] = id;
                break;
            case 'R':
                e.keys[{domain, id}] = material;
                break;
            case 'A':
                e.active[domain] = id;
                break;
            case 'D':
                e.keys.erase({domain, id});
                break;
            default:
                break;
        }
    }
    return e;
}

// The journal as the keystore on disk holds it now: the next round starts
// from there, with no change begun.
void journal_keys(const std::vector<ApiKey> &keys) {
    std::remove(kJournal);
    for (const ApiKey &k : keys)
        journal("C " + std::to_string(k.domain) + " " + std::to_string(k.id) + " " + hex(k.material));
    for (const ApiKey &k : keys)
        if (k.active) journal("A " + std::to_string(k.domain) + " " + std::to_string(k.id));
}

// After a kill: a fresh process loads the keystore and compares it with the
// journal. Empty when all is as it must be; *inFlightShows tells whether the
// change in flight had reached the disk.
std::string verify_after_kill(const Expected &expected, bool *inFlightShows) {
    const std::string report = "/opt/telmor/kill-report";
    const int rc = tvtest::run_in_child([&] {
        std::ofstream out(report, std::ios::trunc);
        if (TELMOR_VAQ_Initialize("HXA") != 0) {
            out << "the keystore does not load\n";
            return 1;
        }
        uint32_t good = 0;
        if (TELMOR_VAQ_CheckKeyStore(0, &good) != 0 || good != 3) out << "copies not both good: " << good << "\n";
        const std::vector<ApiKey> keys = api_keys();
        std::map<std::pair<uint32_t, uint32_t>, ApiKey> held;
        for (const ApiKey &k : keys) held[{k.domain, k.id}] = k;
        const InFlight &f = expected.inFlight;
        bool shows = false;
        for (const auto &[slot, material] : expected.keys) {
            auto it = held.find(slot);
            if (it == held.end()) {
                if (f.op == 'D' && slot == std::pair{f.domain, f.id}) {
                    shows = true;
                    continue;
                }
                out << "committed key " << slot.second << " of domain " << slot.first << " lost\n";
            } else if (hex(it->second.material) != material) {
                out << "key " << slot.second << " has other material\n";
            }
        }
        for (const auto &[slot, k] : held) {
            if (expected.keys.count(slot)) continue;
            const bool fromFlight =
                (f.op == 'C' && slot.first == f.domain) || (f.op == 'R' && slot == std::pair{f.domain, f.id});
            if (!fromFlight) out << "key " << slot.second << " of domain " << slot.first << " came from nowhere\n";
            shows = true;
        }
        for (const auto &[domain, id] : expected.active) {
            auto it = held.find({domain, id});
            if (it != held.end() && it->second.active) continue;
            if ((f.op == 'C' || f.op == 'A') && f.domain == domain) {
                shows = true;
                continue;
            }
            out << "domain " << domain << " lost its active key " << id << "\n";
        }
        TELMOR_VAQ_Finalize();
        out.close();
        if (std::ifstream(report).peek() != EOF) return 1;
        journal_keys(keys);
        return shows ? 10 : 0;
    });
    *inFlightShows = rc == 10;
    if (rc == 0 || rc == 10) return "";
    std::ifstream in(report);
    std::string why((std::istreambuf_iterator<char>(in)), {});
    return why.empty() ? "the checking process ended with " + std::to_string(rc) : why;
}

using Clock = std::chrono::steady_clock;
using Micros = std::chrono::microseconds;

// Only a hang reaches this: a wait for the changing process's next step.
constexpr auto kHang = std::chrono::minutes(3);

// Polls the journal until pred holds; false only on a hang.
template <typename Pred>
bool wait_for_journal(Pred pred) {
    for (const auto start = Clock::now(); Clock::now() - start < kHang;) {
        if (pred(replay())) return true;
        usleep(500);
    }
    return false;
}

// How long this build on this machine takes, from the start of a changing
// process, to begin its first change, and then for one change: measured by
// letting a process run a few changes, then killing it like any round.
struct Pace {
    Micros startup{};
    Micros change{};
};

TEST(Kill, KeyChangesKilledAtRandomMomentsLoseNothingCommitted) {
    fresh_node(kAgentRole);
    std::remove(kJournal);
    // The node's first keys, journalled as if created.
    ASSERT_EQ(tvtest::run_in_child([] {
                  if (TELMOR_VAQ_Initialize("HXA") != 0) return 1;
                  for (const ApiKey &k : api_keys())
                      journal("C " + std::to_string(k.domain) + " " + std::to_string(k.id) + " " + hex(k.material));
                  return TELMOR_VAQ_Finalize() == 0 ? 0 : 1;
              }),
              0);
    std::mt19937 rng(20260512);

    Pace pace;
    {
        constexpr int kMeasured = 8;
        const int before = replay().changes;
        const auto start = Clock::now();
        const uint32_t seed = rng();
        const pid_t pid = tvtest::spawn([seed]() -> int { change_forever(seed); });
        const bool begun = wait_for_journal([](const Expected &e) { return e.intents > 0; });
        const auto first = Clock::now();
        const bool measured =
            begun && wait_for_journal([before](const Expected &e) { return e.changes - before >= kMeasured; });
        const auto last = Clock::now();
        kill(pid, SIGKILL);
        ASSERT_EQ(tvtest::wait_child(pid), 128 + SIGKILL) << "the changing process ended on its own";
        ASSERT_TRUE(measured) << "the changing process made no progress";
        pace.startup = std::chrono::duration_cast<Micros>(first - start);
        pace.change = std::chrono::duration_cast<Micros>(last - first) / kMeasured;
        bool shows = false;
        const std::string why = verify_after_kill(replay(), &shows);
        ASSERT_TRUE(why.empty()) << why;
    }

    // Kill moments are drawn from the end of the start-up and the first few
    // changes as measured, and a little beyond, so that some kills land before
    // the first change, some while one is being written and some between
    // changes. A round killed before it began a change tells nothing: it is
    // run again, and when that keeps happening the start-up is taken as
    // longer. The test goes on until
    // enough rounds have cut a change in flight, within a bound on rounds.
    const int wanted = kSanitized ? 20 : 40;
    const int wantedCut = kSanitized ? 5 : 10;
    const int maxRounds = wanted * 10;
    int rounds = 0, counted = 0, rerun = 0, rerunsInARow = 0, cut = 0, cutOnDisk = 0, committed = 0;
    for (; rounds < maxRounds && (counted < wanted || cut < wantedCut); ++rounds) {
        SCOPED_TRACE("round " + std::to_string(rounds));
        const int baseline = replay().changes;
        const uint32_t seed = rng();
        const auto from = pace.startup / 2;
        const auto to = (pace.startup + 3 * pace.change) * 5 / 4;
        const auto delay = from + Micros(rng() % static_cast<uint64_t>((to - from).count() + 1));
        const pid_t pid = tvtest::spawn([seed]() -> int { change_forever(seed); });
        usleep(static_cast<useconds_t>(delay.count()));
        kill(pid, SIGKILL);
        ASSERT_EQ(tvtest::wait_child(pid), 128 + SIGKILL) << "the changing process ended on its own";

        const Expected expected = replay();
        bool inFlightShows = false;
        const std::string why = verify_after_kill(expected, &inFlightShows);
        ASSERT_TRUE(why.empty()) << why;
        if (expected.intents == 0) {
            ++rerun;
            // Three in a row: the machine has become slower than measured.
            if (++rerunsInARow == 3) {
                pace.startup += pace.startup / 4;
                rerunsInARow = 0;
            }
            continue;
        }
        rerunsInARow = 0;
        ++counted;
        committed += expected.changes - baseline;
        if (expected.inFlight.op != 0) {
            ++cut;
            cutOnDisk += inFlightShows;
        }
    }
    std::printf(
        "\nmeasured: start-up %lld us, one change %lld us; kill rounds: %d counted, %d run again (killed before any "
        "change); changes committed before the kills: %d; rounds that cut a change in flight: %d, of which the "
        "change had reached the disk: %d\n",
        static_cast<long long>(pace.startup.count()), static_cast<long long>(pace.change.count()), counted, rerun,
        committed, cut, cutOnDisk);
    EXPECT_GE(cut, wantedCut) << "within " << maxRounds << " rounds, too few kills landed inside a change";
    EXPECT_GE(counted, wanted);
}

}  // namespace
