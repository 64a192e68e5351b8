// SPDX-License-Identifier: Apache-2.0
// telmor-vaq COMMAND [OPTIONS] [ARGS]: the operator's tool for a node's keys.
// The commands live in cmd_*.cpp and join the command table on their own.
#include "command_table.h"

int main(int argc, char **argv) { return cli::run_tool(argc, argv); }
