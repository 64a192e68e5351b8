#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The key rotation runbook of docs/operations.md across three nodes: three
# sandboxes of their own that exchange only export files (and the stored
# texts, which is what a fleet shares), each with a reader that encrypts and
# decrypts continuously. The new key is staged inactive on one node, exported,
# imported everywhere, activated everywhere, stored texts are rewrapped, and
# the old key is deleted. Passes when no reader saw a failed decryption.
#
# No password anywhere: every export is sealed to one key-encryption key in a
# token the nodes share (a SoftHSM2 token directory here, as nodes share a
# network HSM or a key service), and each node keeps the token's PIN in its
# own secret directory.
#
#   fleet_runbook.sh TOOL READER SANDBOX
set -euo pipefail
tool=$1 reader=$2 sandbox=$3
here=$(cd "$(dirname "$0")" && pwd)
X=$(mktemp -d /tmp/fleet.XXXXXX)
declare -A step=([A]=0 [B]=0 [C]=0)
# Whatever happens, the readers stop and each node is told to quit at the
# step it waits for.
finish() {
    touch "$X/stop"
    for n in A B C; do
        if [[ ! -e $X/quitting.$n ]]; then
            until [[ ${step[$n]} == 0 || -e "$X/rc.$n.${step[$n]}" ]]; do sleep 0.01; done
            echo quit >"$X/cmd.$n.$((step[$n] + 1))"
        fi
    done
    wait
    rm -rf "$X"
}
trap finish EXIT

# The fleet's token and its key, which never leaves it.
source "$here/fleet_token.sh"
make_fleet_token "$X"

for n in A B C; do
    "$sandbox" -- bash "$here/fleet_node.sh" "$X" "$n" "$tool" "$reader" &
done

# on NODE COMMAND: runs COMMAND on the node; prints its output; fails with it.
on() {
    local n=$1 k
    step[$n]=$((step[$n] + 1))
    k=${step[$n]}
    echo "$2" >"$X/cmd.$n.$k.tmp"
    mv "$X/cmd.$n.$k.tmp" "$X/cmd.$n.$k"
    until [[ -e "$X/rc.$n.$k" ]]; do sleep 0.01; done
    local rc
    rc=$(cat "$X/rc.$n.$k")
    sed "s/^/[$n] /" "$X/out.$n.$k"
    if [[ "$rc" != 0 ]]; then
        echo "node $n: '$2' failed with status $rc" >&2
        exit 1
    fi
}
out() { cat "$X/out.$1.${step[$1]}"; }
# settle: waits until every reader has made two more whole passes over the
# stores (encrypting and decrypting after the step just taken), however long
# that takes on this machine.
passes() { cat "$X/passes.$1" 2>/dev/null || echo 0; }
settle() {
    local n
    declare -A from
    for n in A B C; do from[$n]=$(passes $n); done
    for n in A B C; do
        until (($(passes $n) >= from[$n] + 2)); do
            if [[ -s $X/reader-errors.$n ]]; then
                echo "reader $n stopped: $(cat "$X/reader-errors.$n")" >&2
                exit 1
            fi
            sleep 0.01
        done
    done
}
wrap="--wrap-with '$FLEET_KEK'"

# The fleet before the rotation: nodes B and C join node A's fleet, so every
# node holds A's keys and uses A's active key of every domain (K1 in domain 50).
on A '$TOOL init'
on A "\$TOOL export \$X/initial.vaqx $wrap"
on A '$TOOL keys --domain 50 --json'
k1=$(out A | tr -d ' \n' | grep -o '"keyId":[0-9]*,"active":true' | grep -o '[0-9]*' | head -1)
on A '$TOOL domains'
active_a=$(out A)
for n in B C; do
    on $n '$TOOL init'
    on $n "\$TOOL join \$X/initial.vaqx </dev/null"
    on $n '$TOOL domains'
    [[ "$(out $n | awk '{ print $1, $4 }')" == "$(echo "$active_a" | awk '{ print $1, $4 }')" ]] ||
        { echo "node $n: active keys differ from node A's after join" >&2; exit 1; }
done
for n in A B C; do on $n '$READER $X '$n' 2>$X/reader-errors.'$n' & echo started'; done
settle

# 1. Stage the new key on one node, inactive.
on A '$TOOL create-key --domain 50 --inactive'
k2=$(out A | sed -n 's/created master key \([0-9]*\) .*/\1/p')
settle
# 2. Export it; 3. import it on every other node (inactive there too).
on A "\$TOOL export \$X/rotation.vaqx $wrap"
for n in B C; do on $n "\$TOOL import \$X/rotation.vaqx </dev/null"; settle; done
# 4. Once every node holds it, activate it everywhere.
for n in A B C; do on $n "\$TOOL activate-key --domain 50 --key-id $k2"; settle; done
# 5. Rewrap the stored texts (writers paused so none is added meanwhile).
touch "$X/pause"
until [[ -e $X/paused.A && -e $X/paused.B && -e $X/paused.C ]]; do sleep 0.01; done
for n in A B C; do
    on $n "\$TOOL rewrap --domain 50 --report \$X/texts.$n >\$X/texts.$n.new 2>\$X/rewrap-report.$n && mv \$X/texts.$n.new \$X/texts.$n && tail -1 \$X/rewrap-report.$n"
done
rm -f "$X/pause" "$X"/paused.*
settle
# 6. Delete the old key only when no stored text refers to it.
for n in A B C; do
    on $n "\$TOOL rewrap --domain 50 --report \$X/texts.$n 2>&1 >/dev/null | grep -c ', rewrapped under' || true"
    [[ "$(out $n)" == 0 ]] || { echo "node $n: texts still under the old key" >&2; exit 1; }
done
for n in A B C; do on $n "\$TOOL delete-key --domain 50 --key-id $k1 --yes"; settle; done

touch "$X/stop"
status=0
for n in A B C; do
    until [[ -e "$X/reader.$n" ]]; do sleep 0.05; done
    echo "reader $n: $(cat "$X/reader.$n")"
    cat "$X/reader-errors.$n"
    grep -q ' failures 0$' "$X/reader.$n" || status=1
    grep -q 'decryptions [1-9]' "$X/reader.$n" || status=1
    on $n "\$TOOL keys --domain 50"
    if out $n | grep -q " $k1 "; then echo "node $n still holds key $k1" >&2; status=1; fi
    out $n | grep -q " $k2 *yes" || { echo "node $n: key $k2 not active" >&2; status=1; }
done
for n in A B C; do touch "$X/quitting.$n"; step[$n]=$((step[$n] + 1)); echo quit >"$X/cmd.$n.${step[$n]}"; done
wait
[[ $status == 0 ]] && echo "runbook: zero failed decryptions on three nodes; key $k1 retired, key $k2 active"
exit $status
