// SPDX-License-Identifier: Apache-2.0
// The audit trail end to end: each key change and refusal of the tool and of
// a host process leaves its record; verify names every kind of tampering;
// a change whose record cannot be written is refused with the keystore as it
// was; concurrent writers and a writer killed mid-record leave a trail that
// verifies; each record also goes to the journal's socket.
#include <signal.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "hxb/audit_record.h"
#include "node_layout.h"
#include "tool_runner.h"

namespace {

using namespace tooltest;
using Json = nlohmann::json;
namespace audit = hxb::audit;

const std::string kTrail = std::string(node_layout::kAgent.logDir) + "/agent.audit";
const std::string kKeyDir = "/etc/telmor/vaq/agent";

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

std::string joined(const std::vector<std::string> &lines) {
    std::string out;
    for (const auto &l : lines) out += l + "\n";
    return out;
}

class AuditTrail : public ::testing::Test {
protected:
    // The role set up with the trail; epochs of `perEpoch` records.
    void SetUp() override { begin(4); }

    void begin(unsigned perEpoch) {
        ASSERT_EQ(tool("init --role HXA").status, 0);
        const Outcome o = tool("audit init --role HXA --epoch-records " + std::to_string(perEpoch));
        ASSERT_EQ(o.status, 0) << o.err;
        const std::vector<std::string> out = lines_of(o.out);
        ASSERT_EQ(out.size(), 3u) << o.out;
        key_ = out[2];
        ASSERT_TRUE(std::regex_match(key_, std::regex("[0-9a-f]{64}"))) << key_;
    }

    Outcome verify(const std::string &file = "") { return tool("audit verify --role HXA --key " + key_ + " " + file); }

    Json records() {
        const Outcome o = tool("audit show --role HXA --json");
        EXPECT_EQ(o.status, 0) << o.err;
        return Json::parse(o.out);
    }

    uint32_t create_key() {
        const Outcome o = tool("create-key --role HXA --domain 50");
        EXPECT_EQ(o.status, 0) << o.err;
        std::smatch m;
        EXPECT_TRUE(std::regex_search(o.out, m, std::regex("created master key ([0-9]+)"))) << o.out;
        return m.empty() ? 0 : static_cast<uint32_t>(std::stoul(m[1]));
    }

    // The node's running audit key, as an intruder who took the node finds it.
    audit::KeyState node_key() {
        audit::KeyState k;
        for (int slot = 0; slot < 2; ++slot) {
            const std::string bytes = slurp(kKeyDir + "/agent.audit-key." + std::to_string(slot));
            if (!bytes.empty() &&
                audit::decode_key_file(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), k))
                return k;
        }
        ADD_FAILURE() << "no audit key on the node";
        return k;
    }

    std::string key_;
};

TEST_F(AuditTrail, EveryOperationOfTheToolLeavesItsRecord) {
    ASSERT_EQ(tool("init --role HXM").status, 0);
    const std::string pw = password_words("pw", "correct horse battery");
    const std::string fromHxm = scratch() + "/hxm.vaqx";
    ASSERT_EQ(tool("create-key --role HXM --domain 51").status, 0);
    ASSERT_EQ(tool("export " + fromHxm + " --role HXM" + pw).status, 0);

    const uint32_t first = create_key();
    const Outcome staged = tool("create-key --role HXA --domain 50 --inactive");
    ASSERT_EQ(staged.status, 0) << staged.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(staged.out, m, std::regex("created master key ([0-9]+)")));
    const uint32_t second = static_cast<uint32_t>(std::stoul(m[1]));
    spit(scratch() + "/material", std::string(32, 'k'));
    ASSERT_EQ(tool("register-key --role HXA --domain 50 --key-id 77 --file " + scratch() + "/material").status, 0);
    ASSERT_EQ(tool("activate-key --role HXA --domain 50 --key-id " + std::to_string(second)).status, 0);
    ASSERT_EQ(tool("delete-key --role HXA --domain 50 --key-id 77 --yes").status, 0);
    const Outcome refused = tool("delete-key --role HXA --domain 50 --key-id " + std::to_string(second) + " --yes");
    ASSERT_EQ(refused.status, 1);
    ASSERT_EQ(tool("rotate-root-key --role HXA").status, 0);
    const std::string out = scratch() + "/hxa.vaqx";
    ASSERT_EQ(tool("export " + out + " --role HXA" + pw).status, 0);
    ASSERT_EQ(tool("import " + fromHxm + " --role HXA" + pw).status, 0);
    ASSERT_EQ(tool("join " + fromHxm + " --role HXA" + pw).status, 0);
    ASSERT_EQ(tool("init --role HXA").status, 0);
    // A refusal the tool finds itself, before the key library is asked.
    const std::string missing = scratch() + "/missing.vaqx";
    ASSERT_EQ(tool("join " + missing + " --role HXA" + pw).status, 1);

    const Json recs = records();
    struct Want {
        const char *op;
        std::string domain;  // "" for none
        std::string keys;    // a pattern over the ids, joined by ','
        std::string file;
        unsigned result;
    };
    const std::string id1 = std::to_string(first), id2 = std::to_string(second);
    const std::vector<Want> wanted = {
        {"audit-init", "", "", kTrail, 0},
        {"create-key", "50", id1, "", 0},
        {"register-key", "50", id2, "", 0},  // the tool stages a key by registering new material
        {"register-key", "50", "77", "", 0},
        {"activate-key", "50", id2, "", 0},
        {"delete-key", "50", "77", "", 0},
        {"delete-key", "50", id2, "", 2014},
        {"epoch", "", "", "", 0},
        {"renew-root", "", "", "", 0},
        {"export", "", ".*" + id1 + ".*", out, 0},
        {"import", "", "([0-9]+,){12}[0-9]+", fromHxm, 0},  // HXM's 12 first keys and its key of domain 51
        // and its active ones made active here (not one older than the active key here)
        {"join", "", "([0-9]+,){10,11}[0-9]+", fromHxm, 0},
        {"init", "", "", kPrimary, 0},
        {"join", "", "", missing, 1},
    };
    std::vector<Json> mine;
    for (const Json &r : recs)
        if (r["operation"] != "epoch" || mine.size() == 7) mine.push_back(r);
    ASSERT_EQ(mine.size(), wanted.size()) << recs.dump(1);
    std::set<long long> pids;
    for (size_t i = 0; i < wanted.size(); ++i) {
        SCOPED_TRACE(mine[i].dump());
        const Json &r = mine[i];
        EXPECT_EQ(r["operation"], wanted[i].op);
        EXPECT_EQ(r["domain"].is_null() ? "" : std::to_string(r["domain"].get<long long>()), wanted[i].domain);
        std::string keys;
        for (const Json &k : r["keys"]) keys += (keys.empty() ? "" : ",") + std::to_string(k.get<long long>());
        EXPECT_TRUE(std::regex_match(keys, std::regex(wanted[i].keys))) << keys;
        EXPECT_EQ(r["file"], wanted[i].file);
        EXPECT_EQ(r["result"], wanted[i].result);
        EXPECT_EQ(r["role"], "HXA");
        EXPECT_EQ(r["uid"], getuid());
        EXPECT_EQ(r["user"], "root");
        EXPECT_EQ(r["process"], "telmor-vaq");
        EXPECT_GT(r["pid"].get<long long>(), 0);
        EXPECT_TRUE(std::regex_match(r["time"].get<std::string>(),
                                     std::regex("20[0-9]{2}-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:[0-6][0-9]Z")));
        char host[256] = {};
        gethostname(host, sizeof host - 1);
        EXPECT_EQ(r["node"], host);
        pids.insert(r["pid"].get<long long>());
    }
    EXPECT_GE(pids.size(), wanted.size() - 1) << "each command is its own process";
    EXPECT_TRUE(std::regex_search(mine[4]["detail"].get<std::string>(), std::regex("activated " + id2)));
    EXPECT_TRUE(std::regex_search(mine[8]["detail"].get<std::string>(), std::regex("root key version 2")));
    EXPECT_EQ(mine[9]["detail"], "sealed with a password");

    // No key material, no password: the registered material and the password
    // appear nowhere in the trail.
    const std::string trail = slurp(kTrail);
    EXPECT_EQ(trail.find("kkkkkkkk"), std::string::npos);
    EXPECT_EQ(trail.find("6b6b6b6b"), std::string::npos);
    EXPECT_EQ(trail.find("horse"), std::string::npos);
    const Outcome v = verify();
    EXPECT_EQ(v.status, 0) << v.out << v.err;
}

TEST_F(AuditTrail, AHostProcessChangeAndRefusalThroughTheMainLibraryAreRecorded) {
    const Outcome made = run(std::string(TELMOR_AUDIT_HOST) + " create 50");
    ASSERT_EQ(made.status, 0) << made.err;
    const std::string id = made.out.substr(2, made.out.find('\n') - 2);
    const Outcome refused = run(std::string(TELMOR_AUDIT_HOST) + " delete 50 " + id);
    EXPECT_EQ(refused.out, "2014\n");
    const Json recs = records();
    ASSERT_EQ(recs.size(), 3u) << recs.dump(1);
    for (int i : {1, 2}) {
        SCOPED_TRACE(recs[i].dump());
        EXPECT_EQ(recs[i]["process"], "audit_host");
        EXPECT_EQ(recs[i]["domain"], 50);
        EXPECT_EQ(recs[i]["keys"], Json::array({std::stoul(id)}));
        EXPECT_EQ(recs[i]["user"], "root");
    }
    EXPECT_EQ(recs[1]["operation"], "create-key");
    EXPECT_EQ(recs[1]["result"], 0);
    EXPECT_EQ(recs[2]["operation"], "delete-key");
    EXPECT_EQ(recs[2]["result"], 2014);
    EXPECT_NE(recs[1]["pid"], recs[2]["pid"]);
    EXPECT_EQ(verify().status, 0);
}

TEST_F(AuditTrail, VerifyNamesTheFirstRecordThatFailsAndWhy) {
    for (int i = 0; i < 8; ++i) create_key();  // epochs 0, 1 and 2 (4 records each)
    ASSERT_EQ(verify().status, 0);
    const std::vector<std::string> good = lines_of(slurp(kTrail));
    ASSERT_EQ(good.size(), 11u);

    // What an intruder holding the node's current key can do to an old record.
    const audit::KeyState now = node_key();
    ASSERT_EQ(now.epoch, 2u);
    auto resealed = [&](bool claimNewEpoch) {
        std::vector<std::string> l = good;
        audit::Record r;
        std::string why;
        EXPECT_TRUE(audit::parse(l[2], r, why)) << why;
        r.domain = "51";
        if (claimNewEpoch) r.epoch = now.epoch;
        EXPECT_TRUE(audit::seal(now.key, r));
        l[2] = audit::line_of(r);
        l[2].pop_back();
        return l;
    };
    auto edited = [&](auto f) {
        std::vector<std::string> l = good;
        f(l);
        return l;
    };
    const struct {
        const char *name;
        std::vector<std::string> lines;
        const char *failure;  // pattern for the line on stderr
    } cases[] = {
        {"a changed byte",
         edited([](auto &l) { l[2] = std::regex_replace(l[2], std::regex("domain=50"), "domain=51"); }),
         "record 3 \\(seq 2, byte [0-9]+\\): changed: its MAC does not match its bytes \\[changed\\]"},
        {"a removed record", edited([](auto &l) { l.erase(l.begin() + 5); }),
         "record 6 \\(seq 6, byte [0-9]+\\): seq 5 before it was removed \\[removed\\]"},
        {"two records swapped", edited([](auto &l) { std::swap(l[6], l[7]); }),
         "record 7 \\(seq 7, byte [0-9]+\\): out of order: seq 6 comes later in the file \\[reordered\\]"},
        {"an old record inserted again", edited([](auto &l) { l.insert(l.begin() + 8, l[2]); }),
         "record 9 \\(seq 2, byte [0-9]+\\): inserted: seq 2 again, after seq 7 \\[inserted\\]"},
        {"a record cut in the middle", edited([](auto &l) { l[4] = l[4].substr(0, l[4].size() / 2); }),
         "record 5 \\(byte [0-9]+\\): not a whole record .* no repair record follows it \\[cut\\]"},
        {"an old record re-sealed for the current epoch", resealed(true),
         "record 3 \\(seq 2, byte [0-9]+\\): sealed for epoch 2 where epoch 0 runs.*\\[other-epoch\\]"},
        {"an old record re-sealed with the current epoch's key", resealed(false),
         "record 3 \\(seq 2, byte [0-9]+\\): sealed with epoch 2's key, not with the key of its epoch 0: re-sealed "
         "\\[other-epoch\\]"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string copy = scratch() + "/tampered.audit";
        spit(copy, joined(c.lines));
        const Outcome o = verify(copy);
        EXPECT_EQ(o.status, 1) << o.out;
        EXPECT_TRUE(std::regex_search(o.err, std::regex(c.failure))) << o.err;
    }

    // The wrong key fails at the first record.
    const Outcome wrong = tool("audit verify --role HXA --key " + std::string(64, '0'));
    EXPECT_EQ(wrong.status, 1);
    EXPECT_TRUE(std::regex_search(wrong.err, std::regex("record 1 \\(seq 0, byte 0\\)"))) << wrong.err;
}

TEST_F(AuditTrail, ACutAtTheEndIsToldAndTheNextChangeRepairsIt) {
    create_key();
    create_key();
    const std::string whole = slurp(kTrail);
    spit(kTrail, whole.substr(0, whole.size() - 40));
    const Outcome cut = verify();
    EXPECT_EQ(cut.status, 3) << cut.err;
    EXPECT_TRUE(std::regex_search(cut.out, std::regex("note: the last record .* is cut short"))) << cut.out;
    EXPECT_TRUE(std::regex_search(cut.out, std::regex("Records removed from the end cannot be told from the file "
                                                      "alone")))
        << cut.out;
    create_key();
    const Outcome repaired = verify();
    EXPECT_EQ(repaired.status, 0) << repaired.err;
    EXPECT_TRUE(std::regex_search(repaired.out, std::regex("repaired by seq 2"))) << repaired.out;
    const Json recs = records();
    ASSERT_EQ(recs.size(), 4u);
    EXPECT_EQ(recs[2]["operation"], "repair");
    EXPECT_EQ(recs[3]["operation"], "create-key");
}

TEST_F(AuditTrail, AChangeWhoseRecordCannotBeWrittenIsRefusedAndChangesNothing) {
    create_key();
    const std::string logDir = node_layout::kAgent.logDir;
    const struct {
        const char *name;
        const char *breakIt;  // shell
        const char *mendIt;
        unsigned code;
        // A full device may still take records into the trail's last page:
        // changes go on until the one whose record needs a page it cannot get.
        bool untilRefused = false;
    } cases[] = {
        {"the trail removed", "mv {t} {s}/kept", "mv {s}/kept {t}", 2057},
        {"the trail a link", "mv {t} {s}/kept && ln -s {s}/kept {t}", "rm {t} && mv {s}/kept {t}", 2057},
        {"the trail a directory", "mv {t} {s}/kept && mkdir {t}", "rmdir {t} && mv {s}/kept {t}", 2057},
        {"the audit key removed", "mkdir -p {s}/k && mv {k}/agent.audit-key.* {s}/k/", "mv {s}/k/* {k}/", 2056},
        {"the audit key damaged",
         "f=$(ls {k}/agent.audit-key.*) && echo $f >{s}/kname && cp $f {s}/k0 && "
         "printf X | dd of=$f bs=1 seek=50 conv=notrunc 2>/dev/null",
         "cp {s}/k0 $(cat {s}/kname)", 2056},
        {"no space left on the trail's device",
         "cp {t} {s}/kept && mount -t tmpfs -o size=64k none {d} && cp {s}/kept {t} && "
         "(dd if=/dev/zero of={d}/fill bs=1k 2>/dev/null; true)",
         "cp {t} {s}/kept && umount {d} && cp {s}/kept {t}", 2058, true},
    };
    auto words = [&](std::string s) {
        s = std::regex_replace(s, std::regex("\\{t\\}"), kTrail);
        s = std::regex_replace(s, std::regex("\\{k\\}"), kKeyDir);
        s = std::regex_replace(s, std::regex("\\{s\\}"), scratch());
        return std::regex_replace(s, std::regex("\\{d\\}"), logDir);
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(shell(words(c.breakIt)), 0);
        std::string primary = slurp(kPrimary), standby = slurp(kStandby);
        std::string keysBefore = tool("keys --role HXA").out;
        Outcome o = tool("create-key --role HXA --domain 50");
        for (int more = 0; c.untilRefused && o.status == 0 && more < 40; ++more) {
            primary = slurp(kPrimary);
            standby = slurp(kStandby);
            keysBefore = tool("keys --role HXA").out;
            o = tool("create-key --role HXA --domain 50");
        }
        EXPECT_EQ(o.status, 1);
        EXPECT_TRUE(std::regex_search(o.err, std::regex("\\(code " + std::to_string(c.code) + "\\)"))) << o.err;
        // Through the main library as well.
        const Outcome host = run(std::string(TELMOR_AUDIT_HOST) + " create 50");
        EXPECT_NE(host.status, 0) << host.out;
        EXPECT_TRUE(slurp(kPrimary) == primary) << "the primary copy changed";
        EXPECT_TRUE(slurp(kStandby) == standby) << "the standby copy changed";
        ASSERT_EQ(shell(words(c.mendIt)), 0);
        EXPECT_EQ(tool("keys --role HXA").out, keysBefore);
        // Mended, the next change is recorded and the trail verifies.
        create_key();
        const Outcome v = verify();
        EXPECT_EQ(v.status, 0) << v.out << v.err;
    }
    // Reads are never blocked by the audit.
    ASSERT_EQ(shell("mv " + kTrail + " " + kTrail + ".kept"), 0);
    const Outcome enc = tool("encrypt --role HXA --domain 50", "secret");
    EXPECT_EQ(enc.status, 0) << enc.err;
    EXPECT_EQ(tool("keys --role HXA").status, 0);
}

TEST_F(AuditTrail, SixteenProcessesChangingKeysAtOnceLeaveACompleteChain) {
    std::string cmd;
    for (int i = 0; i < 8; ++i) {
        cmd += std::string(TELMOR_VAQ_TOOL) + " create-key --role HXA --domain 50 >/dev/null & ";
        cmd += std::string(TELMOR_AUDIT_HOST) + " create 50 3 >/dev/null & ";
    }
    ASSERT_EQ(shell(cmd + "wait"), 0);
    const Outcome v = verify();
    EXPECT_EQ(v.status, 0) << v.out << v.err;
    const Json recs = records();
    size_t creates = 0;
    for (size_t i = 0; i < recs.size(); ++i) {
        EXPECT_EQ(recs[i]["seq"], i);
        if (recs[i]["operation"] == "create-key" && recs[i]["result"] == 0) ++creates;
    }
    EXPECT_EQ(creates, 8u + 8u * 3u);
}

TEST_F(AuditTrail, AWriterKilledMidRecordLeavesATrailThatVerifiesAfterTheNextChange) {
    // Killed at random points of a run of changes: often inside a record or
    // an epoch's step (epochs of 4 records).
    for (int round = 0; round < 12; ++round) {
        ASSERT_EQ(shell(std::string(TELMOR_AUDIT_HOST) + " create 50 50 >/dev/null & p=$!; sleep 0.0" +
                        std::to_string(2 + round % 7) + "; kill -9 $p; wait $p; true"),
                  0);
    }
    create_key();
    const Outcome v = verify();
    EXPECT_EQ(v.status, 0) << v.out << v.err;
}

// No journal runs in the sandbox, so the test listens on the journal's
// socket itself (a private /run in the test's mount namespace) and checks
// the native protocol's fields that arrive there.
TEST_F(AuditTrail, EachRecordAlsoGoesToTheJournalAsFields) {
    ASSERT_EQ(shell("mount -t tmpfs none /run && mkdir -p /run/systemd/journal"), 0);
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "/run/systemd/journal/socket");
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    const uint32_t id = create_key();
    char buf[8192];
    const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    ASSERT_GT(n, 0);
    close(fd);
    std::map<std::string, std::string> fields;
    for (const std::string &l : lines_of(std::string(buf, static_cast<size_t>(n)))) {
        const size_t eq = l.find('=');
        ASSERT_NE(eq, std::string::npos) << l;
        fields[l.substr(0, eq)] = l.substr(eq + 1);
    }
    EXPECT_EQ(fields["MESSAGE_ID"], "96d2a98a6638452686bc4ff6164e0b92");
    EXPECT_EQ(fields["SYSLOG_IDENTIFIER"], "telmor-vaq-audit");
    EXPECT_EQ(fields["TELMOR_VAQ_AUDIT_OP"], "create-key");
    EXPECT_EQ(fields["TELMOR_VAQ_AUDIT_DOMAIN"], "50");
    EXPECT_EQ(fields["TELMOR_VAQ_AUDIT_KEYS"], std::to_string(id));
    EXPECT_EQ(fields["TELMOR_VAQ_AUDIT_USER"], "root");
    EXPECT_EQ(fields["TELMOR_VAQ_AUDIT_RESULT"], "0");
    EXPECT_EQ(fields["TELMOR_VAQ_AUDIT_SEQ"], "1");
    EXPECT_EQ(fields["MESSAGE"], "telmor-vaq audit: create-key on role HXA, domain 50, keys " + std::to_string(id) +
                                     " by root (telmor-vaq[" + fields["TELMOR_VAQ_AUDIT_PID"] + "]): done");
    // The journal's copy names the record's MAC: a trail cut at its end is
    // told from it.
    const std::vector<std::string> trail = lines_of(slurp(kTrail));
    ASSERT_EQ(trail.size(), 2u);
    EXPECT_EQ(trail[1].substr(trail[1].size() - 64), fields["TELMOR_VAQ_AUDIT_MAC"]);
}

// Counted in each process without a system call, written when the process
// finalises (the once-a-minute writes of a long-running one are not waited
// for here), summed per key by show --usage, warned of by status past 2^30.
TEST_F(AuditTrail, KeyUsageIsCountedPerProcessSummedPerKeyAndWarnedOfPast2To30) {
    ASSERT_EQ(run(std::string(TELMOR_AUDIT_HOST) + " encrypt 50 1000").status, 0);
    ASSERT_EQ(run(std::string(TELMOR_AUDIT_HOST) + " encrypt 50 234").status, 0);
    const Outcome keys = tool("keys --role HXA --domain 50 --json");
    ASSERT_EQ(keys.status, 0);
    const Json k = Json::parse(keys.out);
    ASSERT_EQ(k.size(), 1u) << keys.out;
    const uint32_t id = k[0]["keyId"].get<uint32_t>();
    const Json recs = records();
    ASSERT_EQ(recs.size(), 3u) << recs.dump(1);
    EXPECT_EQ(recs[1]["operation"], "usage");
    EXPECT_EQ(recs[1]["detail"], "encryptions=1000");
    EXPECT_EQ(recs[2]["detail"], "encryptions=234");
    EXPECT_EQ(recs[2]["process"], "audit_host");
    const Outcome usage = tool("audit show --role HXA --usage --json");
    ASSERT_EQ(usage.status, 0) << usage.err;
    EXPECT_EQ(Json::parse(usage.out),
              Json::parse("[{\"domain\": 50, \"key\": " + std::to_string(id) + ", \"encryptions\": 1234}]"));
    const Outcome quiet = tool("status --role HXA");
    EXPECT_EQ(quiet.err.find("2^30"), std::string::npos) << quiet.err;

    const Outcome more = run(std::string(TELMOR_AUDIT_HOST) + " usage 50 " + std::to_string(id) + " 1073740591");
    EXPECT_EQ(more.out, "0\n");
    const Outcome warned = tool("status --role HXA");
    EXPECT_EQ(warned.status, 3);
    EXPECT_TRUE(std::regex_search(warned.err, std::regex("warning: key " + std::to_string(id) +
                                                         " of domain 50 has made 1073741825 encryptions, past 2\\^30")))
        << warned.err;
    EXPECT_EQ(verify().status, 0);
}

TEST_F(AuditTrail, AnEpochEndsByTimeAsWellAsByRecords) {
    ASSERT_EQ(shell("rm " + kTrail + " " + kKeyDir + "/agent.audit-key.*"), 0);
    const Outcome init = tool("audit init --role HXA --epoch-records 0 --epoch-seconds 1");
    ASSERT_EQ(init.status, 0) << init.err;
    key_ = lines_of(init.out)[2];
    create_key();
    ASSERT_EQ(shell("sleep 1.2"), 0);
    create_key();
    // The first change may fall into the next second already; the second,
    // after the pause, always begins a new epoch.
    const Json recs = records();
    ASSERT_GE(recs.size(), 4u) << recs.dump(1);
    ASSERT_LE(recs.size(), 5u) << recs.dump(1);
    EXPECT_EQ(recs[recs.size() - 2]["operation"], "epoch");
    EXPECT_GE(recs.back()["epoch"].get<int>(), 1);
    EXPECT_EQ(verify().status, 0);
}

// The step to a new epoch writes the epoch's first record, then its key, then
// removes the old key: cut between the first two, the next writer finishes
// the step from the record, and the trail verifies.
TEST_F(AuditTrail, AStepCutShortIsFinishedByTheNextWriter) {
    create_key();
    create_key();
    create_key();  // seq 3: the last record of epoch 0
    ASSERT_EQ(shell("cp " + kKeyDir + "/agent.audit-key.0 " + scratch() + "/old-key"), 0);
    create_key();  // an epoch record (seq 4, epoch 1), then this key's (seq 5)
    std::vector<std::string> lines = lines_of(slurp(kTrail));
    ASSERT_EQ(lines.size(), 6u);
    ASSERT_NE(lines[4].find(" op=epoch "), std::string::npos);
    // As if the process had stopped after the epoch record: its key not yet
    // stored, the old one still there, no record after it.
    lines.pop_back();
    spit(kTrail, joined(lines));
    ASSERT_EQ(
        shell("rm " + kKeyDir + "/agent.audit-key.1 && cp " + scratch() + "/old-key " + kKeyDir + "/agent.audit-key.0"),
        0);
    create_key();
    EXPECT_TRUE(tvtest::exists(kKeyDir + "/agent.audit-key.1"));
    EXPECT_FALSE(tvtest::exists(kKeyDir + "/agent.audit-key.0")) << "the old epoch's key is erased";
    const Outcome v = verify();
    EXPECT_EQ(v.status, 0) << v.out << v.err;
    EXPECT_EQ(records().back()["epoch"], 1);
}

// A move to a protector goes through the same change (here one that finds
// nothing to do); a keystore made anew after both copies were lost is a
// change of its own.
TEST_F(AuditTrail, AProtectAndAKeystoreMadeAnewAreRecorded) {
    ASSERT_EQ(tool("protect --role HXA --with file").status, 0);
    ASSERT_EQ(shell(std::string("rm ") + kPrimary + " " + kStandby), 0);
    const Outcome init = tool("init --role HXA");
    ASSERT_EQ(init.status, 0) << init.err;
    std::vector<Json> recs;
    for (const Json &r : records())
        if (r["operation"] != "epoch") recs.push_back(r);
    // The new keystore's first key of each of the twelve domains is a change
    // of its own.
    ASSERT_EQ(recs.size(), 3u + 12u + 1u);
    EXPECT_EQ(recs[1]["operation"], "protect");
    EXPECT_EQ(recs[1]["detail"], "nothing to change");
    EXPECT_EQ(recs[2]["operation"], "create-keystore");
    EXPECT_EQ(recs[2]["file"], kPrimary);
    std::set<long long> domains;
    for (size_t i = 3; i < 15; ++i) {
        EXPECT_EQ(recs[i]["operation"], "create-key");
        EXPECT_EQ(recs[i]["keys"].size(), 1u);
        domains.insert(recs[i]["domain"].get<long long>());
    }
    EXPECT_EQ(domains.size(), 12u);
    EXPECT_EQ(recs[15]["operation"], "init");
    EXPECT_EQ(verify().status, 0);
}

TEST(AuditAccounts, TheRolesAccountWritesTheTrailThatRootSetUp) {
    constexpr unsigned kAccount = 4242;
    ASSERT_EQ(tool("init --role HXA --owner " + std::to_string(kAccount)).status, 0);
    const Outcome init = tool("audit init --role HXA");
    ASSERT_EQ(init.status, 0) << init.err;
    const std::string key = lines_of(init.out)[2];
    struct stat st {};
    ASSERT_EQ(stat(kTrail.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kAccount);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(stat((kKeyDir + "/agent.audit-key.0").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kAccount);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const Outcome made = tool_as(kAccount, "create-key --role HXA --domain 50");
    ASSERT_EQ(made.status, 0) << made.err;
    const Outcome shown = tool("audit show --role HXA --json");
    const Json recs = Json::parse(shown.out);
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[1]["uid"], kAccount);
    EXPECT_EQ(recs[1]["operation"], "create-key");
    // The account cannot read the verification key back from anything it owns.
    EXPECT_EQ(shell("grep -rq " + key + " /etc/telmor /var/log/oam /opt/telmor"), 1);
    EXPECT_EQ(tool("audit verify --role HXA --key " + key).status, 0);
}

TEST(AuditSetUp, InitRefusesToBeginAgainOverRecords) {
    ASSERT_EQ(tool("init --role HXA").status, 0);
    ASSERT_EQ(tool("audit init --role HXA").status, 0);
    const std::string before = slurp(kTrail);
    const Outcome again = tool("audit init --role HXA");
    EXPECT_EQ(again.status, 1);
    EXPECT_TRUE(std::regex_search(again.err, std::regex("\\(code 2059\\)"))) << again.err;
    EXPECT_EQ(slurp(kTrail), before);
    // Without the audit set up, changes go on as before and nothing is written.
    ASSERT_EQ(tool("init --role HXM").status, 0);
    EXPECT_EQ(tool("create-key --role HXM --domain 2").status, 0);
    EXPECT_FALSE(tvtest::exists(std::string(node_layout::kTools.logDir) + "/tools.audit"));
}

}  // namespace
