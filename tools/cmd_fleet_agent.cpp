// SPDX-License-Identifier: Apache-2.0
// fleet agent --role R: this node's agent for one role, until it is stopped
// (SIGTERM, SIGINT) or removed from the fleet. Each change it makes, and each
// fault, is one line on stdout (the journal, under its unit).
#include <csignal>
#include <cstdio>

#include "cmd_fleet.h"
#include "fleet_agent.h"
#include "fleet_keystore.h"

namespace cli {

namespace {

std::atomic<bool> g_stop{false};

extern "C" void stop_agent(int) { g_stop = true; }

}  // namespace

int fleet_agent_command(const Options &opt) {
    need_role(opt.role);
    const fleet::FleetConfig c = load_fleet_config();
    auto client = fleet_client(c);
    ToolKeystore keystore(opt.role);
    struct sigaction sa {};
    sa.sa_handler = stop_agent;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    fleet::AgentOptions o;
    o.node = c.node;
    o.role = opt.role;
    o.stop = &g_stop;
    o.log = [](const std::string &line) {
        std::printf("fleet agent: %s\n", line.c_str());
        std::fflush(stdout);
    };
    std::printf("fleet agent: node %s, role %s, prefix %s\n", c.node.c_str(), opt.role.c_str(), c.prefix.c_str());
    std::fflush(stdout);
    fleet::Agent agent(*client, fleet::Layout(c.prefix), keystore, o);
    const fleet::Agent::End end = agent.run();
    std::printf("fleet agent: %s\n", end == fleet::Agent::End::Removed ? "removed from the fleet" : "stopped");
    return 0;
}

}  // namespace cli
