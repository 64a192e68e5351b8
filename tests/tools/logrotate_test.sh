#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The packages' logrotate configuration on a node's logs. As shipped, a block
# rotates a root-owned log directory and refuses, rotating nothing, in a
# directory an account owns. With the block's 'su' set to that account as the
# configuration's header says, a process's live log is renamed and a new one
# made with its owner and 0640, by the account; the next line of a host
# process lands in the new file; rotated files and other products' logs are
# left alone.
#
#   logrotate_test.sh LOGROTATE_CONF HOST_PROCESS
set -euo pipefail
conf=$1 host=$2
command -v logrotate >/dev/null || { echo "logrotate is not installed (scripts/install-deps installs it)"; exit 1; }
svc=4321 name=tvq-logs
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# logrotate's su takes names: the account gets one in this sandbox's own copy
# of the user and group files, which only this mount namespace sees.
cp /etc/passwd "$work/passwd"
cp /etc/group "$work/group"
echo "$name:x:$svc:$svc::/nonexistent:/usr/sbin/nologin" >>"$work/passwd"
echo "$name:x:$svc:" >>"$work/group"
mount --bind "$work/passwd" /etc/passwd
mount --bind "$work/group" /etc/group

status=0
fail() { echo "$*"; status=1; }
dir=/var/log/oam/hxa/run
chown $svc:$svc $dir
log=$dir/hxa_vaq_quickstart.log.0
: >/opt/telmor/agent/conf/vaq/conf/primary_ks.key
"$host" HXA 50 "before rotation" >/dev/null
chown $svc:$svc "$log"
echo "an older rotation" >"$log.1"
echo "another product's log" >$dir/other_product.log.0

# As shipped: the account's directory is refused, with the reason.
if logrotate -f -s "$work/state" "$conf" 2>"$work/refused"; then fail "the shipped block rotated in an account's directory"; fi
grep -q "$dir belongs to $name $name" "$work/refused" || fail "no reason given: $(cat "$work/refused")"
[[ ! -e $log.2.gz && $(cat "$log.1") == "an older rotation" ]] || fail "the refused block rotated something"

# As the header says: the block's su names the account.
cp "$conf" "$work/conf"
sed -i "/^\/var\/log\/oam\/hxa\//,/^}/s/root root/$name $name/g" "$work/conf"
logrotate -f -s "$work/state" "$work/conf"
[[ $(stat -c '%a %u:%g %s' "$log") == "640 $svc:$svc 0" ]] || fail "new log: $(stat -c '%a %u:%g %s' "$log")"
grep -q "Initialize" "$log.1" || fail "the rotated log does not hold the old lines"
[[ $(stat -c '%u' "$log.1") == "$svc" ]] || fail "the rotated log changed owner"
[[ $(zcat "$log.2.gz") == "an older rotation" ]] || fail "the older rotation was not moved on to .2.gz"
[[ $(stat -c '%u' "$log.2.gz") == "$svc" ]] || fail "the compressed log is not the account's"
[[ $(cat $dir/other_product.log.0) == "another product's log" && ! -e $dir/other_product.log.0.1 ]] ||
    fail "another product's log was rotated"
"$host" HXA 50 "after rotation" >/dev/null
grep -q "Initialize" "$log" || fail "the next process's lines did not land in the new log"
[[ $(stat -c '%u' "$log") == "$svc" ]] || fail "the new log changed owner"
ls -l $dir

# A role run as root: the shipped block rotates its root-owned directory.
mgr=/var/log/oam/hxm/manager/run
echo "a manager line" >$mgr/hxm_vaq_tools.log.0
logrotate -f -s "$work/state" "$conf" 2>/dev/null || true
[[ $(cat $mgr/hxm_vaq_tools.log.0.1) == "a manager line" && -f $mgr/hxm_vaq_tools.log.0 ]] ||
    fail "the root-owned manager directory was not rotated"
[[ $status == 0 ]] && echo "logrotate: refused in an account's directory as shipped; as the account once its su names it, renamed and created 0640 for its owner; the next line lands in the new file"
exit $status
