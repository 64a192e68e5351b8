/* SPDX-License-Identifier: Apache-2.0 */
// The `fleet` command's parts, each in its own file: set-up and membership
// (cmd_fleet.cpp), status (cmd_fleet_status.cpp), the node's agent
// (cmd_fleet_agent.cpp), rotate and retire (cmd_fleet_rotate.cpp).
#ifndef TELMOR_VAQ_TOOL_CMD_FLEET_H
#define TELMOR_VAQ_TOOL_CMD_FLEET_H

#include <memory>
#include <string>

#include "cli.h"
#include "etcd_client.h"
#include "fleet_config.h"
#include "fleet_store.h"

namespace cli {

// This node's fleet configuration (/etc/telmor/vaq/fleet.conf), or a
// Failure that says how to make one.
fleet::FleetConfig load_fleet_config();

// A client for the configured etcd, with the password read from its file.
std::unique_ptr<fleet::EtcdClient> fleet_client(const fleet::FleetConfig &c);

// "etcd refused it (...)" and the like, for a failure's sentence.
std::string etcd_failure(const fleet::EtcdError &e);

// The state, or a Failure naming what went wrong.
fleet::FleetState read_fleet(fleet::FleetStore &store);

int fleet_status_command(const Options &opt);
int fleet_agent_command(const Options &opt);
int fleet_rotate_command(const Options &opt);
int fleet_retire_command(const Options &opt);

}  // namespace cli

#endif
