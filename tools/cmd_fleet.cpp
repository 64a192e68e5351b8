// SPDX-License-Identifier: Apache-2.0
// fleet: the node's fleet through etcd. init records how this node reaches
// the fleet's etcd; admit and remove change the members; status tells each
// member's state (cmd_fleet_status.cpp).
#include "cmd_fleet.h"

#include <unistd.h>

#include <cstdio>
#include <string>

#include "command_table.h"
#include "node_setup.h"

namespace cli {

namespace {

std::string config_path() { return std::string(fleet::kConfigDir) + "/" + fleet::kConfigLeaf; }

std::string host_name() {
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) != 0) return {};
    return buf;
}

std::string joined(const std::vector<std::string> &v) {
    std::string out;
    for (const auto &s : v) out += (out.empty() ? "" : ", ") + s;
    return out;
}

void check_readable(const std::string &what, const std::string &path) {
    if (access(path.c_str(), R_OK) != 0) throw tool_failure("cannot read " + what + " " + path + "; nothing was recorded");
}

// A membership change; a write whose answer was lost is taken again (each is
// decided by a transaction on the member's key, so taking it twice is safe).
fleet::Decision decided(fleet::FleetStore &store, bool admit, const std::string &node) {
    for (int attempt = 0;; ++attempt) {
        auto d = admit ? store.admit(node) : store.remove(node);
        if (d.ok) return d.value;
        if (d.error.kind != fleet::EtcdError::Kind::Undecided || attempt == 2)
            throw tool_failure(std::string(admit ? "admitting " : "removing ") + node + ": " + etcd_failure(d.error));
    }
}

int fleet_init(const Options &opt) {
    if (geteuid() != 0)
        throw tool_failure("fleet init records the node's fleet in root's " + config_path() + ": run it as root");
    fleet::FleetConfig c;
    c.endpoints = opt.endpoints;
    c.ca_file = opt.caFile;
    c.cert_file = opt.certFile;
    c.key_file = opt.certKeyFile;
    c.user = opt.etcdUser;
    c.password_file = opt.passwordFile;
    c.token_key = opt.tokenKey;
    if (!opt.prefix.empty()) c.prefix = opt.prefix;
    c.node = opt.node.empty() ? host_name() : opt.node;
    if (const std::string why = fleet::config_fault(c); !why.empty()) throw UsageError{"fleet init: " + why};
    check_readable("the CA certificate", c.ca_file);
    check_readable("the client certificate", c.cert_file);
    check_readable("the client certificate's key", c.key_file);
    // Reached and let in before anything is recorded.
    auto client = fleet_client(c);
    fleet::FleetStore store(*client, fleet::Layout(c.prefix));
    auto state = store.read();
    if (!state.ok)
        throw tool_failure("cannot read the fleet's state at " + joined(c.endpoints) + " as " + c.user + ": " +
                           etcd_failure(state.error) + "; nothing was recorded");
    record_root_file(fleet::kConfigLeaf, fleet::encode_config(c));
    std::printf("fleet recorded in %s: node %s, etcd at %s as user %s, prefix %s, token key %s (%zu members "
                "now)\n",
                config_path().c_str(), c.node.c_str(), joined(c.endpoints).c_str(), c.user.c_str(), c.prefix.c_str(),
                c.token_key.c_str(), state.value.members.size());
    return 0;
}

int fleet_membership(const Options &opt, bool admit) {
    if (opt.args.size() != 2) throw UsageError{"fleet " + opt.args.at(0) + " takes one NODE"};
    const std::string &node = opt.args[1];
    if (!fleet::valid_name(node)) throw UsageError{"'" + node + "' is not a node name (letters, digits, '.', '_', '-')"};
    const fleet::FleetConfig c = load_fleet_config();
    auto client = fleet_client(c);
    fleet::FleetStore store(*client, fleet::Layout(c.prefix));
    const fleet::Decision d = decided(store, admit, node);
    using V = fleet::Decision::Verdict;
    if (d.verdict == V::Refused) throw tool_failure(d.why);
    if (admit) {
        std::printf(d.verdict == V::Done ? "%s admitted: every rollout from now on waits for its report\n"
                                         : "%s is a member already\n",
                    node.c_str());
    } else {
        std::printf(d.verdict == V::Done ? "%s removed: no rollout waits for it any more\n"
                                         : "%s is not a member\n",
                    node.c_str());
    }
    return 0;
}

int cmd_fleet(const Options &opt) {
    const std::string &action = opt.args.at(0);
    if (action == "init") {
        if (opt.args.size() != 1) throw UsageError{"fleet init takes no further word"};
        return fleet_init(opt);
    }
    if (action == "admit") return fleet_membership(opt, true);
    if (action == "remove") return fleet_membership(opt, false);
    if (action == "status") {
        if (opt.args.size() != 1) throw UsageError{"fleet status takes no further word"};
        return fleet_status_command(opt);
    }
    if (action == "agent") {
        if (opt.args.size() != 1) throw UsageError{"fleet agent takes no further word"};
        return fleet_agent_command(opt);
    }
    if (action == "rotate" || action == "retire") {
        if (opt.args.size() != 1) throw UsageError{"fleet " + action + " takes no further word"};
        return action == "rotate" ? fleet_rotate_command(opt) : fleet_retire_command(opt);
    }
    throw UsageError{"fleet takes init, admit, remove, status, agent, rotate or retire, not '" + action + "'"};
}

const CommandRegistrar reg{
    {"fleet",
     "Fleet",
     200,
     "the node's fleet through etcd: init, admit, remove, status, agent, rotate, retire",
     "A fleet keeps its keys in etcd, under one key prefix: its admitted members, each role's keys per\n"
     "domain (staged, active, old, retired) with their material sealed to the fleet's token key, and each\n"
     "member's report. 'fleet init' records, as root, how this node reaches that etcd (endpoints, mutual\n"
     "TLS files, the etcd user and the file its password is in, the token key's URI) in\n"
     "/etc/telmor/vaq/fleet.conf (root's, 0600), once it has read the fleet's state with them. 'fleet\n"
     "admit NODE' and 'fleet remove NODE' change the members: a key is activated only once every admitted\n"
     "member reports holding it, so a member that is down holds a rollout until it is back or removed.\n"
     "'fleet status' tells each member: reachable (its report alive), keys held, active key per domain and\n"
     "lag; exit status 0 when the fleet has converged, 3 while a rollout waits, 1 when a member is lost.\n"
     "'fleet agent --role R' is this node's agent for role R: it waits for the node's admission, then imports\n"
     "every key of the fleet it lacks (the key library's arrival rules apply), makes the fleet's active keys\n"
     "active here, deletes retired ones, reports, and follows every change until stopped or removed.\n"
     "'fleet rotate --role R [--domain D]' (on a member) makes a new key here, stages it with the role's\n"
     "export sealed to the token key, waits until every member holds it, activates it and waits until\n"
     "every member uses it (exit 3 when stopped while waiting: the key stays staged and the next rotate\n"
     "goes on with it). 'fleet retire --key-id K' retires an old key once every member uses another.",
     {Opt::Role, Opt::DomainFilter, Opt::KeyIdFilter, Opt::Endpoints, Opt::Ca, Opt::Cert, Opt::CertKey, Opt::User, Opt::PasswordFile, Opt::TokenKey, Opt::Prefix,
      Opt::Node, Opt::Json},
     {{"ACTION", "init, admit NODE, remove NODE, status, agent, rotate or retire", true, true}},
     {{"fleet init --endpoints https://etcd1:2379,https://etcd2:2379 --ca /etc/telmor/etcd/ca.pem --cert "
       "/etc/telmor/etcd/op.pem --cert-key /etc/telmor/etcd/op-key.pem --user fleet-operator --password-file "
       "/root/etcd.pw --token-key 'pkcs11:token=fleet;object=fleet-kek?module-path=/usr/lib/softhsm/libsofthsm2.so"
       "&pin-source=file:/etc/telmor/vaq/fleet.pin'",
       "record how this node reaches the fleet"},
      {"fleet admit node-17", "make node-17 a member: rollouts wait for its report from now on"},
      {"fleet status --json", "each member's state, for a script"},
      {"fleet agent --role HXA", "this node's agent for role HXA (run by its systemd unit)"},
      {"fleet rotate --role HXA --domain 50", "a new key for domain 50, active on every member once all hold it"},
      {"fleet retire --role HXA --key-id 1859714678", "after the rewrap: every member deletes that old key"}},
     cmd_fleet}};

}  // namespace

fleet::FleetConfig load_fleet_config() {
    std::string why;
    auto c = fleet::read_config(config_path(), why);
    if (!c) throw tool_failure("no fleet configuration to use: " + why + "; set it up with 'telmor-vaq fleet init'");
    return *c;
}

std::unique_ptr<fleet::EtcdClient> fleet_client(const fleet::FleetConfig &c) {
    std::string why;
    auto e = fleet::etcd_config(c, why);
    if (!e) throw tool_failure("the etcd user's password: " + why);
    return std::make_unique<fleet::EtcdClient>(std::move(*e));
}

std::string etcd_failure(const fleet::EtcdError &e) {
    using K = fleet::EtcdError::Kind;
    const char *what = e.kind == K::Unreachable ? "no etcd endpoint answered"
                       : e.kind == K::Refused   ? "etcd refused it"
                       : e.kind == K::Undecided ? "etcd could not say whether it was done (no leader or a lost answer)"
                       : e.kind == K::Malformed ? "etcd's answer could not be read"
                                                : "etcd failed it";
    return std::string(what) + (e.message.empty() ? "" : " (" + e.message + ")");
}

fleet::FleetState read_fleet(fleet::FleetStore &store) {
    auto s = store.read();
    if (!s.ok) throw tool_failure("cannot read the fleet's state: " + etcd_failure(s.error));
    return std::move(s.value);
}

}  // namespace cli
