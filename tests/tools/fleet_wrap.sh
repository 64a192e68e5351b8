#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Exports sealed to the fleet's key in a token, through the tool, with no
# password anywhere. Four nodes, each initialised in a sandbox of its own:
# node A exports with --wrap-with; node B, which shares the token and keeps
# its PIN, joins and imports with no password asked; node C, which has no
# access to the token, and node D, which keeps no PIN, are refused with code
# 2044 and their keystores are left byte for byte as they were; an altered
# file is refused on B.
#
#   fleet_wrap.sh TOOL SANDBOX
set -euo pipefail
tool=$1 sandbox=$2
here=$(cd "$(dirname "$0")" && pwd)
X=$(mktemp -d /tmp/fleet-wrap.XXXXXX)
trap 'rm -rf "$X"' EXIT
source "$here/fleet_token.sh"
make_fleet_token "$X"
# A token directory without the fleet's token: a node whose access was revoked.
mkdir -m 0700 "$X/elsewhere"
sed "s|$X/tokens|$X/elsewhere|" "$X/softhsm2.conf" >"$X/elsewhere.conf"
export TOOL=$tool X here

# node NAME SCRIPT: runs SCRIPT on a node of its own; stdin is /dev/null, so a
# password asked for would fail the step.
node() {
    echo "== node $1"
    "$sandbox" -- bash -euo pipefail -c "source $here/fleet_token.sh; $2" </dev/null
}

node A '
    keep_fleet_pin
    $TOOL init >/dev/null
    $TOOL export $X/fleet.vaqx --wrap-with "$FLEET_KEK" | tee $X/export.A
    printf "secret of A" | $TOOL encrypt --domain 50 >$X/text.A
    # A password beside --wrap-with, or something that is not a URI: usage errors.
    set +e
    $TOOL export $X/other.vaqx --wrap-with "$FLEET_KEK" --password-fd 3 3</dev/null 2>$X/both.A; echo $? >$X/both.rc
    $TOOL export $X/other.vaqx --wrap-with fleet-kek 2>$X/nouri.A; echo $? >$X/nouri.rc'

node B '
    keep_fleet_pin
    $TOOL init >/dev/null
    $TOOL join $X/fleet.vaqx | tee $X/join.B
    [[ $($TOOL decrypt --domain 50 "$(cat $X/text.A)") == "secret of A" ]]
    # A password given for such a file is not read, and the tool says so.
    $TOOL import $X/fleet.vaqx --password-fd 3 3</dev/null >$X/import.B 2>$X/import.B.err
    # An altered file: one byte of the sealed payload.
    cp $X/fleet.vaqx $X/altered.vaqx
    size=$(stat -c %s $X/altered.vaqx)
    printf "\x00" | dd of=$X/altered.vaqx bs=1 seek=$((size - 40)) conv=notrunc status=none
    if $TOOL import $X/altered.vaqx 2>$X/altered.B; then echo "an altered file was imported"; exit 1; fi'

# refused NAME SETUP: a node that cannot use the fleet's key; join and import
# both fail with 2044 and its keystore files stay as they were.
refused() {
    node $1 '
        '"$2"'
        $TOOL init >/dev/null
        before=$(cat /opt/telmor/agent/conf/vaq/conf/* /opt/telmor/agent/conf/vaq/bkp/* | sha256sum)
        keys=$($TOOL keys)
        if $TOOL join $X/fleet.vaqx 2>$X/join.'$1'; then echo "joined"; exit 1; fi
        if $TOOL import $X/fleet.vaqx 2>$X/import.'$1'; then echo "imported"; exit 1; fi
        [[ $($TOOL keys) == "$keys" ]] || { echo "the keys changed"; exit 1; }
        after=$(cat /opt/telmor/agent/conf/vaq/conf/* /opt/telmor/agent/conf/vaq/bkp/* | sha256sum)
        [[ $before == "$after" ]] || { echo "a keystore file changed"; exit 1; }
        grep -rh "ret=2044" /var/log/oam/hxa/run >$X/log.'$1' || true'
}
refused C 'keep_fleet_pin; export SOFTHSM2_CONF=$X/elsewhere.conf'
refused D ':'

status=0
expect() { grep -q -- "$2" "$X/$1" || { echo "$1: expected [$2], got: $(cat "$X/$1")"; status=1; }; }
expect export.A "master keys exported to $X/fleet.vaqx, sealed to the token key $FLEET_KEK"
[[ $(cat "$X/both.rc") == 2 ]] || { echo "--wrap-with with --password-fd: status $(cat "$X/both.rc")"; status=1; }
expect both.A "leave out --password-fd"
[[ $(cat "$X/nouri.rc") == 2 ]] || { echo "--wrap-with without a URI: status $(cat "$X/nouri.rc")"; status=1; }
grep -q "20261210" "$X/fleet.vaqx" && { echo "the PIN is in the export file"; status=1; }
expect join.B "joined from $X/fleet.vaqx (made .*): 12 domains switched to its active key"
expect import.B "no keys added, 12 already present"
expect import.B.err "sealed to the token key $FLEET_KEK: no password is used, --password-fd was not read"
expect altered.B "(code 2021)"
for n in C D; do
    for step in join import; do
        expect $step.$n "sealed to $FLEET_KEK"
        expect $step.$n "this node cannot use"
        expect $step.$n "(code 2044)"
    done
done
expect log.C "no token labelled fleet"
expect log.D "no login to the token"
[[ $status == 0 ]] && echo "wrap: B joined and imported with no password; C and D refused (2044), unchanged"
exit $status
