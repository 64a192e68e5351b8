#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# One node of the fleet rotation test, run in a sandbox of its own (its own
# IPC and mount namespaces, so its own keystores and node version). Starts the
# node's reader, then runs the commands the test hands it through files in the
# exchange directory: cmd.NODE.K holds a shell command, rc.NODE.K and
# out.NODE.K receive its status and output. "quit" ends the node.
#
# With FLEET_PIN set, the node keeps it as the fleet token's PIN in its own
# secret directory (/etc/telmor/vaq/fleet.pin, 0400).
#
#   fleet_node.sh EXCHANGE_DIR NODE TOOL READER
set -uo pipefail
dir=$1 node=$2
export TOOL=$3 READER=$4 X=$1
if [[ -n ${FLEET_PIN:-} ]]; then
    source "$(dirname "$0")/fleet_token.sh"
    keep_fleet_pin
    unset FLEET_PIN
fi
k=0
while :; do
    k=$((k + 1))
    cmd="$dir/cmd.$node.$k"
    until [[ -e "$cmd" ]]; do sleep 0.01; done
    [[ "$(cat "$cmd")" == quit ]] && break
    bash -c "$(cat "$cmd")" >"$dir/out.$node.$k" 2>&1
    echo $? >"$dir/rc.$node.$k.tmp"
    mv "$dir/rc.$node.$k.tmp" "$dir/rc.$node.$k"
done
wait
