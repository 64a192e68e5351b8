// SPDX-License-Identifier: Apache-2.0
#include "fleet_rollout.h"

#include <chrono>
#include <thread>

namespace fleet {

namespace {

using Clock = std::chrono::steady_clock;

std::string names(const std::vector<std::string> &v) {
    std::string out;
    for (const auto &s : v) out += (out.empty() ? "" : ", ") + s;
    return out;
}

// One step: decide on each read until the decision is made, refused, or the
// wait ends. DECIDE answers a decision; for a pure wait it answers Waiting
// with the members waited for, or Done.
class Step {
public:
    Step(EtcdClient &client, FleetStore &store, const RolloutOptions &o, Clock::time_point deadline)
        : client_(client), store_(store), o_(o), deadline_(deadline) {}

    RolloutResult run(const std::function<Outcome<Decision>(const FleetState &)> &decide) {
        RolloutResult r;
        std::vector<std::string> last;
        for (;;) {
            auto st = store_.read();
            r.reads++;
            if (!st.ok) {
                if (!wait_a_little()) return ended(r, last);
                continue;
            }
            auto d = decide(st.value);
            if (!d.ok) {
                if (d.error.kind == EtcdError::Kind::Refused) {
                    r.end = RolloutResult::End::Failed;
                    r.why = d.error.message;
                    return r;
                }
                if (!wait_a_little()) return ended(r, last);
                continue;   // undecided or unreachable: read and decide again
            }
            switch (d.value.verdict) {
            case Decision::Verdict::Done:
            case Decision::Verdict::Already: r.end = RolloutResult::End::Done; return r;
            case Decision::Verdict::Refused:
                r.end = RolloutResult::End::Refused;
                r.why = d.value.why;
                return r;
            case Decision::Verdict::Raced: continue;
            case Decision::Verdict::Waiting:
                if (d.value.nodes != last && o_.log) o_.log("waiting for " + names(d.value.nodes));
                last = d.value.nodes;
                break;
            }
            if (!sleep_until_change(st.value.revision)) return ended(r, last);
        }
    }

private:
    bool over() const {
        return (o_.stop != nullptr && o_.stop->load()) ||
               (o_.timeout_seconds > 0 && Clock::now() >= deadline_);
    }
    RolloutResult ended(RolloutResult r, const std::vector<std::string> &last) const {
        r.end = o_.stop != nullptr && o_.stop->load() ? RolloutResult::End::Stopped : RolloutResult::End::TimedOut;
        r.waiting_for = last;
        return r;
    }
    bool wait_a_little() const {
        for (int i = 0; i < 10 && !over(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return !over();
    }
    // Any write under the prefix after the read wakes it (a report, a member,
    // a key): then the state is read again.
    bool sleep_until_change(std::int64_t revision) {
        std::atomic<bool> stop{false};
        std::thread timer([&] {
            while (!stop && !over()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
            stop = true;
        });
        WatchOptions wo;
        wo.stop = &stop;
        client_.watch(store_.layout().prefix(), revision + 1,
                      [](const std::vector<WatchEvent> &, std::int64_t) { return false; }, wo);
        stop = true;
        timer.join();
        return !over();
    }

    EtcdClient &client_;
    FleetStore &store_;
    const RolloutOptions &o_;
    Clock::time_point deadline_;
};

Clock::time_point deadline_of(const RolloutOptions &o) { return Clock::now() + std::chrono::seconds(o.timeout_seconds); }

}  // namespace

RolloutResult activate_everywhere(EtcdClient &client, FleetStore &store, const std::string &role,
                                  std::uint32_t domain, std::uint32_t key_id, const RolloutOptions &o) {
    const auto deadline = deadline_of(o);
    Step step(client, store, o, deadline);
    RolloutResult held = step.run([&](const FleetState &st) { return store.activate(st, role, domain, key_id); });
    if (held.end != RolloutResult::End::Done) return held;
    if (o.log) o.log("key " + std::to_string(key_id) + " of domain " + std::to_string(domain) + " activated");
    RolloutResult active = step.run([&](const FleetState &st) {
        Decision d;
        for (const auto &[node, m] : st.members) {
            const Report *r = st.report(node, role);
            auto it = r == nullptr ? decltype(r->active.end()){} : r->active.find(domain);
            if (r == nullptr || it == r->active.end() || it->second != key_id) d.nodes.push_back(node);
        }
        d.verdict = d.nodes.empty() ? Decision::Verdict::Done : Decision::Verdict::Waiting;
        return Outcome<Decision>::good(d);
    });
    active.reads += held.reads;
    return active;
}

RolloutResult retire_everywhere(EtcdClient &client, FleetStore &store, const std::string &role, std::uint32_t domain,
                                std::uint32_t key_id, const RolloutOptions &o) {
    Step step(client, store, o, deadline_of(o));
    return step.run([&](const FleetState &st) { return store.retire(st, role, domain, key_id); });
}

}  // namespace fleet
