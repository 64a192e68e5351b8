/* SPDX-License-Identifier: Apache-2.0 */
// The fleet's state under its prefix, against a real three-member cluster:
// what is written reads back, only sealed material goes in, and the rollout's
// rule: a key is activated (an old one retired) only when every admitted
// member's report says so, decided on the revision it was read at, so an
// admission, a lapsed report or a rival decision after the read makes the
// decision lose instead of activating early.
#include <gtest/gtest.h>

#include <thread>

#include "etcd_client.h"
#include "etcd_cluster.h"
#include "fleet_layout.h"
#include "fleet_store.h"

namespace {

using fleet::Decision;
using fleet::FleetKey;
using fleet::FleetState;
using fleet::FleetStore;
using fleet::KeyState;
using fleet::Layout;
using fleet::Report;
using Verdict = fleet::Decision::Verdict;

const std::string kPrefix = "/telmor/vaq/fleet/";
const std::string kRole = "agent";
constexpr std::uint32_t kDomain = 7;

// An export file's header as `export --wrap-with` writes it (format 2, kind
// 2, the token key's URI after the 64-byte fixed header), with stand-in
// sealed bytes after it: the store looks at the header only, and the key
// library verifies the whole file when a node imports it.
std::string sealed_material(std::uint16_t version = 2, std::uint16_t kind = 2) {
    const std::string uri = "pkcs11:token=fleet;object=fleet-kek";
    std::string b(64, '\0');
    b.replace(0, 8, "HXBVAQEX");
    b[8] = static_cast<char>(version);
    b[10] = static_cast<char>(kind);
    b[12] = static_cast<char>(uri.size());
    b[44] = 1;   // one key
    return b + uri + std::string(96, '\x5a');
}

FleetKey key(std::uint32_t id) {
    FleetKey k;
    k.role = kRole;
    k.domain = kDomain;
    k.key_id = id;
    k.material = sealed_material();
    return k;
}

Report report(const std::string &node, std::vector<std::uint32_t> held, std::uint32_t active) {
    Report r;
    r.node = node;
    r.role = kRole;
    for (auto id : held) r.held.push_back({kDomain, id});
    if (active != 0) r.active[kDomain] = active;
    r.applied_revision = 1;
    return r;
}

FleetState must_read(FleetStore &s) {
    auto r = s.read();
    EXPECT_TRUE(r.ok) << r.error.message;
    return r.value;
}

Decision must(const fleet::Outcome<Decision> &d) {
    EXPECT_TRUE(d.ok) << d.error.message;
    return d.value;
}

void must_report(FleetStore &s, const Report &r, std::int64_t lease = 0) {
    auto put = s.put_report(r, lease);
    ASSERT_TRUE(put.ok) << put.error.message;
}

const FleetKey &key_in(const FleetState &st, std::uint32_t id) {
    const FleetKey *k = st.find_key(kRole, kDomain, id);
    EXPECT_NE(k, nullptr) << "key " << id;
    static const FleetKey none;
    return k != nullptr ? *k : none;
}

// A fleet of members a and b with key 1 active everywhere.
void fleet_with_key1(FleetStore &s) {
    ASSERT_EQ(must(s.admit("a")).verdict, Verdict::Done);
    ASSERT_EQ(must(s.admit("b")).verdict, Verdict::Done);
    ASSERT_EQ(must(s.stage(key(1))).verdict, Verdict::Done);
    must_report(s, report("a", {1}, 1));
    must_report(s, report("b", {1}, 1));
    ASSERT_EQ(must(s.activate(must_read(s), kRole, kDomain, 1)).verdict, Verdict::Done);
}

TEST(FleetStore, ReadsBackWhatWasWrittenAndNamesWhatItCannotRead) {
    tvtest::EtcdCluster cluster;
    fleet::EtcdClient client(cluster.client());
    FleetStore s(client, Layout(kPrefix));

    EXPECT_EQ(must(s.admit("node-a.example")).verdict, Verdict::Done);
    EXPECT_EQ(must(s.admit("node-a.example")).verdict, Verdict::Already);
    for (const char *bad : {"", "a/b", "..", "node a", "n\n", "x\xc3\xa9"})
        EXPECT_EQ(must(s.admit(bad)).verdict, Verdict::Refused) << bad;
    EXPECT_EQ(must(s.stage(key(4000000000u))).verdict, Verdict::Done);
    Report r = report("node-a.example", {4000000000u, 3}, 3);
    r.active[9] = 12;
    must_report(s, r);

    // Around it: a value this version cannot read, a report filed under
    // another node's name than its own, and a key outside the prefix.
    ASSERT_TRUE(client.put(kPrefix + "members/c", "not json").ok);
    ASSERT_TRUE(client.put(kPrefix + "reports/c/agent", fleet::encode_report(report("node-a.example", {}, 0))).ok);
    ASSERT_TRUE(client.put("/telmor/vaq/fleet-other/members/d", fleet::encode_member({"d", "", 0})).ok);
    // A key record whose material is not sealed is not taken either.
    FleetKey clear = key(5);
    clear.material = "thirty-two bytes of a clear key!";
    ASSERT_TRUE(client.put(s.layout().key(kRole, kDomain, 5), fleet::encode_key(clear)).ok);

    const FleetState st = must_read(s);
    ASSERT_EQ(st.members.size(), 1u);
    EXPECT_TRUE(st.admitted("node-a.example"));
    EXPECT_FALSE(st.members.at("node-a.example").admitted_at.empty());
    ASSERT_EQ(st.keys.size(), 1u);
    EXPECT_EQ(st.keys[0].key_id, 4000000000u);
    EXPECT_EQ(st.keys[0].state, KeyState::Staged);
    EXPECT_EQ(st.keys[0].material, sealed_material());
    ASSERT_EQ(st.reports.size(), 1u);
    const Report *got = st.report("node-a.example", kRole);
    ASSERT_NE(got, nullptr);
    EXPECT_TRUE(got->holds(kDomain, 4000000000u));
    EXPECT_TRUE(got->holds(kDomain, 3));
    EXPECT_FALSE(got->holds(kDomain, 4));
    EXPECT_EQ(got->active, (std::map<std::uint32_t, std::uint32_t>{{kDomain, 3}, {9, 12}}));
    EXPECT_FALSE(got->at.empty());
    EXPECT_EQ(st.unreadable, (std::vector<std::string>{kPrefix + "keys/agent/7/5", kPrefix + "members/c",
                                                        kPrefix + "reports/c/agent"}));
}

TEST(FleetStore, OnlyMaterialSealedToATokenKeyIsStagedAndARetiredKeyNeverAgain) {
    tvtest::EtcdCluster cluster;
    fleet::EtcdClient client(cluster.client());
    FleetStore s(client, Layout(kPrefix));

    struct Case {
        const char *what;
        std::string material;
    } cases[] = {
        {"a password export", sealed_material(2, 1)},
        {"a clear key", std::string(32, '\x11')},
        {"nothing", ""},
        {"a header alone", sealed_material().substr(0, 64)},
    };
    for (const auto &c : cases) {
        FleetKey k = key(2);
        k.material = c.material;
        const Decision d = must(s.stage(k));
        EXPECT_EQ(d.verdict, Verdict::Refused) << c.what;
        EXPECT_NE(d.why.find("not an export sealed to a token key"), std::string::npos) << d.why;
    }
    EXPECT_TRUE(must_read(s).keys.empty());

    fleet_with_key1(s);
    ASSERT_EQ(must(s.stage(key(2))).verdict, Verdict::Done);
    EXPECT_EQ(must(s.stage(key(2))).verdict, Verdict::Already);
    const Decision again = must(s.stage(key(1)));
    EXPECT_EQ(again.verdict, Verdict::Refused);
    EXPECT_NE(again.why.find("(active)"), std::string::npos) << again.why;
    EXPECT_EQ(key_in(must_read(s), 1).state, KeyState::Active);
}

TEST(FleetStore, AKeyIsActivatedOnlyWhenEveryAdmittedMemberReportsHoldingIt) {
    tvtest::EtcdCluster cluster;
    fleet::EtcdClient client(cluster.client());
    FleetStore s(client, Layout(kPrefix));
    fleet_with_key1(s);
    ASSERT_EQ(must(s.stage(key(2))).verdict, Verdict::Done);

    must_report(s, report("a", {1, 2}, 1));
    // A node that is not a member (never admitted, or removed) does not count.
    must_report(s, report("c", {1, 2}, 1));
    Decision d = must(s.activate(must_read(s), kRole, kDomain, 2));
    EXPECT_EQ(d.verdict, Verdict::Waiting);
    EXPECT_EQ(d.nodes, std::vector<std::string>{"b"});

    // b reports; then, after the read, d is admitted: the decision taken on
    // the read loses, and the next read waits for d.
    must_report(s, report("b", {1, 2}, 1));
    FleetState before_admission = must_read(s);
    ASSERT_EQ(must(s.admit("d")).verdict, Verdict::Done);
    EXPECT_EQ(must(s.activate(before_admission, kRole, kDomain, 2)).verdict, Verdict::Raced);
    d = must(s.activate(must_read(s), kRole, kDomain, 2));
    EXPECT_EQ(d.verdict, Verdict::Waiting);
    EXPECT_EQ(d.nodes, std::vector<std::string>{"d"});

    // d reports under a lease that lapses after the read: it loses again.
    auto lease = client.lease_grant(30);
    ASSERT_TRUE(lease.ok) << lease.error.message;
    must_report(s, report("d", {1, 2}, 1), lease.value);
    FleetState before_lapse = must_read(s);
    ASSERT_TRUE(client.lease_revoke(lease.value).ok);
    EXPECT_EQ(must(s.activate(before_lapse, kRole, kDomain, 2)).verdict, Verdict::Raced);
    EXPECT_EQ(key_in(must_read(s), 2).state, KeyState::Staged);

    // Removing d (a node lost for good) lets the rollout go on.
    EXPECT_EQ(must(s.remove("d")).verdict, Verdict::Done);
    EXPECT_EQ(must(s.remove("d")).verdict, Verdict::Already);
    d = must(s.activate(must_read(s), kRole, kDomain, 2));
    ASSERT_EQ(d.verdict, Verdict::Done);
    const FleetState after = must_read(s);
    EXPECT_EQ(key_in(after, 2).state, KeyState::Active);
    EXPECT_EQ(key_in(after, 1).state, KeyState::Old);
    EXPECT_EQ(key_in(after, 1).material, sealed_material());   // still imported by late joiners
    EXPECT_EQ(after.active_key(kRole, kDomain)->key_id, 2u);
    EXPECT_EQ(must(s.activate(after, kRole, kDomain, 2)).verdict, Verdict::Already);
    EXPECT_EQ(must(s.activate(after, kRole, kDomain, 1)).verdict, Verdict::Refused);
}

TEST(FleetStore, OfTwoCoordinatorsDecidingOnOneReadExactlyOneActivates) {
    tvtest::EtcdCluster cluster;
    fleet::EtcdClient client(cluster.client());
    FleetStore s(client, Layout(kPrefix));
    fleet_with_key1(s);
    ASSERT_EQ(must(s.stage(key(2))).verdict, Verdict::Done);
    ASSERT_EQ(must(s.stage(key(3))).verdict, Verdict::Done);
    must_report(s, report("a", {1, 2, 3}, 1));
    must_report(s, report("b", {1, 2, 3}, 1));
    const FleetState st = must_read(s);

    Decision two, three;
    std::thread t2([&] {
        fleet::EtcdClient c(cluster.client("x", {cluster.endpoint(0)}));
        FleetStore own(c, Layout(kPrefix));
        two = must(own.activate(st, kRole, kDomain, 2));
    });
    std::thread t3([&] {
        fleet::EtcdClient c(cluster.client("y", {cluster.endpoint(1)}));
        FleetStore own(c, Layout(kPrefix));
        three = must(own.activate(st, kRole, kDomain, 3));
    });
    t2.join();
    t3.join();
    EXPECT_EQ((two.verdict == Verdict::Done) + (three.verdict == Verdict::Done), 1);
    EXPECT_EQ((two.verdict == Verdict::Raced) + (three.verdict == Verdict::Raced), 1);
    int active = 0;
    for (const auto &k : must_read(s).keys) active += k.state == KeyState::Active;
    EXPECT_EQ(active, 1);
}

TEST(FleetStore, AnOldKeyIsRetiredOnlyOnceEveryMemberReportsAnotherActive) {
    tvtest::EtcdCluster cluster;
    fleet::EtcdClient client(cluster.client());
    FleetStore s(client, Layout(kPrefix));
    fleet_with_key1(s);
    ASSERT_EQ(must(s.stage(key(2))).verdict, Verdict::Done);
    EXPECT_EQ(must(s.retire(must_read(s), kRole, kDomain, 1)).verdict, Verdict::Refused);   // still active
    must_report(s, report("a", {1, 2}, 1));
    must_report(s, report("b", {1, 2}, 1));
    ASSERT_EQ(must(s.activate(must_read(s), kRole, kDomain, 2)).verdict, Verdict::Done);

    must_report(s, report("a", {1, 2}, 2));
    Decision d = must(s.retire(must_read(s), kRole, kDomain, 1));
    EXPECT_EQ(d.verdict, Verdict::Waiting);
    EXPECT_EQ(d.nodes, std::vector<std::string>{"b"});
    EXPECT_EQ(must(s.retire(must_read(s), kRole, kDomain, 2)).verdict, Verdict::Refused);   // the active one

    must_report(s, report("b", {1, 2}, 2));
    ASSERT_EQ(must(s.retire(must_read(s), kRole, kDomain, 1)).verdict, Verdict::Done);
    const FleetState st = must_read(s);
    EXPECT_EQ(key_in(st, 1).state, KeyState::Retired);
    EXPECT_TRUE(key_in(st, 1).material.empty());
    EXPECT_TRUE(st.unreadable.empty());
    EXPECT_EQ(must(s.retire(st, kRole, kDomain, 1)).verdict, Verdict::Already);
    EXPECT_EQ(must(s.stage(key(1))).verdict, Verdict::Refused);
    EXPECT_EQ(must(s.activate(st, kRole, kDomain, 1)).verdict, Verdict::Refused);
}

TEST(FleetStore, ANodesUserWritesOnlyItsOwnReportAndTheOperatorsTheRest) {
    tvtest::EtcdCluster cluster;
    ASSERT_EQ(cluster.etcdctl("role add node-a"), 0);
    ASSERT_EQ(cluster.etcdctl("role grant-permission node-a read " + kPrefix + " --prefix=true"), 0);
    ASSERT_EQ(cluster.etcdctl("role grant-permission node-a readwrite " + kPrefix + "reports/a/ --prefix=true"), 0);
    ASSERT_EQ(cluster.etcdctl("user add node-a --new-user-password='a-secret'"), 0);
    ASSERT_EQ(cluster.etcdctl("user grant-role node-a node-a"), 0);
    ASSERT_EQ(cluster.etcdctl("role add fleet-operator"), 0);
    ASSERT_EQ(cluster.etcdctl("role grant-permission fleet-operator readwrite " + kPrefix + " --prefix=true"), 0);
    ASSERT_EQ(cluster.etcdctl("user add operator --new-user-password='op-secret'"), 0);
    ASSERT_EQ(cluster.etcdctl("user grant-role operator fleet-operator"), 0);
    cluster.enable_auth("root-secret");

    fleet::EtcdConfig op_config = cluster.client("operator");
    op_config.user = "operator";
    op_config.password = "op-secret";
    fleet::EtcdClient op_client(op_config);
    FleetStore op(op_client, Layout(kPrefix));
    fleet_with_key1(op);
    ASSERT_EQ(must(op.stage(key(2))).verdict, Verdict::Done);

    fleet::EtcdConfig a_config = cluster.client("node-a");
    a_config.user = "node-a";
    a_config.password = "a-secret";
    fleet::EtcdClient a_client(a_config);
    FleetStore a(a_client, Layout(kPrefix));
    EXPECT_EQ(must_read(a).keys.size(), 2u);
    auto own = a.put_report(report("a", {1, 2}, 1), 0);
    EXPECT_TRUE(own.ok) << own.error.message;

    // b has reported too (written by the operator here), so a's activation
    // below would be made if a's user could write it.
    must_report(op, report("b", {1, 2}, 1));

    // What a node's user cannot do: report for another, or change the fleet.
    auto other = a.put_report(report("b", {1, 2}, 1), 0);
    EXPECT_FALSE(other.ok);
    EXPECT_EQ(other.error.kind, fleet::EtcdError::Kind::Refused) << other.error.message;
    for (const auto &attempt : {a.admit("e"), a.stage(key(3)), a.activate(must_read(a), kRole, kDomain, 2)}) {
        EXPECT_FALSE(attempt.ok);
        EXPECT_EQ(attempt.error.kind, fleet::EtcdError::Kind::Refused) << attempt.error.message;
    }
    const FleetState st = must_read(op);
    EXPECT_EQ(key_in(st, 2).state, KeyState::Staged);
    EXPECT_FALSE(st.admitted("e"));
    EXPECT_EQ(st.find_key(kRole, kDomain, 3), nullptr);
    EXPECT_TRUE(lacking(st, kRole, kDomain, 2).empty());
}

}  // namespace
