/* SPDX-License-Identifier: Apache-2.0 */
// The fleet's etcd seam against a real three-member cluster on the loopback
// address, with mutual TLS: reads and writes, transactions that lose their
// race, leases that lapse, a watch through a member's death and through
// compaction, and the refusals of TLS and of etcd's users.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "etcd_client.h"
#include "etcd_cluster.h"

namespace {

using fleet::Compare;
using fleet::EtcdClient;
using fleet::EtcdError;
using fleet::TxnOp;
using fleet::WatchEnd;
using fleet::WatchEvent;

// What a watch running in a thread has seen. Waits are bounded only against
// a hang.
class Watcher {
public:
    Watcher(EtcdClient &client, std::string prefix, std::int64_t from, fleet::WatchOptions options = {})
        : options_(std::move(options)) {
        options_.stop = &stop_;
        options_.on_lost = [this](const EtcdError &) {
            std::lock_guard lock(mutex_);
            losses_++;
        };
        thread_ = std::thread([this, &client, prefix, from] {
            WatchEnd end = client.watch(
                prefix, from,
                [this](const std::vector<WatchEvent> &events, std::int64_t) {
                    std::lock_guard lock(mutex_);
                    for (const auto &e : events) events_.push_back(e);
                    changed_.notify_all();
                    return true;
                },
                options_);
            std::lock_guard lock(mutex_);
            end_ = end;
            done_ = true;
            changed_.notify_all();
        });
    }
    ~Watcher() {
        stop_ = true;
        thread_.join();
    }
    bool wait_for_events(std::size_t n) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(120), [&] { return events_.size() >= n || done_; }) &&
               events_.size() >= n;
    }
    bool wait_for_end() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(120), [&] { return done_; });
    }
    std::vector<WatchEvent> events() {
        std::lock_guard lock(mutex_);
        return events_;
    }
    WatchEnd end() {
        std::lock_guard lock(mutex_);
        return end_;
    }
    int losses() {
        std::lock_guard lock(mutex_);
        return losses_;
    }

private:
    fleet::WatchOptions options_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<WatchEvent> events_;
    WatchEnd end_;
    bool done_ = false;
    int losses_ = 0;
    std::thread thread_;
};

// A write the cluster could not decide (a member just died: no leader yet)
// is read back and asked again, as the fleet's commands will.
std::int64_t must_put(EtcdClient &c, const std::string &k, const std::string &v, std::int64_t lease = 0) {
    // Each key a test writes this way is written once, so one that was
    // applied after all is seen by its key and not made twice.
    auto r = c.put(k, v, lease);
    for (int i = 0; i < 5 && !r.ok && r.error.kind == EtcdError::Kind::Undecided; i++) {
        auto seen = c.get(k);
        if (seen.ok && !seen.value.kvs.empty() && seen.value.kvs[0].value == v) return seen.value.kvs[0].mod_revision;
        r = c.put(k, v, lease);
    }
    EXPECT_TRUE(r.ok) << r.error.message;
    return r.value;
}

TEST(EtcdSeam, ReadsAPrefixAndDecidesOnTheRevisionItRead) {
    tvtest::EtcdCluster cluster;
    EtcdClient c(cluster.client());
    must_put(c, "/f/members/a", "1");
    must_put(c, "/f/members/b", std::string("\0\xff bytes", 8));   // values are bytes, not text
    must_put(c, "/f0", "outside");                                 // the byte after the prefix's range
    must_put(c, "/f/members/a", "2");

    auto read = c.range_prefix("/f/members/");
    ASSERT_TRUE(read.ok) << read.error.message;
    ASSERT_EQ(read.value.kvs.size(), 2u);
    EXPECT_EQ(read.value.kvs[0].key, "/f/members/a");
    EXPECT_EQ(read.value.kvs[0].value, "2");
    EXPECT_EQ(read.value.kvs[0].version, 2);
    EXPECT_LT(read.value.kvs[0].create_revision, read.value.kvs[0].mod_revision);
    EXPECT_EQ(read.value.kvs[1].value, std::string("\0\xff bytes", 8));
    const std::int64_t R = read.value.revision;
    EXPECT_EQ(R, read.value.kvs[0].mod_revision);

    // Decided on what was read at R: holds while no member key changed since.
    const Compare unchanged{"/f/members/", fleet::prefix_end("/f/members/"), Compare::Target::Mod,
                            Compare::Result::Less, R + 1};
    auto won = c.txn({unchanged}, {{TxnOp::Kind::Put, "/f/keys/1", "active", "", 0}});
    ASSERT_TRUE(won.ok) << won.error.message;
    EXPECT_TRUE(won.value.succeeded);

    // A member admitted after the read: the same decision loses, writes nothing
    // of its success branch, and runs its failure branch.
    EtcdClient other(cluster.client("other", {cluster.endpoint(2)}));
    must_put(other, "/f/members/c", "3");
    auto lost = c.txn({unchanged}, {{TxnOp::Kind::Put, "/f/keys/2", "active", "", 0}},
                      {{TxnOp::Kind::Put, "/f/lost", "yes", "", 0}});
    ASSERT_TRUE(lost.ok) << lost.error.message;
    EXPECT_FALSE(lost.value.succeeded);
    auto k2 = c.get("/f/keys/2");
    ASSERT_TRUE(k2.ok);
    EXPECT_TRUE(k2.value.kvs.empty());
    auto l = c.get("/f/lost");
    ASSERT_TRUE(l.ok);
    ASSERT_EQ(l.value.kvs.size(), 1u);

    // A compare on creation (the key exists), and a range deleted.
    auto del = c.txn({{"/f/keys/1", "", Compare::Target::Create, Compare::Result::Greater, 0}},
                     {{TxnOp::Kind::Delete, "/f/keys/", "", fleet::prefix_end("/f/keys/"), 0}});
    ASSERT_TRUE(del.ok);
    EXPECT_TRUE(del.value.succeeded);
    EXPECT_TRUE(c.range_prefix("/f/keys/").value.kvs.empty());
}

TEST(EtcdSeam, OfRacersCreatingOneKeyExactlyOneWins) {
    tvtest::EtcdCluster cluster;
    constexpr int kRacers = 8;
    std::atomic<int> wins{0}, answers{0};
    std::vector<fleet::EtcdConfig> configs;
    for (int i = 0; i < kRacers; i++)   // each through another member: the cluster decides the race
        configs.push_back(cluster.client("racer", {cluster.endpoint(i % cluster.size())}));
    std::vector<std::thread> racers;
    for (int i = 0; i < kRacers; i++)
        racers.emplace_back([&, i] {
            EtcdClient c(configs[static_cast<std::size_t>(i)]);
            auto r = c.txn({{"/f/coordinator", "", Compare::Target::Create, Compare::Result::Equal, 0}},
                           {{TxnOp::Kind::Put, "/f/coordinator", "racer " + std::to_string(i), "", 0}});
            if (r.ok) answers++;
            if (r.ok && r.value.succeeded) wins++;
        });
    for (auto &t : racers) t.join();
    EXPECT_EQ(answers.load(), kRacers);
    EXPECT_EQ(wins.load(), 1);
    EtcdClient c(cluster.client());
    auto v = c.get("/f/coordinator");
    ASSERT_TRUE(v.ok);
    ASSERT_EQ(v.value.kvs.size(), 1u);
    EXPECT_EQ(v.value.kvs[0].version, 1);   // written once
}

TEST(EtcdSeam, AReportUnderALeaseNotKeptAliveLapsesAndARevokedOneGoesAtOnce) {
    tvtest::EtcdCluster cluster;
    EtcdClient c(cluster.client());
    auto lease = c.lease_grant(2);
    ASSERT_TRUE(lease.ok) << lease.error.message;
    const std::int64_t put_rev = must_put(c, "/f/reports/a", "report", lease.value);
    auto alive = c.lease_keep_alive(lease.value);
    ASSERT_TRUE(alive.ok) << alive.error.message;
    EXPECT_GT(alive.value, 0);
    {
        Watcher w(c, "/f/reports/", put_rev + 1);
        ASSERT_TRUE(w.wait_for_events(1)) << "the report did not lapse";
        auto events = w.events();
        EXPECT_EQ(events[0].type, WatchEvent::Type::Delete);
        EXPECT_EQ(events[0].kv.key, "/f/reports/a");
    }
    auto after = c.lease_keep_alive(lease.value);
    ASSERT_TRUE(after.ok) << after.error.message;
    EXPECT_EQ(after.value, 0) << "a lapsed lease is answered as lapsed";
    auto refused = c.put("/f/reports/a", "again", lease.value);
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.error.kind, EtcdError::Kind::Failed);

    auto second = c.lease_grant(60);
    ASSERT_TRUE(second.ok);
    must_put(c, "/f/reports/b", "report", second.value);
    ASSERT_TRUE(c.lease_revoke(second.value).ok);
    EXPECT_TRUE(c.get("/f/reports/b").value.kvs.empty());
}

TEST(EtcdSeam, AWatchGoesOnThroughTheDeathOfItsMemberWithNoEventMissedOrRepeated) {
    tvtest::EtcdCluster cluster;
    // The watch starts on member 0, the first of its endpoints; writes go
    // through member 2.
    EtcdClient watching(cluster.client("agent", {cluster.endpoint(0), cluster.endpoint(1), cluster.endpoint(2)}));
    EtcdClient writing(cluster.client("operator", {cluster.endpoint(2)}));
    const std::int64_t start = must_put(writing, "/f/keys/0", "before the watch");
    Watcher w(watching, "/f/keys/", start + 1);
    for (int i = 1; i <= 5; i++) must_put(writing, "/f/keys/" + std::to_string(i), "v");
    ASSERT_TRUE(w.wait_for_events(5));

    cluster.kill(0);
    for (int i = 6; i <= 10; i++) must_put(writing, "/f/keys/" + std::to_string(i), "v");
    ASSERT_TRUE(w.wait_for_events(10)) << "the watch did not go on after its member died";
    EXPECT_GE(w.losses(), 1) << "the lost stream was not told";

    // One more member restart, of the one it moved to, while writes go on.
    cluster.restart(0);
    for (int i = 11; i <= 12; i++) must_put(writing, "/f/keys/" + std::to_string(i), "v");
    ASSERT_TRUE(w.wait_for_events(12));
    auto events = w.events();
    ASSERT_EQ(events.size(), 12u);
    for (std::size_t i = 0; i < events.size(); i++) {
        EXPECT_EQ(events[i].kv.key, "/f/keys/" + std::to_string(i + 1));
        EXPECT_EQ(events[i].kv.mod_revision, start + 1 + static_cast<std::int64_t>(i));
    }
}

TEST(EtcdSeam, AWatchEndsSayingWhyWhenItCannotGoOn) {
    tvtest::EtcdCluster cluster;
    EtcdClient c(cluster.client());
    std::int64_t last = 0;
    for (int i = 0; i < 4; i++) last = must_put(c, "/f/keys/a", std::to_string(i));
    cluster.compact(last);
    {
        // From a compacted revision: the caller must read the state anew.
        Watcher w(c, "/f/", 2);
        ASSERT_TRUE(w.wait_for_end());
        EXPECT_EQ(w.end().why, WatchEnd::Why::Compacted);
        EXPECT_EQ(w.end().compact_revision, last);
        EXPECT_TRUE(w.events().empty());
    }
    {
        // Not asked to resume: the first loss ends it, with where to go on from.
        EtcdClient one(cluster.client("agent", {cluster.endpoint(1)}));
        fleet::WatchOptions no_resume;
        no_resume.resume_after_loss = false;
        Watcher w(one, "/f/", last + 1, no_resume);
        const std::int64_t rev = must_put(c, "/f/keys/b", "x");
        ASSERT_TRUE(w.wait_for_events(1));
        cluster.kill(1);
        ASSERT_TRUE(w.wait_for_end());
        EXPECT_EQ(w.end().why, WatchEnd::Why::Lost);
        EXPECT_EQ(w.end().error.kind, EtcdError::Kind::Unreachable);
        EXPECT_EQ(w.end().next_revision, rev + 1);
    }
}

// A listener on the loopback address that takes each request and closes the
// connection without an answer, as a member does that dies with a request
// in hand; or, closed, a port where nothing listens.
class Swallower {
public:
    explicit Swallower(bool listening) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        EXPECT_EQ(getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len), 0);
        port_ = ntohs(a.sin_port);
        if (!listening) {
            close(fd_);
            fd_ = -1;
            return;
        }
        EXPECT_EQ(listen(fd_, 8), 0);
        thread_ = std::thread([this] {
            for (;;) {
                int c = accept(fd_, nullptr, nullptr);
                if (c < 0) return;
                char buf[4096];
                (void)!read(c, buf, sizeof buf);
                close(c);
            }
        });
    }
    ~Swallower() {
        if (fd_ >= 0) {
            shutdown(fd_, SHUT_RDWR);
            close(fd_);
        }
        if (thread_.joinable()) thread_.join();
    }
    std::string endpoint() const { return "http://127.0.0.1:" + std::to_string(port_); }

private:
    int fd_ = -1;
    int port_ = 0;
    std::thread thread_;
};

TEST(EtcdSeam, AWriteThatMayHaveReachedAMemberIsNotSentToAnother) {
    tvtest::EtcdCluster cluster;
    EtcdClient direct(cluster.client());
    struct Case {
        const char *what;
        bool listening;              // the first endpoint took the request (or refused the connection)
        EtcdError::Kind write_kind;  // what a write is answered
    };
    const Case cases[] = {{"a member that took the request and died", true, EtcdError::Kind::Undecided},
                          {"a member that was not there", false, EtcdError::Kind::Failed}};
    int n = 0;
    for (const auto &c : cases) {
        Swallower first(c.listening);
        EtcdClient client(cluster.client("agent", {first.endpoint(), cluster.endpoint(0)}));
        const std::string key = "/f/w" + std::to_string(n++);
        auto write = client.put(key, "x");
        auto txn = client.txn({{key, "", Compare::Target::Create, Compare::Result::Equal, 0}},
                              {{TxnOp::Kind::Put, key, "y", "", 0}});
        if (c.write_kind == EtcdError::Kind::Undecided) {
            EXPECT_FALSE(write.ok) << c.what;
            EXPECT_EQ(write.error.kind, EtcdError::Kind::Undecided) << c.what << ": " << write.error.message;
            EXPECT_FALSE(txn.ok) << c.what;
            EXPECT_EQ(txn.error.kind, EtcdError::Kind::Undecided) << c.what;
            EXPECT_TRUE(direct.get(key).value.kvs.empty()) << c.what << ": sent on to another member";
        } else {
            // Nothing was sent: the write goes on to the next member.
            EXPECT_TRUE(write.ok) << c.what << ": " << write.error.message;
            ASSERT_TRUE(txn.ok) << c.what;
            EXPECT_FALSE(txn.value.succeeded) << c.what;
        }
        // A read is always asked again elsewhere.
        auto read = client.get(key);
        EXPECT_TRUE(read.ok) << c.what << ": " << read.error.message;
    }
}

TEST(EtcdSeam, OnlyAClientWithACertificateOfTheFleetsCaGetsIn) {
    tvtest::EtcdCluster cluster;
    EtcdClient good(cluster.client());
    ASSERT_TRUE(good.put("/f/x", "1").ok);

    struct Case {
        const char *what;
        fleet::EtcdConfig config;
    };
    fleet::EtcdConfig no_cert = cluster.client();
    no_cert.cert_file.clear();
    no_cert.key_file.clear();
    fleet::EtcdConfig no_ca = cluster.client();
    no_ca.ca_file = "/nonexistent/ca.pem";
    fleet::EtcdConfig plain = cluster.client();
    for (auto &e : plain.endpoints) e.replace(0, 5, "http");
    std::vector<Case> cases = {{"no client certificate", no_cert},
                               {"a certificate of another CA", cluster.stranger()},
                               {"the members' CA not known", no_ca},
                               {"no TLS", plain}};
    for (auto &c : cases) {
        c.config.request_timeout_ms = 3000;
        EtcdClient client(c.config);
        // A read is tried on every member; each refuses it.
        auto read = client.get("/f/x");
        EXPECT_FALSE(read.ok) << c.what;
        EXPECT_EQ(read.error.kind, EtcdError::Kind::Unreachable) << c.what << ": " << read.error.message;
        // A write too (without TLS it went out in the clear, so whether it
        // was taken cannot be known from the answer: read below).
        auto write = client.put("/f/x", "2");
        EXPECT_FALSE(write.ok) << c.what;
    }
    auto v = good.get("/f/x");
    ASSERT_TRUE(v.ok);
    EXPECT_EQ(v.value.kvs.at(0).value, "1");
}

TEST(EtcdSeam, AnEtcdUserMayWriteOnlyWhatItsRoleGrants) {
    tvtest::EtcdCluster cluster;
    // A node's user: reads the fleet, writes only its own report.
    ASSERT_EQ(cluster.etcdctl("role add node-a"), 0);
    ASSERT_EQ(cluster.etcdctl("role grant-permission node-a read /fleet/ --prefix=true"), 0);
    ASSERT_EQ(cluster.etcdctl("role grant-permission node-a readwrite /fleet/reports/node-a/ --prefix=true"), 0);
    ASSERT_EQ(cluster.etcdctl("user add node-a --new-user-password='a-secret'"), 0);
    ASSERT_EQ(cluster.etcdctl("user grant-role node-a node-a"), 0);
    cluster.enable_auth("root-secret");

    fleet::EtcdConfig as_root = cluster.client("root");
    as_root.user = "root";
    as_root.password = "root-secret";
    EtcdClient root(as_root);
    auto staged = root.put("/fleet/keys/1", "staged");
    ASSERT_TRUE(staged.ok) << staged.error.message;

    fleet::EtcdConfig as_a = cluster.client("node-a");
    as_a.user = "node-a";
    as_a.password = "a-secret";
    EtcdClient a(as_a);
    auto own = a.put("/fleet/reports/node-a/report", "holds 1");
    EXPECT_TRUE(own.ok) << own.error.message;
    auto read = a.range_prefix("/fleet/");
    ASSERT_TRUE(read.ok) << read.error.message;
    EXPECT_EQ(read.value.kvs.size(), 2u);

    {
        // A watch of what it may not read ends, refused.
        ASSERT_TRUE(root.put("/operators/x", "1").ok);
        Watcher denied(a, "/operators/", 1);
        ASSERT_TRUE(denied.wait_for_end());
        EXPECT_EQ(denied.end().why, WatchEnd::Why::Cancelled);
        EXPECT_EQ(denied.end().error.kind, EtcdError::Kind::Refused) << denied.end().error.message;
        EXPECT_TRUE(denied.events().empty());
    }
    auto others = a.put("/fleet/reports/node-b/report", "holds 1");
    EXPECT_FALSE(others.ok);
    EXPECT_EQ(others.error.kind, EtcdError::Kind::Refused) << others.error.message;
    auto activate = a.txn({}, {{TxnOp::Kind::Put, "/fleet/keys/1", "active", "", 0}});
    EXPECT_FALSE(activate.ok);
    EXPECT_EQ(activate.error.kind, EtcdError::Kind::Refused) << activate.error.message;
    EXPECT_EQ(root.get("/fleet/keys/1").value.kvs.at(0).value, "staged");

    fleet::EtcdConfig wrong = as_a;
    wrong.password = "not-it";
    EtcdClient w(wrong);
    auto refused = w.get("/fleet/keys/1");
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.error.kind, EtcdError::Kind::Refused) << refused.error.message;

    // A certificate alone names no user that may do anything here.
    EtcdClient anonymous(cluster.client("node-b"));
    auto anon = anonymous.put("/fleet/reports/node-b/report", "x");
    EXPECT_FALSE(anon.ok);
    EXPECT_EQ(anon.error.kind, EtcdError::Kind::Refused) << anon.error.message;
}

}  // namespace
