/* SPDX-License-Identifier: Apache-2.0 */
// Node agents against a real three-member cluster, each agent in a thread
// with a keystore of its own held in memory (LocalKeystore's rules as the key
// library keeps them: a key deleted here is not imported again, only sealed
// material is taken, a key is activated only when held). The rollout's steps
// are taken here as `fleet rotate` will take them; a checker watches every
// agent's keystore throughout: no admitted member ever has a key active that
// another admitted member lacks.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "etcd_client.h"
#include "etcd_cluster.h"
#include "fleet_agent.h"
#include "fleet_rollout.h"
#include "fleet_store.h"

namespace {

using fleet::Agent;
using fleet::FleetKey;
using fleet::FleetState;
using fleet::FleetStore;
using fleet::HeldKey;
using fleet::KeyState;
using fleet::Layout;
using Verdict = fleet::Decision::Verdict;

const std::string kPrefix = "/telmor/vaq/fleet/";
const std::string kRole = "agent";
constexpr std::uint32_t kDomain = 7;

std::string sealed_material() {
    const std::string uri = "pkcs11:token=fleet;object=fleet-kek";
    std::string b(64, '\0');
    b.replace(0, 8, "HXBVAQEX");
    b[8] = 2;
    b[10] = 2;
    b[12] = static_cast<char>(uri.size());
    return b + uri + std::string(96, '\x5a');
}

class MemoryKeystore : public fleet::LocalKeystore {
public:
    explicit MemoryKeystore(std::uint32_t active_key) {
        held_.insert(active_key);
        active_ = active_key;
    }
    std::vector<HeldKey> held() override {
        std::lock_guard l(m_);
        std::vector<HeldKey> out;
        for (auto k : held_) out.push_back({kDomain, k});
        return out;
    }
    std::map<std::uint32_t, std::uint32_t> active() override {
        std::lock_guard l(m_);
        return {{kDomain, active_}};
    }
    bool import(const FleetKey &k, std::string &why) override {
        // A slow import (a token's unwrap, a loaded node) widens the window
        // in which an early activation would be seen.
        std::this_thread::sleep_for(std::chrono::milliseconds(import_delay_ms));
        std::lock_guard l(m_);
        if (deleted_.count(k.key_id) != 0) {
            why = "deleted here";
            return false;
        }
        if (!fleet::sealed_to_token(k.material)) {
            why = "not sealed";
            return false;
        }
        held_.insert(k.key_id);
        return true;
    }
    bool activate(std::uint32_t, std::uint32_t key_id, std::string &why) override {
        std::lock_guard l(m_);
        if (held_.count(key_id) == 0) {
            why = "not held";
            return false;
        }
        active_ = key_id;
        return true;
    }
    bool remove(std::uint32_t, std::uint32_t key_id, std::string &why) override {
        std::lock_guard l(m_);
        if (active_ == key_id) {
            why = "active";
            return false;
        }
        held_.erase(key_id);
        deleted_.insert(key_id);
        return true;
    }
    void forget(std::uint32_t key_id) {
        std::lock_guard l(m_);
        deleted_.insert(key_id);
    }
    bool holds(std::uint32_t key_id) {
        std::lock_guard l(m_);
        return held_.count(key_id) != 0;
    }
    std::uint32_t active_key() {
        std::lock_guard l(m_);
        return active_;
    }

    int import_delay_ms = 0;

private:
    std::mutex m_;
    std::set<std::uint32_t> held_, deleted_;
    std::uint32_t active_ = 0;
};

// A node: its keystore outlives its agent, which can be stopped and started.
struct Node {
    std::string name;
    MemoryKeystore keystore{1};
    std::unique_ptr<fleet::EtcdClient> client;
    std::unique_ptr<Agent> agent;
    std::atomic<bool> stop{false};
    std::thread thread;
    std::atomic<int> ended{-1};

    void start(tvtest::EtcdCluster &cluster, std::int64_t ttl = 5) {
        stop = false;
        ended = -1;
        client = std::make_unique<fleet::EtcdClient>(cluster.client(name));
        fleet::AgentOptions o;
        o.node = name;
        o.role = kRole;
        o.lease_ttl_seconds = ttl;
        o.stop = &stop;
        agent = std::make_unique<Agent>(*client, Layout(kPrefix), keystore, o);
        thread = std::thread([this] { ended = static_cast<int>(agent->run()); });
    }
    void halt() {
        stop = true;
        if (thread.joinable()) thread.join();
        agent.reset();
        client.reset();
    }
    ~Node() { halt(); }
};

template <class F>
bool eventually(F f, int seconds = 60) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < until) {
        if (f()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

class FleetAgents : public ::testing::Test {
protected:
    void SetUp() override {
        client = std::make_unique<fleet::EtcdClient>(cluster.client());
        store = std::make_unique<FleetStore>(*client, Layout(kPrefix));
    }
    FleetState read() {
        auto r = store->read();
        EXPECT_TRUE(r.ok) << r.error.message;
        return r.value;
    }
    FleetKey key(std::uint32_t id) { return FleetKey{kRole, kDomain, id, KeyState::Staged, sealed_material(), "", 0}; }
    // `fleet rotate`'s steps: wait for every member's report, then decide.
    Verdict activate_when_held(std::uint32_t id, int seconds = 60) {
        Verdict v = Verdict::Waiting;
        eventually(
            [&] {
                auto d = store->activate(read(), kRole, kDomain, id);
                v = d.ok ? d.value.verdict : Verdict::Raced;
                return v == Verdict::Done || v == Verdict::Refused;
            },
            seconds);
        return v;
    }
    // NODE's report, as read now (a copy: the state read goes).
    std::optional<fleet::Report> report_of(const std::string &node) {
        const FleetState st = read();
        const fleet::Report *r = st.report(node, kRole);
        return r == nullptr ? std::nullopt : std::optional<fleet::Report>(*r);
    }
    bool reports_holding(const std::string &node, std::uint32_t id) {
        auto r = report_of(node);
        return r && r->holds(kDomain, id);
    }
    bool all_report_active(std::uint32_t id) {
        const FleetState st = read();
        for (const auto &[n, m] : st.members) {
            const fleet::Report *r = st.report(n, kRole);
            if (r == nullptr || r->active.count(kDomain) == 0 || r->active.at(kDomain) != id) return false;
        }
        return true;
    }

    tvtest::EtcdCluster cluster;
    std::unique_ptr<fleet::EtcdClient> client;
    std::unique_ptr<FleetStore> store;
};

TEST_F(FleetAgents, ARotationReachesEveryAgentAndNoMemberEverUsesAKeyAnotherLacks) {
    Node nodes[3];
    const char *names[] = {"a", "b", "c"};
    for (int i = 0; i < 3; ++i) {
        nodes[i].name = names[i];
        ASSERT_EQ(store->admit(names[i]).value.verdict, Verdict::Done);
    }
    ASSERT_EQ(store->stage(key(1)).value.verdict, Verdict::Done);
    nodes[2].keystore.import_delay_ms = 500;
    for (auto &n : nodes) n.start(cluster);
    ASSERT_EQ(activate_when_held(1), Verdict::Done);

    std::atomic<bool> checking{true};
    std::atomic<int> violations{0};
    std::thread checker([&] {
        while (checking) {
            for (auto &m : nodes)
                for (auto &n : nodes)
                    if (!n.keystore.holds(m.keystore.active_key())) violations++;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });

    // The coordinator's steps as `fleet rotate` takes them: it returns once
    // every member reports the key active, woken by its watch.
    fleet::RolloutOptions ro;
    ro.timeout_seconds = 120;
    for (std::uint32_t next : {2u, 3u}) {
        ASSERT_EQ(store->stage(key(next)).value.verdict, Verdict::Done);
        const auto done = fleet::activate_everywhere(*client, *store, kRole, kDomain, next, ro);
        ASSERT_EQ(done.end, fleet::RolloutResult::End::Done) << done.why;
        EXPECT_TRUE(all_report_active(next));
        for (auto &n : nodes) EXPECT_EQ(n.keystore.active_key(), next) << n.name;
    }
    // Retiring key 1: every agent deletes it (none uses it).
    ASSERT_EQ(fleet::retire_everywhere(*client, *store, kRole, kDomain, 1, ro).end, fleet::RolloutResult::End::Done);
    for (auto &n : nodes)
        EXPECT_TRUE(eventually([&] { return !n.keystore.holds(1); })) << n.name;
    checking = false;
    checker.join();
    EXPECT_EQ(violations.load(), 0);
    const FleetState st = read();
    for (const auto &r : st.reports) EXPECT_FALSE(r.holds(kDomain, 1)) << r.node;
}

TEST_F(FleetAgents, AStoppedAgentHoldsTheRolloutAndCatchesUpOnRestartAndARemovedOneStops) {
    Node a, b;
    a.name = "a";
    b.name = "b";
    for (Node *n : {&a, &b}) ASSERT_EQ(store->admit(n->name).value.verdict, Verdict::Done);
    ASSERT_EQ(store->stage(key(1)).value.verdict, Verdict::Done);
    a.start(cluster, 2);
    b.start(cluster);
    ASSERT_EQ(activate_when_held(1), Verdict::Done);

    // a's report lapses (as when cut off longer than its lease): it reports
    // again under a new lease by itself.
    ASSERT_TRUE(eventually([&] { return report_of("a").has_value(); }));
    const std::int64_t lease = report_of("a")->lease;
    ASSERT_TRUE(client->lease_revoke(lease).ok);
    EXPECT_TRUE(eventually([&] {
        auto r = report_of("a");
        return r && r->lease != lease;
    }));

    // a's agent is down: key 2 is staged, and the rollout waits for a.
    a.halt();
    ASSERT_TRUE(eventually([&] { return !report_of("a"); }));
    ASSERT_EQ(store->stage(key(2)).value.verdict, Verdict::Done);
    ASSERT_TRUE(eventually([&] { return reports_holding("b", 2); }));
    auto waiting = store->activate(read(), kRole, kDomain, 2);
    ASSERT_TRUE(waiting.ok);
    EXPECT_EQ(waiting.value.verdict, Verdict::Waiting);
    EXPECT_EQ(waiting.value.nodes, std::vector<std::string>{"a"});
    EXPECT_FALSE(a.keystore.holds(2));
    fleet::RolloutOptions brief;
    brief.timeout_seconds = 3;
    const auto held_up = fleet::activate_everywhere(*client, *store, kRole, kDomain, 2, brief);
    EXPECT_EQ(held_up.end, fleet::RolloutResult::End::TimedOut);
    EXPECT_EQ(held_up.waiting_for, std::vector<std::string>{"a"});
    EXPECT_EQ(read().find_key(kRole, kDomain, 2)->state, KeyState::Staged);

    // Restarted, it catches up from the current state and the rollout ends.
    a.start(cluster);
    ASSERT_EQ(activate_when_held(2), Verdict::Done);
    EXPECT_TRUE(eventually([&] { return all_report_active(2); }));
    EXPECT_EQ(a.keystore.active_key(), 2u);

    // A key b deleted earlier is refused there: its rollout waits for b,
    // and b's removal lets it go on; b's agent stops.
    b.keystore.forget(3);
    ASSERT_EQ(store->stage(key(3)).value.verdict, Verdict::Done);
    ASSERT_TRUE(eventually([&] { return reports_holding("a", 3); }));
    waiting = store->activate(read(), kRole, kDomain, 3);
    ASSERT_TRUE(waiting.ok);
    EXPECT_EQ(waiting.value.verdict, Verdict::Waiting);
    EXPECT_EQ(waiting.value.nodes, std::vector<std::string>{"b"});
    ASSERT_EQ(store->remove("b").value.verdict, Verdict::Done);
    EXPECT_TRUE(eventually([&] { return b.ended.load() == static_cast<int>(Agent::End::Removed); }));
    ASSERT_EQ(activate_when_held(3), Verdict::Done);
    EXPECT_TRUE(eventually([&] { return a.keystore.active_key() == 3u; }));
    EXPECT_EQ(b.keystore.active_key(), 2u);
}

TEST_F(FleetAgents, AnAgentWaitsForItsAdmissionAndThenJoinsEveryKeyBeforeReporting) {
    ASSERT_EQ(store->admit("a").value.verdict, Verdict::Done);
    ASSERT_EQ(store->stage(key(1)).value.verdict, Verdict::Done);
    Node a, late;
    a.name = "a";
    late.name = "late";
    a.start(cluster);
    ASSERT_EQ(activate_when_held(1), Verdict::Done);
    ASSERT_EQ(store->stage(key(2)).value.verdict, Verdict::Done);
    ASSERT_EQ(activate_when_held(2), Verdict::Done);

    // A new node's keystore has a key of its own (1 here stands for what it
    // was made with); not admitted, its agent does nothing.
    late.start(cluster);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_FALSE(report_of("late"));
    EXPECT_FALSE(late.keystore.holds(2));
    ASSERT_EQ(store->admit("late").value.verdict, Verdict::Done);
    ASSERT_TRUE(eventually([&] { return reports_holding("late", 2); }));
    // Its first report already holds the fleet's keys with the active one in use.
    const FleetState st = read();
    const fleet::Report *r = st.report("late", kRole);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->active.at(kDomain), 2u);
    EXPECT_TRUE(r->holds(kDomain, 1));
}

}  // namespace
