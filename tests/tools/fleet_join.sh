#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# A new node joins a fleet in one command. Three nodes, each initialised in a
# sandbox of its own (its own keystores, node secret and IPC), share no key.
# Node B joins from an export of node A: it decrypts A's texts in every domain
# and its own new texts are made under A's active keys. Node C joins from the
# same export and decrypts what B made after its join. An export that records
# no active key is refused by join without change.
#
#   fleet_join.sh TOOL SANDBOX
set -euo pipefail
tool=$1 sandbox=$2
X=$(mktemp -d /tmp/fleet-join.XXXXXX)
trap 'rm -rf "$X"' EXIT
echo "a long fleet password" >"$X/password"
export TOOL=$tool X

# node NAME SCRIPT: runs SCRIPT on a node of its own, with the helpers below;
# the node is gone after.
node() {
    echo "== node $1"
    "$sandbox" -- bash -euo pipefail -c "source $X/helpers.sh; $2"
}
cat >"$X/helpers.sh" <<'HELPERS'
# Every "domain key" pair the keystore holds, and each domain's active key.
dump_keys() { $TOOL keys | awk 'NR > 1 { print $1, $3 }' | sort; }
dump_active() { $TOOL domains | awk 'NR > 1 && $4 ~ /^[0-9]+$/ { print $1, $4 }' | sort; }
# encrypt_all NODE: one text per "domain key" line of stdin, "domain text" out.
encrypt_all() {
    local d k
    while read -r d k; do
        printf '%s %s\n' "$d" "$(printf 'secret of %s in %s' "$1" "$d" | $TOOL encrypt --domain "$d")"
    done
}
# decrypt_all NODE: every "domain text" line of stdin decrypts to NODE's secret.
decrypt_all() {
    local d t p
    while read -r d t; do
        p=$($TOOL decrypt --domain "$d" "$t")
        [[ "$p" == "secret of $1 in $d" ]] || { echo "domain $d: got [$p]"; return 1; }
    done
}
# key_of TEXT: the key id a text names.
key_of() { $TOOL inspect "$1" | awk '/^key id/ { print $3 }'; }
HELPERS

node A '
    $TOOL init >/dev/null
    dump_keys >$X/keys.A
    dump_active >$X/active.A
    encrypt_all A <$X/active.A >$X/texts.A
    $TOOL export $X/fleet.vaqx --password-fd 3 3<$X/password'
[[ $(wc -l <"$X/active.A") == 12 ]] || { echo "node A has $(wc -l <"$X/active.A") domains, not 12"; exit 1; }

node B '
    $TOOL init >/dev/null
    dump_keys >$X/keys.B
    # Before the join: A'"'"'s texts do not decrypt here.
    read -r d t <$X/texts.A
    if $TOOL decrypt --domain $d "$t" 2>$X/before.B; then echo "B decrypted A'"'"'s text before joining"; exit 1; fi
    $TOOL join $X/fleet.vaqx --password-fd 3 3<$X/password | tee $X/join.B
    dump_active >$X/active.B
    decrypt_all A <$X/texts.A
    encrypt_all B <$X/active.B >$X/texts.B
    # Each new text names the fleet'"'"'s active key of its domain.
    while read -r d t; do echo "$d $(key_of "$t")"; done <$X/texts.B | sort >$X/used.B
    # A second join changes nothing.
    $TOOL join $X/fleet.vaqx --password-fd 3 3<$X/password >$X/rejoin.B'

node C '
    $TOOL init >/dev/null
    dump_keys >$X/keys.C
    $TOOL join $X/fleet.vaqx --password-fd 3 3<$X/password >/dev/null
    decrypt_all B <$X/texts.B'

status=0
# Separately initialised nodes share no key.
for pair in "A B" "A C" "B C"; do
    set -- $pair
    shared=$(comm -12 "$X/keys.$1" "$X/keys.$2" | wc -l)
    [[ $shared == 0 ]] || { echo "nodes $1 and $2 share $shared keys before joining"; status=1; }
done
[[ $(wc -l <"$X/keys.B") == 12 ]] || { echo "node B began with $(wc -l <"$X/keys.B") keys"; status=1; }
grep -q "cannot decrypt" "$X/before.B" || { echo "B's failure before joining: $(cat "$X/before.B")"; status=1; }
made='made [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:]{8} UTC'
grep -qxE "joined from $X/fleet.vaqx \\($made\\): 12 domains switched to its active key, 0 already used it, 0 left as they were; 12 keys added in 12 domains" \
    "$X/join.B" || { echo "join on B said: $(cat "$X/join.B")"; status=1; }
grep -qxE "joined from $X/fleet.vaqx \\($made\\): 0 domains switched to its active key, 12 already used it, 0 left as they were; no keys added" \
    "$X/rejoin.B" || { echo "second join on B said: $(cat "$X/rejoin.B")"; status=1; }
diff "$X/active.A" "$X/active.B" || { echo "B's active keys differ from A's"; status=1; }
diff "$X/active.A" "$X/used.B" || { echo "B's new texts are not under A's active keys"; status=1; }
[[ $status == 0 ]] && echo "join: nodes shared no key; after join B and C decrypt A's and B's texts in 12 domains"
exit $status
