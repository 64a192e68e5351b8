/* SPDX-License-Identifier: Apache-2.0 */
// `telmor-vaq fleet init | admit | remove | status`, run as the operator
// runs them, against a real three-member cluster with users on: init records
// the fleet (never the password) only once it could read the fleet's state
// with what it was given; status's verdict and exit status follow the
// members' reports through a rollout, a lapsed report and a removal.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <unistd.h>

#include <map>
#include <optional>
#include <set>

#include <nlohmann/json.hpp>

#include "etcd_client.h"
#include "etcd_cluster.h"
#include "files.h"
#include "fleet_store.h"

namespace {

using fleet::FleetKey;
using fleet::FleetStore;
using fleet::Layout;
using fleet::Report;
using Verdict = fleet::Decision::Verdict;

const std::string kPrefix = "/telmor/vaq/fleet/";
const std::string kConf = "/etc/telmor/vaq/fleet.conf";
constexpr std::uint32_t kDomain = 7;

struct ToolRun {
    int status;
    std::string out;
    std::string err;
};

std::string scratch() {
    static const std::string dir = [] {
        char tmpl[] = "/tmp/fleet_tool.XXXXXX";
        return std::string(mkdtemp(tmpl));
    }();
    return dir;
}

ToolRun tool(const std::string &args) {
    const std::string d = scratch();
    const int status = tvtest::shell(std::string(TELMOR_VAQ_TOOL) + " " + args + " </dev/null >" + d + "/out 2>" + d +
                                     "/err");
    return {status, tvtest::read_file(d + "/out"), tvtest::read_file(d + "/err")};
}

// As in the store's tests: a header as `export --wrap-with` writes it, with
// stand-in sealed bytes; the store reads the header only.
std::string sealed_material() {
    const std::string uri = "pkcs11:token=fleet;object=fleet-kek";
    std::string b(64, '\0');
    b.replace(0, 8, "HXBVAQEX");
    b[8] = 2;
    b[10] = 2;
    b[12] = static_cast<char>(uri.size());
    return b + uri + std::string(96, '\x5a');
}

class FleetTool : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(cluster.etcdctl("role add fleet-operator"), 0);
        ASSERT_EQ(cluster.etcdctl("role grant-permission fleet-operator readwrite " + kPrefix + " --prefix=true"), 0);
        ASSERT_EQ(cluster.etcdctl("user add operator --new-user-password='op-secret-1'"), 0);
        ASSERT_EQ(cluster.etcdctl("user grant-role operator fleet-operator"), 0);
        cluster.enable_auth("root-secret");
        op = cluster.client("operator");
        password_file = scratch() + "/etcd.pw";
        tvtest::write_file(password_file, "op-secret-1\n");
        ASSERT_EQ(chmod(password_file.c_str(), 0600), 0);
        fleet::EtcdConfig root = cluster.client("root");
        root.user = "root";
        root.password = "root-secret";
        root_client = std::make_unique<fleet::EtcdClient>(root);
        store = std::make_unique<FleetStore>(*root_client, Layout(kPrefix));
    }

    std::string init_args(const std::string &endpoints = "", const std::string &pw = "", const std::string &ca = "",
                          const std::string &token_key = "pkcs11:token=fleet;object=fleet-kek",
                          const std::string &node = "op-host") {
        std::string e = endpoints;
        if (e.empty())
            for (const auto &x : cluster.endpoints()) e += (e.empty() ? "" : ",") + x;
        return "fleet init --endpoints " + e + " --ca " + (ca.empty() ? cluster.ca_file() : ca) + " --cert " + op.cert_file +
               " --cert-key " + op.key_file + " --user operator --password-file " + (pw.empty() ? password_file : pw) +
               " --token-key '" + token_key + "' --node " + node;
    }

    void report(const std::string &node, std::vector<std::uint32_t> held, std::uint32_t active, std::int64_t lease) {
        Report r;
        r.node = node;
        r.role = "agent";
        for (auto id : held) r.held.push_back({kDomain, id});
        if (active != 0) r.active[kDomain] = active;
        auto st = store->read();
        ASSERT_TRUE(st.ok);
        r.applied_revision = st.value.revision;
        ASSERT_TRUE(store->put_report(r, lease).ok);
    }

    tvtest::EtcdCluster cluster;
    fleet::EtcdConfig op;
    std::string password_file;
    std::unique_ptr<fleet::EtcdClient> root_client;
    std::unique_ptr<FleetStore> store;
};

TEST_F(FleetTool, InitRecordsTheFleetOnlyWhenItCanReadItAndNeverThePassword) {
    const std::string bad_pw = scratch() + "/wrong.pw";
    tvtest::write_file(bad_pw, "not-the-password\n");
    ASSERT_EQ(chmod(bad_pw.c_str(), 0600), 0);
    const std::string open_pw = scratch() + "/open.pw";
    tvtest::write_file(open_pw, "op-secret-1\n");
    ASSERT_EQ(chmod(open_pw.c_str(), 0644), 0);
    const std::string copy_pw = scratch() + "/copy.pw", linked_pw = scratch() + "/linked.pw";
    tvtest::write_file(copy_pw, "op-secret-1\n");
    ASSERT_EQ(chmod(copy_pw.c_str(), 0600), 0);
    ASSERT_EQ(link(copy_pw.c_str(), linked_pw.c_str()), 0);

    struct Case {
        const char *what;
        std::string args;
        int status;
        const char *says;
    } cases[] = {
        {"wrong password", init_args("", bad_pw), 1, "etcd refused it"},
        {"password readable by others", init_args("", open_pw), 1, "chmod 0600"},
        {"password file with a second link", init_args("", linked_pw), 1, "has 2 links"},
        {"no member listening", init_args("https://127.0.0.1:1"), 1, "no etcd endpoint answered"},
        {"plain http", init_args("http://127.0.0.1:2379"), 2, "mutual TLS only"},
        {"token key not a pkcs11 URI",
         "fleet init --endpoints " + cluster.endpoint(0) + " --ca /x --cert /y --cert-key /z --user u "
         "--password-file /p --token-key file:/k --node n",
         2, "not a pkcs11: URI"},
        {"no CA file", init_args("", "", "/nonexistent/ca.pem"), 1, "cannot read the CA certificate"},
    };
    for (const auto &c : cases) {
        const ToolRun r = tool(c.args);
        EXPECT_EQ(r.status, c.status) << c.what << ": " << r.out << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << c.what << ": " << r.err;
        struct stat st {};
        EXPECT_NE(stat(kConf.c_str(), &st), 0) << c.what << ": recorded anyway";
    }

    const ToolRun ok = tool(init_args());
    ASSERT_EQ(ok.status, 0) << ok.err;
    EXPECT_NE(ok.out.find("fleet recorded in " + kConf + ": node op-host"), std::string::npos) << ok.out;
    struct stat st {};
    ASSERT_EQ(lstat(kConf.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    const std::string conf = tvtest::read_file(kConf);
    EXPECT_EQ(conf.find("op-secret-1"), std::string::npos) << conf;
    const auto j = nlohmann::json::parse(conf);
    EXPECT_EQ(j["password_file"], password_file);
    EXPECT_EQ(j["endpoints"].size(), 3u);
    EXPECT_EQ(j["prefix"], kPrefix);

    // Recorded: the other commands use it. A password file opened up later is
    // refused, not used.
    EXPECT_EQ(tool("fleet admit n1").status, 0);
    ASSERT_EQ(chmod(password_file.c_str(), 0640), 0);
    const ToolRun opened = tool("fleet admit n2");
    EXPECT_EQ(opened.status, 1);
    EXPECT_NE(opened.err.find("group or others"), std::string::npos) << opened.err;
}

TEST_F(FleetTool, StatusFollowsARolloutALapsedReportAndARemoval) {
    ASSERT_EQ(tool(init_args()).status, 0);
    ToolRun r = tool("fleet admit node-a");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("node-a admitted"), std::string::npos) << r.out;
    EXPECT_EQ(tool("fleet admit node-b").status, 0);
    r = tool("fleet admit node-a");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("node-a is a member already"), std::string::npos) << r.out;
    EXPECT_EQ(tool("fleet admit 'a/b'").status, 2);

    // Admitted, no agent has reported: both are lost.
    r = tool("fleet status");
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("fleet lost: 2 members"), std::string::npos) << r.out;

    auto la = root_client->lease_grant(60);
    auto lb = root_client->lease_grant(60);
    ASSERT_TRUE(la.ok && lb.ok);
    report("node-a", {1}, 1, la.value);
    report("node-b", {1}, 1, lb.value);
    FleetKey k1{"agent", kDomain, 1, fleet::KeyState::Staged, sealed_material(), "", 0};
    ASSERT_EQ(store->stage(k1).value.verdict, Verdict::Done);
    ASSERT_EQ(store->activate(store->read().value, "agent", kDomain, 1).value.verdict, Verdict::Done);
    report("node-a", {1}, 1, la.value);
    report("node-b", {1}, 1, lb.value);
    r = tool("fleet status");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("fleet converged: 2 members"), std::string::npos) << r.out;

    // A rollout: staged, held by one member, then by both, then active.
    FleetKey k2 = k1;
    k2.key_id = 2;
    ASSERT_EQ(store->stage(k2).value.verdict, Verdict::Done);
    report("node-a", {1, 2}, 1, la.value);
    r = tool("fleet status");
    EXPECT_EQ(r.status, 3) << r.out << r.err;
    EXPECT_NE(r.out.find("rollout waiting: key 2 of domain 7 (role agent) staged, not yet held by node-b"),
              std::string::npos)
        << r.out;
    report("node-b", {1, 2}, 1, lb.value);
    EXPECT_EQ(tool("fleet status").status, 3);
    ASSERT_EQ(store->activate(store->read().value, "agent", kDomain, 2).value.verdict, Verdict::Done);
    report("node-a", {1, 2}, 2, la.value);
    r = tool("fleet status --json");
    EXPECT_EQ(r.status, 3) << r.out;   // node-b still has key 1 active
    auto j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["verdict"], "waiting");
    EXPECT_EQ(j["members"][1]["node"], "node-b");
    EXPECT_EQ(j["members"][1]["roles"][0]["converged"], false);
    EXPECT_EQ(j["members"][1]["roles"][0]["lag"].get<std::int64_t>() > 0, true);
    report("node-b", {1, 2}, 2, lb.value);
    r = tool("fleet status --json");
    EXPECT_EQ(r.status, 0) << r.out;
    j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["verdict"], "converged");
    for (const auto &m : j["members"]) {
        EXPECT_EQ(m["reachable"], true);
        EXPECT_EQ(m["roles"][0]["lag"], 0);
        EXPECT_EQ(m["roles"][0]["active"]["7"], 2);
        EXPECT_EQ(m["roles"][0]["held"].size(), 2u);
    }

    // node-a's agent stops keeping its report alive: lost, and named.
    ASSERT_TRUE(root_client->lease_revoke(la.value).ok);
    r = tool("fleet status --json");
    EXPECT_EQ(r.status, 1) << r.out;
    j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["verdict"], "lost");
    EXPECT_EQ(j["members"][0]["node"], "node-a");
    EXPECT_EQ(j["members"][0]["reachable"], false);
    EXPECT_EQ(j["members"][1]["reachable"], true);

    r = tool("fleet remove node-a");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("node-a removed"), std::string::npos) << r.out;
    EXPECT_NE(tool("fleet remove node-a").out.find("node-a is not a member"), std::string::npos);
    r = tool("fleet status");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("fleet converged: 1 members"), std::string::npos) << r.out;
}

// The real keystore of role HXA in this test's sandbox.
struct LocalKeys {
    std::map<std::uint32_t, std::uint32_t> active;
    std::set<std::pair<std::uint32_t, std::uint32_t>> held;
};

LocalKeys local_keys() {
    LocalKeys out;
    const auto j = nlohmann::json::parse(tool("keys --json --role HXA").out);
    for (const auto &k : j) {
        out.held.insert({k["domain"].get<std::uint32_t>(), k["keyId"].get<std::uint32_t>()});
        if (k["active"].get<bool>()) out.active[k["domain"].get<std::uint32_t>()] = k["keyId"].get<std::uint32_t>();
    }
    return out;
}

// A process group started in the background, ended with the test however
// the test ends (an agent left behind would go on calling a dead cluster).
struct Background {
    explicit Background(const std::string &command) {
        const std::string pidfile = scratch() + "/bg." + std::to_string(++count) + ".pid";
        EXPECT_EQ(tvtest::shell("setsid " + command + " & echo $! >" + pidfile), 0);
        pid = tvtest::read_file(pidfile);
        while (!pid.empty() && pid.back() == '\n') pid.pop_back();
    }
    ~Background() {
        if (!pid.empty()) tvtest::shell("kill -TERM -" + pid + " 2>/dev/null");
    }
    std::string pid;
    static inline int count = 0;
};

template <class F>
bool eventually(F f) {
    for (int i = 0; i < 600; ++i) {
        if (f()) return true;
        usleep(100000);
    }
    return false;
}

TEST_F(FleetTool, AnAgentOnTheNodesKeystoreReportsItActivatesThroughTheLibraryAndStopsWhenRemoved) {
    ASSERT_EQ(tool("init --role HXA").status, 0);
    const ToolRun created = tool("create-key --domain 50 --inactive --role HXA");
    ASSERT_EQ(created.status, 0) << created.err;
    const std::uint32_t fresh = static_cast<std::uint32_t>(std::stoul(created.out.substr(19)));
    ASSERT_EQ(tool(init_args()).status, 0);
    ASSERT_EQ(tool("fleet admit op-host").status, 0);

    const std::string log = scratch() + "/agent.log";
    Background agent(std::string(TELMOR_VAQ_TOOL) + " fleet agent --role HXA </dev/null >" + log + " 2>&1");
    const std::string pid = agent.pid;

    auto report = [&]() -> std::optional<Report> {
        auto st = store->read();
        if (!st.ok) return std::nullopt;
        const Report *r = st.value.report("op-host", "HXA");
        return r == nullptr ? std::nullopt : std::optional<Report>(*r);
    };
    ASSERT_TRUE(eventually([&] { return report().has_value(); })) << tvtest::read_file(log);
    LocalKeys here = local_keys();
    Report r = *report();
    std::set<std::pair<std::uint32_t, std::uint32_t>> reported;
    for (const auto &h : r.held) reported.insert({h.domain, h.key_id});
    EXPECT_EQ(reported, here.held);
    EXPECT_EQ(r.active, here.active);
    ASSERT_TRUE(here.held.count({50, fresh}));
    ASSERT_NE(here.active.at(50), fresh);

    // Material the key library does not take (a header alone, not a real
    // sealed export): refused on the node, so the node's report lacks it.
    FleetKey unknown{"HXA", 50, 12345, fleet::KeyState::Staged, sealed_material(), "", 0};
    ASSERT_EQ(store->stage(unknown).value.verdict, Verdict::Done);
    // The node's own inactive key, staged: held here already, so reported.
    FleetKey own{"HXA", 50, fresh, fleet::KeyState::Staged, sealed_material(), "", 0};
    ASSERT_EQ(store->stage(own).value.verdict, Verdict::Done);
    ASSERT_TRUE(eventually([&] {
        return tvtest::read_file(log).find("key 12345 of domain 50 not imported") != std::string::npos;
    })) << tvtest::read_file(log);
    auto waiting = store->activate(store->read().value, "HXA", 50, 12345);
    EXPECT_EQ(waiting.value.verdict, Verdict::Waiting);
    EXPECT_EQ(waiting.value.nodes, std::vector<std::string>{"op-host"});
    EXPECT_FALSE(local_keys().held.count({50, 12345}));

    // Activated in the fleet: the agent activates it in the node's keystore.
    auto st_before = store->read().value;
    auto act = store->activate(st_before, "HXA", 50, fresh);
    ASSERT_EQ(act.value.verdict, Verdict::Done) << act.value.why << " " << (act.value.nodes.empty() ? "" : act.value.nodes[0])
        << " report: " << (st_before.report("op-host", "HXA") ? fleet::encode_report(*st_before.report("op-host", "HXA")) : "none")
        << " log: " << tvtest::read_file(log);
    EXPECT_TRUE(eventually([&] { return local_keys().active.at(50) == fresh; })) << tvtest::read_file(log);
    EXPECT_TRUE(eventually([&] {
        auto rr = report();
        return rr && rr->active.at(50) == fresh;
    }));

    ASSERT_EQ(tool("fleet remove op-host").status, 0);
    EXPECT_TRUE(eventually([&] {
        return tvtest::read_file(log).find("fleet agent: removed from the fleet") != std::string::npos;
    })) << tvtest::read_file(log);
    // Ended (a zombie until this sandbox reaps it, or gone).
    EXPECT_TRUE(eventually([&] {
        return tvtest::shell("test ! -e /proc/" + pid + " || grep -q '^[0-9]* ([^)]*) Z' /proc/" + pid + "/stat") == 0;
    }));
}

TEST_F(FleetTool, RotateRollsANewKeyOutToEveryMemberAndRetireHasTheOldOneDeleted) {
    // The fleet's token, shared by both nodes (as a network HSM would be).
    const std::string tokens = scratch() + "/hsm";
    ASSERT_EQ(tvtest::shell("mkdir -p " + tokens + " && . " TELMOR_FLEET_TOKEN_SH " && make_fleet_token " + tokens), 0);
    setenv("SOFTHSM2_CONF", (tokens + "/softhsm2.conf").c_str(), 1);
    const std::string kek = "pkcs11:token=fleet;object=fleet-kek?module-path=/usr/lib/softhsm/libsofthsm2.so"
                            "&pin-source=file:/etc/telmor/vaq/fleet.pin";
    const std::string keep_pin = "(umask 0377 && echo 20261210 >/etc/telmor/vaq/fleet.pin)";
    ASSERT_EQ(tvtest::shell(keep_pin), 0);

    // This node, op-host, and n2 in a sandbox of its own, each with its own keystore and agent.
    ASSERT_EQ(tool("init --role HXA").status, 0);
    ASSERT_EQ(tool(init_args("", "", "", kek)).status, 0);
    ASSERT_EQ(tool("fleet admit op-host").status, 0);
    ASSERT_EQ(tool("fleet admit n2").status, 0);
    const std::string log1 = scratch() + "/agent1.log", log2 = scratch() + "/agent2.log";
    const std::string tool_path = TELMOR_VAQ_TOOL;
    Background agent1(tool_path + " fleet agent --role HXA </dev/null >" + log1 + " 2>&1");
    const std::string n2 = keep_pin + " && " + tool_path + " init --role HXA >/dev/null && " + tool_path + " " +
                           init_args("", "", "", kek, "n2") + " >/dev/null && exec " + tool_path +
                           " fleet agent --role HXA";
    Background agent2("env SOFTHSM2_CONF=" + tokens + "/softhsm2.conf " TELMOR_SANDBOX " -- bash -c \"" + n2 +
                      "\" </dev/null >" + log2 + " 2>&1");
    auto reporting = [&](const std::string &node) {
        auto st = store->read();
        return st.ok && st.value.report(node, "HXA") != nullptr;
    };
    ASSERT_TRUE(eventually([&] { return reporting("op-host") && reporting("n2"); }))
        << tvtest::read_file(log1) << tvtest::read_file(log2);

    auto rotate = [&]() -> std::uint32_t {
        const ToolRun r = tool("fleet rotate --role HXA --domain 50");
        EXPECT_EQ(r.status, 0) << r.out << r.err << tvtest::read_file(log1) << tvtest::read_file(log2);
        EXPECT_NE(r.out.find("active on every member"), std::string::npos) << r.out;
        const auto at = r.out.find("key ");
        return at == std::string::npos ? 0 : static_cast<std::uint32_t>(std::stoul(r.out.substr(at + 4)));
    };
    const std::uint32_t first = rotate();
    ASSERT_NE(first, 0u);
    // rotate returned once both reported it active: each keystore uses it.
    EXPECT_EQ(local_keys().active.at(50), first);
    auto st = store->read().value;
    EXPECT_EQ(st.report("n2", "HXA")->active.at(50), first);
    EXPECT_EQ(st.find_key("HXA", 50, first)->state, fleet::KeyState::Active);
    EXPECT_TRUE(fleet::sealed_to_token(st.find_key("HXA", 50, first)->material));

    const std::uint32_t second = rotate();
    ASSERT_NE(second, 0u);
    ASSERT_NE(second, first);
    EXPECT_EQ(local_keys().active.at(50), second);
    EXPECT_TRUE(local_keys().held.count({50, first}));

    const ToolRun retired = tool("fleet retire --role HXA --key-id " + std::to_string(first));
    EXPECT_EQ(retired.status, 0) << retired.out << retired.err;
    EXPECT_TRUE(eventually([&] {
        auto s = store->read();
        if (!s.ok) return false;
        for (const char *n : {"op-host", "n2"}) {
            const Report *r = s.value.report(n, "HXA");
            if (r == nullptr || r->holds(50, first)) return false;
        }
        return true;
    })) << tvtest::read_file(log1) << tvtest::read_file(log2);
    EXPECT_FALSE(local_keys().held.count({50, first}));
    const ToolRun status = tool("fleet status");
    EXPECT_EQ(status.status, 0) << status.out;
}

}  // namespace
