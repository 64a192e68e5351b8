// SPDX-License-Identifier: Apache-2.0
// fleet rotate and fleet retire: the coordinator's side of a rollout. rotate
// makes a new key in this member's keystore (inactive), puts the role's
// export sealed to the fleet's token key into etcd as the key's material,
// waits until every admitted member holds it, activates it by a transaction
// on the revision the reports were read at, and waits until every member
// reports it active. A rotate stopped while it waits leaves the key staged;
// the next rotate of that domain goes on with it instead of making another.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <set>

#include "cmd_fleet.h"
#include "fleet_rollout.h"
#include "inventory.h"
#include "key_staging.h"
#include "session.h"
#include "telmor_vaq_api.h"

namespace cli {

namespace {

std::atomic<bool> g_stop{false};
extern "C" void stop_waiting(int) { g_stop = true; }

void stop_on_signals() {
    struct sigaction sa {};
    sa.sa_handler = stop_waiting;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
}

fleet::RolloutOptions waiting_options() {
    fleet::RolloutOptions o;
    o.stop = &g_stop;
    o.log = [](const std::string &line) {
        std::printf("  %s\n", line.c_str());
        std::fflush(stdout);
    };
    return o;
}

// The key library's private entry for an export sealed to a token key, as
// `export --wrap-with` uses it.
using ExportTokenFn = uint32_t (*)(const char *file, const char *uri);

// A new inactive key in DOMAIN and the role's export sealed to the token key.
fleet::FleetKey new_key(const Options &opt, const fleet::FleetConfig &c, std::uint32_t domain) {
    auto fn = reinterpret_cast<ExportTokenFn>(dlsym(RTLD_DEFAULT, "VaqPrivExportMkFileToken"));
    if (fn == nullptr)
        throw tool_failure("the key library in use cannot seal an export to a token key: fleet rotate needs it");
    char dir[] = "/tmp/telmor-vaq-rotate.XXXXXX";
    if (mkdtemp(dir) == nullptr) throw tool_failure("cannot make a private directory in /tmp");
    const std::string file = std::string(dir) + "/export.vaqx";
    fleet::FleetKey k;
    k.role = opt.role;
    k.domain = domain;
    unsigned long rc = 0;
    {
        Session s(opt.role);
        k.key_id = stage_key(domain, Context{opt.role, domain, {}, {}});
        TELMOR_update_shm();
        rc = fn(file.c_str(), c.token_key.c_str());
    }
    if (rc == 0) {
        const int fd = open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        char buf[65536];
        for (ssize_t n; fd >= 0 && (n = read(fd, buf, sizeof buf)) > 0;) k.material.append(buf, static_cast<size_t>(n));
        if (fd >= 0) close(fd);
    }
    unlink(file.c_str());
    rmdir(dir);
    if (rc != 0)
        throw Failure{rc, "sealing the role's keys to the token key " + c.token_key + ": " +
                              cause(rc, Context{opt.role, domain, k.key_id, {}}) + "; key " +
                              std::to_string(k.key_id) + " stays inactive here, nothing was staged"};
    return k;
}

std::set<std::uint32_t> domains_to_rotate(const Options &opt, const fleet::FleetState &st) {
    if (opt.domain) return {*opt.domain};
    std::set<std::uint32_t> out;
    for (const auto &k : st.keys)
        if (k.role == opt.role && (k.state == fleet::KeyState::Active || k.state == fleet::KeyState::Staged))
            out.insert(k.domain);
    if (!out.empty()) return out;
    Session s(opt.role);
    for (const KeyInfo &k : list_keys())
        if (k.active) out.insert(k.domain);
    return out;
}

}  // namespace

int fleet_rotate_command(const Options &opt) {
    need_role(opt.role);
    const fleet::FleetConfig c = load_fleet_config();
    auto client = fleet_client(c);
    fleet::FleetStore store(*client, fleet::Layout(c.prefix));
    const fleet::FleetState st = read_fleet(store);
    if (!st.admitted(c.node))
        throw tool_failure("this node (" + c.node + ") is not a member of the fleet: rotate makes the new key in a "
                           "member's keystore; 'telmor-vaq fleet admit " + c.node + "' first");
    stop_on_signals();
    for (const std::uint32_t domain : domains_to_rotate(opt, st)) {
        fleet::FleetKey key;
        bool resumed = false;
        for (const auto &k : st.keys)
            if (k.role == opt.role && k.domain == domain && k.state == fleet::KeyState::Staged) {
                key = k;
                resumed = true;
            }
        if (!resumed) {
            key = new_key(opt, c, domain);
            auto staged = store.stage(key);
            if (!staged.ok) throw tool_failure("staging key " + std::to_string(key.key_id) + ": " +
                                               etcd_failure(staged.error));
            if (staged.value.verdict == fleet::Decision::Verdict::Refused) throw tool_failure(staged.value.why);
        }
        std::printf("domain %s: key %u %s; waiting until every member holds it\n", domain_label(domain).c_str(),
                    key.key_id, resumed ? "was staged already" : "staged");
        std::fflush(stdout);
        const fleet::RolloutResult r =
            fleet::activate_everywhere(*client, store, opt.role, domain, key.key_id, waiting_options());
        if (r.end == fleet::RolloutResult::End::Done) {
            std::printf("domain %s: key %u active on every member\n", domain_label(domain).c_str(), key.key_id);
            continue;
        }
        if (r.end == fleet::RolloutResult::End::Stopped || r.end == fleet::RolloutResult::End::TimedOut) {
            std::string names;
            for (const auto &n : r.waiting_for) names += (names.empty() ? "" : ", ") + n;
            std::printf("stopped while waiting for %s: key %u stays as 'telmor-vaq fleet status' shows it (a staged "
                        "key is taken up by the next rotate of its domain)\n",
                        names.empty() ? "etcd" : names.c_str(), key.key_id);
            return 3;
        }
        throw tool_failure("rolling out key " + std::to_string(key.key_id) + ": " + r.why);
    }
    return 0;
}

int fleet_retire_command(const Options &opt) {
    need_role(opt.role);
    if (!opt.keyId) throw UsageError{"fleet retire needs --key-id ID"};
    const fleet::FleetConfig c = load_fleet_config();
    auto client = fleet_client(c);
    fleet::FleetStore store(*client, fleet::Layout(c.prefix));
    const fleet::FleetState st = read_fleet(store);
    std::vector<std::uint32_t> domains;
    for (const auto &k : st.keys)
        if (k.role == opt.role && k.key_id == *opt.keyId && (!opt.domain || k.domain == *opt.domain))
            domains.push_back(k.domain);
    if (domains.empty())
        throw tool_failure("the fleet knows no key " + std::to_string(*opt.keyId) + " of role " + opt.role);
    if (domains.size() > 1) throw UsageError{"key " + std::to_string(*opt.keyId) + " is in more than one domain: name one with --domain"};
    stop_on_signals();
    const fleet::RolloutResult r =
        fleet::retire_everywhere(*client, store, opt.role, domains[0], *opt.keyId, waiting_options());
    if (r.end == fleet::RolloutResult::End::Done) {
        std::printf("key %u of domain %s retired: every member deletes it\n", *opt.keyId,
                    domain_label(domains[0]).c_str());
        return 0;
    }
    if (r.end == fleet::RolloutResult::End::Stopped || r.end == fleet::RolloutResult::End::TimedOut) {
        std::printf("stopped while members still use it; nothing was retired\n");
        return 3;
    }
    throw tool_failure("retiring key " + std::to_string(*opt.keyId) + ": " + r.why);
}

}  // namespace cli
